#include "sound_alsa.h"

#include <alsa/asoundlib.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <initializer_list>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "loop_reader.h"

namespace {

// A large buffer lets the thread sleep for long stretches; stop drops
// what is buffered, so it does not delay silence.
const unsigned kBufferMicros = 1000000;
// ...but no more than this many bytes, whatever rate a file claims.
const double kMaxBufferBytes = 8 * 1024 * 1024;
// Upper bound on the bytes handed to one write.
const size_t kChunkBytes = 32 * 1024;
// Periods in the buffer: the fewest ALSA's PulseAudio plugin takes.  The
// thread's wake-ups follow a timer, not the periods; fewer periods mean
// fewer requests from the sound server.
const unsigned kPeriods = 3;
// The shortest sleep between writes.
const int kMinSleepMillis = 10;
// Failed writes in a row, none of them followed by a frame written, after
// which the device counts as lost even when each failure seemed mended.
// An underrun is mended by one recovery and the next write goes through;
// PipeWire's plugin, its server gone, fails every write with an underrun
// and "recovers" from each one, growing a little every time.
const int kMaxFailuresInARow = 4;
// After a loss, the first try to open the device again comes soon (a
// server that restarts is back within a fraction of a second); later
// tries come at this pace, which costs next to nothing.
const int kFirstRetryMillis = 200;
const int kRetryMillis = 1000;
// How long a stop waits for the thread to let go of the device: 1 to 2 ms
// on PulseAudio and PipeWire, and the end of the process after it takes
// a few more.  A frozen sound server can hold the thread inside alsa-lib
// for ever; the stop then leaves it there.
const std::chrono::milliseconds kStopWait(5);

// One playback.  The comment on each group says who may touch it.
struct Player {
  // Fixed before the thread starts; read by both after.
  int wake_fd = -1;  // an eventfd, written once to ask the thread to stop
  size_t frame_bytes = 0;
  size_t chunk_frames = 0;
  unsigned channels = 0;
  unsigned rate = 0;
  unsigned buffer_micros = 0;  // asked of every device opened
  // The thread's own once it runs (the starting call's before that).
  // reader.type is fixed with the fields above: a device opened again
  // must take the same samples.
  LoopReader reader;
  snd_pcm_t* pcm = nullptr;  // null while the device is lost
  std::vector<char> chunk;
  size_t pending = 0;  // frames in |chunk| not yet written: kept across a loss
  size_t offset = 0;   // first of them
  snd_pcm_uframes_t buffer_frames = 0;
  snd_pcm_uframes_t start_frames = 0;
  int failures_in_a_row = 0;
  // The caller's: started, then joined or detached by the stop.
  std::thread thread;
  // Shared.  Set by the caller, read by the thread.
  std::atomic<bool> stopping{false};
  // Set and cleared by the thread, read by the caller at the stop: the
  // device is lost and has not been full since.
  std::atomic<bool> lost{false};
  // Guarded by |mutex|: the thread has let go of the device (|finished|),
  // and the caller no longer waits for it (|abandoned|), so that the
  // thread frees the player itself.  |next_abandoned| is guarded by
  // g_abandoned_mutex.
  std::mutex mutex;
  std::condition_variable finished_changed;
  bool finished = false;
  bool abandoned = false;
  Player* next_abandoned = nullptr;
};

// What plays now; only the calling thread touches it.
Player* g_playing = nullptr;

// Players whose thread was still inside alsa-lib when they were stopped.
// The list keeps them reachable, so that a leak checker at the exit does
// not count them; each thread takes itself off when it finishes.
std::mutex g_abandoned_mutex;
Player* g_abandoned = nullptr;

void silent_alsa_error(const char*, int, const char*, int, const char*, ...)
{
}

// Writes "wavorbit: " and |parts| as one line on standard error, in one
// write, so that lines from two threads never mix.
void tell(std::initializer_list<const char*> parts)
{
  std::string line = "wavorbit: ";
  for (const char* part : parts)
    line += part;
  line += '\n';
  ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;  // nowhere to tell that standard error failed
}

// ALSA's reason for |err|, with a hint where it means that nothing was
// there to take the sound: the error of a plugin whose server is not
// running, or of a configuration that names no device or a missing card.
std::string alsa_reason(int err)
{
  std::string reason = snd_strerror(err);
  switch (-err) {
  case ENOENT:
  case ENODEV:
  case ENXIO:
  case ECONNREFUSED:
  case EHOSTDOWN:
  case ECONNRESET:
    reason += "; no sound server or sound card reachable";
    break;
  }
  return reason;
}

snd_pcm_format_t pcm_format(SampleType type)
{
  switch (type) {
  case SampleType::Int16: return SND_PCM_FORMAT_S16;
  case SampleType::Int32: return SND_PCM_FORMAT_S32;
  case SampleType::Float: return SND_PCM_FORMAT_FLOAT;
  case SampleType::Double: return SND_PCM_FORMAT_FLOAT64;
  }
  return SND_PCM_FORMAT_UNKNOWN;
}

// The sample type the device takes that loses least of |native|.
bool choose_sample_type(snd_pcm_t* pcm, SampleType native, SampleType* chosen)
{
  // One row a native type, best first; short rows repeat their first.
  static const SampleType kPreferences[][4] = {
      {SampleType::Int16, SampleType::Int32, SampleType::Float, SampleType::Int16},
      {SampleType::Int32, SampleType::Float, SampleType::Int16, SampleType::Int32},
      {SampleType::Float, SampleType::Int32, SampleType::Int16, SampleType::Float},
      {SampleType::Double, SampleType::Float, SampleType::Int32, SampleType::Int16},
  };
  snd_pcm_hw_params_t* hw;
  snd_pcm_hw_params_alloca(&hw);
  if (snd_pcm_hw_params_any(pcm, hw) < 0)
    return false;
  for (SampleType type : kPreferences[static_cast<int>(native)]) {
    if (snd_pcm_hw_params_test_format(pcm, hw, pcm_format(type)) == 0) {
      *chosen = type;
      return true;
    }
  }
  return false;
}

// Asks for a buffer of |buffer_micros| in kPeriods periods.  Returns 0 or
// the ALSA error of the step that failed.
int set_buffer(snd_pcm_t* pcm, SampleType type, unsigned channels,
               unsigned rate, unsigned buffer_micros)
{
  snd_pcm_hw_params_t* hw;
  snd_pcm_hw_params_alloca(&hw);
  unsigned periods = kPeriods;
  int err;
  if ((err = snd_pcm_hw_params_any(pcm, hw)) < 0 ||
      (err = snd_pcm_hw_params_set_rate_resample(pcm, hw, 1)) < 0 ||
      (err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0 ||
      (err = snd_pcm_hw_params_set_format(pcm, hw, pcm_format(type))) < 0 ||
      (err = snd_pcm_hw_params_set_channels(pcm, hw, channels)) < 0 ||
      (err = snd_pcm_hw_params_set_rate(pcm, hw, rate, 0)) < 0 ||
      (err = snd_pcm_hw_params_set_buffer_time_near(pcm, hw, &buffer_micros, nullptr)) < 0 ||
      (err = snd_pcm_hw_params_set_periods_near(pcm, hw, &periods, nullptr)) < 0 ||
      (err = snd_pcm_hw_params(pcm, hw)) < 0)
    return err;
  return 0;
}

// Sets |p->pcm| up for the reader's samples, with the buffer and start
// threshold the player uses.  Returns 0 or an ALSA error.
int configure(Player* p)
{
  int err = set_buffer(p->pcm, p->reader.type, p->channels, p->rate, p->buffer_micros);
  if (err < 0)
    return err;
  snd_pcm_uframes_t period_frames;
  if ((err = snd_pcm_get_params(p->pcm, &p->buffer_frames, &period_frames)) < 0)
    return err;
  // Start after a quarter of a second, or one chunk if that is more; the
  // thread fills the rest of the buffer at once.
  p->start_frames = std::max<snd_pcm_uframes_t>(p->rate / 4, p->chunk_frames);
  p->start_frames = std::min(p->start_frames, p->buffer_frames);
  snd_pcm_sw_params_t* sw;
  snd_pcm_sw_params_alloca(&sw);
  if ((err = snd_pcm_sw_params_current(p->pcm, sw)) < 0 ||
      (err = snd_pcm_sw_params_set_start_threshold(p->pcm, sw, p->start_frames)) < 0 ||
      (err = snd_pcm_sw_params(p->pcm, sw)) < 0)
    return err;
  return 0;
}

bool open_file(LoopReader* reader, const char* name)
{
  int fd = open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd == -1) {
    tell({name, ": ", strerror(errno)});
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) == -1) {
    tell({name, ": ", strerror(errno)});
    close(fd);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    tell({name, ": ", S_ISDIR(st.st_mode) ? "is a directory" : "not a regular file"});
    close(fd);
    return false;
  }
  if (!loop_open(reader, fd)) {
    // libsndfile's own words for what it could not read.
    tell({name, ": ", sf_error(nullptr) != SF_ERR_NO_ERROR ? sf_strerror(nullptr)
                                                           : "no sound in it"});
    return false;
  }
  return true;
}

// Opens ALSA's default PCM for the reader's file |name|, in the sample
// type that loses least of it.
bool open_device(Player* p, const char* name)
{
  snd_lib_error_set_handler(silent_alsa_error);
  int err = snd_pcm_open(&p->pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
  if (err < 0) {
    p->pcm = nullptr;
    tell({"cannot open the sound output (ALSA's default): ", alsa_reason(err).c_str()});
    return false;
  }
  SampleType type;
  if (!choose_sample_type(p->pcm, native_sample_type(p->reader), &type)) {
    tell({"the sound output (ALSA's default) takes none of the sample formats of ", name});
    return false;
  }
  loop_set_type(&p->reader, type);
  const SF_INFO& info = p->reader.info;
  p->channels = static_cast<unsigned>(info.channels);
  p->rate = static_cast<unsigned>(info.samplerate);
  p->frame_bytes = sample_bytes(type) * p->channels;
  double bytes_per_second = static_cast<double>(p->frame_bytes) * info.samplerate;
  double micros = kMaxBufferBytes / bytes_per_second * 1e6;
  p->buffer_micros = micros >= kBufferMicros ? kBufferMicros
                     : micros < 1            ? 1
                                             : static_cast<unsigned>(micros);
  p->chunk_frames = kChunkBytes / p->frame_bytes;
  if (p->chunk_frames == 0)
    p->chunk_frames = 1;
  p->chunk.resize(p->chunk_frames * p->frame_bytes);
  if ((err = configure(p)) < 0) {
    std::string format = std::to_string(p->channels) + " channels at " +
                         std::to_string(p->rate) + " Hz";
    tell({"the sound output (ALSA's default) refuses ", format.c_str(), " of ", name, ": ",
          snd_strerror(err)});
    return false;
  }
  return true;
}

// Frees what a player holds; the thread, if there was one, is done.
void free_player(Player* p)
{
  if (p->pcm != nullptr) {
    snd_pcm_drop(p->pcm);
    snd_pcm_close(p->pcm);
  }
  loop_close(&p->reader);
  if (p->wake_fd != -1)
    close(p->wake_fd);
  delete p;
}

// Hands the device what fits without waiting.  Returns the frames
// written, 0 when the device is full, or a negative ALSA error; a file
// that gives no more frames reads as -ENODATA.
snd_pcm_sframes_t write_some(Player* p)
{
  if (p->pending == 0) {
    p->pending = loop_read(&p->reader, p->chunk.data(), p->chunk_frames);
    p->offset = 0;
    if (p->pending == 0)
      return -ENODATA;
  }
  snd_pcm_sframes_t n = snd_pcm_writei(
      p->pcm, p->chunk.data() + p->offset * p->frame_bytes, p->pending);
  if (n == -EAGAIN)
    return 0;
  if (n > 0) {
    p->offset += static_cast<size_t>(n);
    p->pending -= static_cast<size_t>(n);
  }
  return n;
}

// Hands the device enough to start it; the first audio is then with it.
bool prefill(Player* p, const char* name)
{
  snd_pcm_uframes_t written = 0;
  while (written < p->start_frames) {
    snd_pcm_sframes_t n = write_some(p);
    if (n == -ENODATA) {
      tell({name, ": no sound in it"});
      return false;
    }
    if (n < 0) {
      tell({"the sound output (ALSA's default) fails: ",
            snd_strerror(static_cast<int>(n))});
      return false;
    }
    if (n == 0)
      break;
    written += static_cast<snd_pcm_uframes_t>(n);
  }
  if (written == 0) {
    tell({"the sound output (ALSA's default) takes no sound"});
    return false;
  }
  return true;
}

// Sleeps for |millis| (-1: until the stop), or until the stop is asked
// for; returns false for the stop.
bool sleep_unless_stopped(Player* p, int millis)
{
  pollfd fd = {p->wake_fd, POLLIN, 0};
  int n;
  do {
    n = poll(&fd, 1, millis);
  } while (n == -1 && errno == EINTR);
  return n == 0;
}

// Sleeps until about half the buffer has played (true), or until stop
// is asked for (false).  A timer rather than the device's descriptors:
// those wake the thread at every request of the sound server.
bool wait_for_room(Player* p)
{
  int millis = kMinSleepMillis;
  snd_pcm_sframes_t avail = snd_pcm_avail_update(p->pcm);
  if (avail >= 0 && static_cast<snd_pcm_uframes_t>(avail) < p->buffer_frames / 2) {
    snd_pcm_uframes_t excess = p->buffer_frames / 2 - static_cast<snd_pcm_uframes_t>(avail);
    millis = static_cast<int>(excess * 1000 / p->rate);
    if (millis < kMinSleepMillis)
      millis = kMinSleepMillis;
  }
  // An underrun (avail < 0) is for the next write to recover.
  return sleep_unless_stopped(p, millis);
}

// Mends the device after the failed write |err|; returns 0, or the error
// that makes it lost.
int mend(Player* p, int err)
{
  if (++p->failures_in_a_row > kMaxFailuresInARow)
    return err;
  if (snd_pcm_state(p->pcm) == SND_PCM_STATE_DISCONNECTED)
    return -ENODEV;
  int again = snd_pcm_recover(p->pcm, err, 1);
  return again < 0 ? again : 0;
}

// Closes a device that failed with |err|, which releases what its plugin
// holds; the frames not yet written stay in the chunk for the next one.
// Returns whether the device had been back since the last loss.
bool lose(Player* p, int err)
{
  snd_pcm_close(p->pcm);
  p->pcm = nullptr;
  if (p->lost.load(std::memory_order_relaxed))
    return false;
  p->lost.store(true, std::memory_order_relaxed);
  tell({"sound output lost (", snd_strerror(err), "); retrying"});
  return true;
}

// Opens ALSA's default again for the samples the reader gives; the
// device stays lost when it cannot be opened or refuses them.
void reopen(Player* p)
{
  if (snd_pcm_open(&p->pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) {
    p->pcm = nullptr;
    return;
  }
  if (configure(p) < 0) {
    snd_pcm_close(p->pcm);
    p->pcm = nullptr;
    return;
  }
  p->failures_in_a_row = 0;
}

// Tells that a device opened again after a loss is back, once it is
// full: it has taken a buffer's worth and plays at its own pace.  A device
// that opens and then fails at once (a server still starting, say) is not
// back.
void tell_back(Player* p)
{
  if (!p->lost.load(std::memory_order_relaxed))
    return;
  p->lost.store(false, std::memory_order_relaxed);
  tell({"sound output back"});
}

// Lets go of the device and says so to the caller, or frees the player
// if the caller has stopped waiting.
void finish(Player* p)
{
  if (p->pcm != nullptr) {
    snd_pcm_drop(p->pcm);
    snd_pcm_close(p->pcm);
    p->pcm = nullptr;
  }
  bool abandoned;
  {
    std::lock_guard<std::mutex> lock(p->mutex);
    p->finished = true;
    abandoned = p->abandoned;
    p->finished_changed.notify_one();
  }
  if (!abandoned)
    return;
  {
    std::lock_guard<std::mutex> lock(g_abandoned_mutex);
    Player** link = &g_abandoned;
    while (*link != p)
      link = &(*link)->next_abandoned;
    *link = p->next_abandoned;
  }
  free_player(p);
}

void play(Player* p)
{
  int retry_millis = kFirstRetryMillis;
  // A device that never fills up never sends the thread to poll(), so the
  // stop request is also looked at between writes.
  while (!p->stopping.load(std::memory_order_relaxed)) {
    if (p->pcm == nullptr) {
      if (!sleep_unless_stopped(p, retry_millis))
        break;
      retry_millis = kRetryMillis;
      reopen(p);
      continue;
    }
    snd_pcm_sframes_t n = write_some(p);
    if (n > 0) {
      p->failures_in_a_row = 0;
      continue;
    }
    if (n == 0) {
      tell_back(p);
      if (!wait_for_room(p))
        break;
      continue;
    }
    if (n == -ENODATA) {
      // The file gives nothing more: what is buffered plays out, then
      // silence until the stop.
      sleep_unless_stopped(p, -1);
      break;
    }
    int err = mend(p, static_cast<int>(n));
    // A device that fails again before it is back waits for the slow
    // pace: it must not be opened and lost several times a second.
    if (err < 0)
      retry_millis = lose(p, err) ? kFirstRetryMillis : kRetryMillis;
  }
  finish(p);
}

// Stops what plays.  Returns false when the device was lost at the stop.
bool stop()
{
  Player* p = g_playing;
  if (p == nullptr)
    return true;
  g_playing = nullptr;
  p->stopping.store(true, std::memory_order_relaxed);
  uint64_t one = 1;
  ssize_t ignored = write(p->wake_fd, &one, sizeof one);
  (void)ignored;  // an eventfd's counter does not overflow from one write
  std::unique_lock<std::mutex> lock(p->mutex);
  if (!p->finished_changed.wait_for(lock, kStopWait, [p] { return p->finished; })) {
    // The thread is held inside alsa-lib.  It frees the player if it ever
    // comes out; the process may well end first.
    bool lost = p->lost.load(std::memory_order_relaxed);
    p->thread.detach();
    {
      std::lock_guard<std::mutex> list_lock(g_abandoned_mutex);
      p->next_abandoned = g_abandoned;
      g_abandoned = p;
    }
    p->abandoned = true;
    return !lost;
  }
  lock.unlock();
  p->thread.join();
  bool lost = p->lost.load(std::memory_order_relaxed);
  free_player(p);
  return !lost;
}

}  // namespace

bool sound_thread_left()
{
  std::lock_guard<std::mutex> lock(g_abandoned_mutex);
  return g_abandoned != nullptr;
}

int sndPlaySoundA(const char* name, unsigned flags)
{
  bool stopped_well = stop();
  if (name == nullptr)
    return stopped_well ? 1 : 0;
  if ((flags & SND_ASYNC) == 0 || (flags & SND_LOOP) == 0)
    return 0;

  Player* p = new Player;
  if (!open_file(&p->reader, name) || !open_device(p, name) || !prefill(p, name)) {
    free_player(p);
    return 0;
  }
  p->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (p->wake_fd == -1) {
    tell({"cannot make an eventfd: ", strerror(errno)});
    free_player(p);
    return 0;
  }
  try {
    p->thread = std::thread(play, p);
  } catch (const std::system_error& e) {
    tell({"cannot start the playback thread: ", e.what()});
    free_player(p);
    return 0;
  }
  g_playing = p;
  return 1;
}

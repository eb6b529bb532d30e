#include "sound_alsa.h"

#include <alsa/asoundlib.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
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

struct Player {
  LoopReader reader;
  snd_pcm_t* pcm = nullptr;
  int wake_fd = -1;
  std::vector<char> chunk;
  size_t frame_bytes = 0;
  size_t chunk_frames = 0;
  snd_pcm_uframes_t buffer_frames = 0;
  snd_pcm_uframes_t start_frames = 0;
  unsigned rate = 0;
  size_t pending = 0;  // frames in |chunk| not yet written
  size_t offset = 0;   // first of them
  std::atomic<bool> stopping{false};
  std::thread thread;
};

Player* g_playing = nullptr;

void silent_alsa_error(const char*, int, const char*, int, const char*, ...)
{
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

// Asks for a buffer of |buffer_micros| in kPeriods periods.
bool set_buffer(snd_pcm_t* pcm, SampleType type, unsigned channels,
                unsigned rate, unsigned buffer_micros)
{
  snd_pcm_hw_params_t* hw;
  snd_pcm_hw_params_alloca(&hw);
  unsigned periods = kPeriods;
  return snd_pcm_hw_params_any(pcm, hw) >= 0 &&
         snd_pcm_hw_params_set_rate_resample(pcm, hw, 1) >= 0 &&
         snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) >= 0 &&
         snd_pcm_hw_params_set_format(pcm, hw, pcm_format(type)) >= 0 &&
         snd_pcm_hw_params_set_channels(pcm, hw, channels) >= 0 &&
         snd_pcm_hw_params_set_rate(pcm, hw, rate, 0) >= 0 &&
         snd_pcm_hw_params_set_buffer_time_near(pcm, hw, &buffer_micros, nullptr) >= 0 &&
         snd_pcm_hw_params_set_periods_near(pcm, hw, &periods, nullptr) >= 0 &&
         snd_pcm_hw_params(pcm, hw) >= 0;
}

// The device starts as soon as it holds |start_frames|; the thread
// fills the rest of the buffer after that.
bool set_start(snd_pcm_t* pcm, snd_pcm_uframes_t start_frames)
{
  snd_pcm_sw_params_t* sw;
  snd_pcm_sw_params_alloca(&sw);
  return snd_pcm_sw_params_current(pcm, sw) >= 0 &&
         snd_pcm_sw_params_set_start_threshold(pcm, sw, start_frames) >= 0 &&
         snd_pcm_sw_params(pcm, sw) >= 0;
}

bool open_file(LoopReader* reader, const char* name)
{
  int fd = open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd == -1)
    return false;
  struct stat st;
  if (fstat(fd, &st) == -1 || !S_ISREG(st.st_mode)) {
    close(fd);
    return false;
  }
  return loop_open(reader, fd);
}

bool open_device(Player* p)
{
  snd_lib_error_set_handler(silent_alsa_error);
  if (snd_pcm_open(&p->pcm, "default", SND_PCM_STREAM_PLAYBACK,
                   SND_PCM_NONBLOCK) < 0) {
    p->pcm = nullptr;
    return false;
  }
  SampleType type;
  if (!choose_sample_type(p->pcm, native_sample_type(p->reader), &type))
    return false;
  loop_set_type(&p->reader, type);
  const SF_INFO& info = p->reader.info;
  p->frame_bytes = sample_bytes(type) * static_cast<size_t>(info.channels);
  double bytes_per_second = static_cast<double>(p->frame_bytes) * info.samplerate;
  double micros = kMaxBufferBytes / bytes_per_second * 1e6;
  unsigned buffer_micros = micros >= kBufferMicros ? kBufferMicros
                           : micros < 1            ? 1
                                                   : static_cast<unsigned>(micros);
  if (!set_buffer(p->pcm, type, static_cast<unsigned>(info.channels),
                  static_cast<unsigned>(info.samplerate), buffer_micros))
    return false;
  p->rate = static_cast<unsigned>(info.samplerate);
  p->chunk_frames = kChunkBytes / p->frame_bytes;
  if (p->chunk_frames == 0)
    p->chunk_frames = 1;
  p->chunk.resize(p->chunk_frames * p->frame_bytes);
  snd_pcm_uframes_t period_frames;
  if (snd_pcm_get_params(p->pcm, &p->buffer_frames, &period_frames) < 0)
    return false;
  // Start after a quarter of a second, or one chunk if that is more;
  // the thread fills the rest of the buffer at once.
  p->start_frames = std::max<snd_pcm_uframes_t>(p->rate / 4, p->chunk_frames);
  p->start_frames = std::min(p->start_frames, p->buffer_frames);
  return set_start(p->pcm, p->start_frames);
}

void close_player(Player* p)
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
bool prefill(Player* p)
{
  snd_pcm_uframes_t written = 0;
  while (written < p->start_frames) {
    snd_pcm_sframes_t n = write_some(p);
    if (n < 0)
      return false;
    if (n == 0)
      break;
    written += static_cast<snd_pcm_uframes_t>(n);
  }
  return written > 0;
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
  pollfd fd = {p->wake_fd, POLLIN, 0};
  int n;
  do {
    n = poll(&fd, 1, millis);
  } while (n == -1 && errno == EINTR);
  return n == 0;
}

void play(Player* p)
{
  // A device that never fills up never sends the thread to poll(), so the
  // stop request is also looked at between writes.
  while (!p->stopping.load(std::memory_order_relaxed)) {
    snd_pcm_sframes_t n = write_some(p);
    if (n > 0)
      continue;
    if (n == 0) {
      if (!wait_for_room(p))
        return;
      continue;
    }
    if (n == -ENODATA || snd_pcm_recover(p->pcm, static_cast<int>(n), 1) < 0)
      return;
  }
}

void stop()
{
  Player* p = g_playing;
  if (p == nullptr)
    return;
  g_playing = nullptr;
  p->stopping.store(true, std::memory_order_relaxed);
  uint64_t one = 1;
  ssize_t ignored = write(p->wake_fd, &one, sizeof one);
  (void)ignored;
  p->thread.join();
  close_player(p);
}

}  // namespace

int sndPlaySoundA(const char* name, unsigned flags)
{
  stop();
  if (name == nullptr)
    return 1;
  if ((flags & SND_ASYNC) == 0 || (flags & SND_LOOP) == 0)
    return 0;

  Player* p = new Player;
  if (!open_file(&p->reader, name) || !open_device(p) || !prefill(p)) {
    close_player(p);
    return 0;
  }
  p->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (p->wake_fd == -1) {
    close_player(p);
    return 0;
  }
  try {
    p->thread = std::thread(play, p);
  } catch (const std::system_error&) {
    close_player(p);
    return 0;
  }
  g_playing = p;
  return 1;
}

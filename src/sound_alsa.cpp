#include "sound_alsa.h"

#include <alsa/asoundlib.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <memory>
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
const size_t kChunkBytes = 64 * 1024;

struct Player {
  LoopReader reader;
  snd_pcm_t* pcm = nullptr;
  int wake_fd = -1;
  std::vector<char> chunk;
  size_t frame_bytes = 0;
  size_t chunk_frames = 0;
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
  p->reader.type = type;
  const SF_INFO& info = p->reader.info;
  p->frame_bytes = sample_bytes(type) * static_cast<size_t>(info.channels);
  double bytes_per_second = static_cast<double>(p->frame_bytes) * info.samplerate;
  double micros = kMaxBufferBytes / bytes_per_second * 1e6;
  unsigned buffer_micros = micros >= kBufferMicros ? kBufferMicros
                           : micros < 1            ? 1
                                                   : static_cast<unsigned>(micros);
  if (snd_pcm_set_params(p->pcm, pcm_format(type),
                         SND_PCM_ACCESS_RW_INTERLEAVED,
                         static_cast<unsigned>(info.channels),
                         static_cast<unsigned>(info.samplerate), 1,
                         buffer_micros) < 0)
    return false;
  p->chunk_frames = kChunkBytes / p->frame_bytes;
  if (p->chunk_frames == 0)
    p->chunk_frames = 1;
  p->chunk.resize(p->chunk_frames * p->frame_bytes);
  return true;
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

// Fills the device's buffer, which starts it.
bool prefill(Player* p)
{
  snd_pcm_uframes_t buffer_frames, period_frames;
  if (snd_pcm_get_params(p->pcm, &buffer_frames, &period_frames) < 0)
    return false;
  snd_pcm_uframes_t written = 0;
  while (written < buffer_frames) {
    snd_pcm_sframes_t n = write_some(p);
    if (n < 0)
      return false;
    if (n == 0)
      break;
    written += static_cast<snd_pcm_uframes_t>(n);
  }
  return written > 0;
}

// Sleeps until the device takes more audio (true) or stop is asked for
// or the device is gone (false).
bool wait_for_room(Player* p)
{
  int count = snd_pcm_poll_descriptors_count(p->pcm);
  if (count <= 0)
    return false;
  std::vector<pollfd> fds(static_cast<size_t>(count) + 1);
  fds[0] = {p->wake_fd, POLLIN, 0};
  if (snd_pcm_poll_descriptors(p->pcm, &fds[1], static_cast<unsigned>(count)) < 0)
    return false;
  for (;;) {
    if (poll(fds.data(), fds.size(), -1) == -1) {
      if (errno == EINTR)
        continue;
      return false;
    }
    if (fds[0].revents != 0)
      return false;
    unsigned short revents = 0;
    if (snd_pcm_poll_descriptors_revents(p->pcm, &fds[1],
                                         static_cast<unsigned>(count),
                                         &revents) < 0)
      return false;
    if (revents & (POLLERR | POLLHUP | POLLNVAL)) {
      // An underrun or suspend is for the next write to recover; any
      // other state means the device is gone.
      snd_pcm_state_t state = snd_pcm_state(p->pcm);
      return state == SND_PCM_STATE_XRUN || state == SND_PCM_STATE_SUSPENDED;
    }
    if (revents & POLLOUT)
      return true;
  }
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

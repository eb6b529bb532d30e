// Fuzz target: any bytes as a sound file.  The loop reader opens them and
// reads a bounded number of frames, which must be the file's frames as
// libsndfile decodes them in one pass, repeated from the first; then
// sndPlaySoundA plays them into a null device through the file plugin,
// unpaced, for a bounded time, and what reached the device must be what
// the loop reader gives.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "loop_reader.h"
#include "sound_alsa.h"
#include "support.h"

namespace {

const size_t kReadBytes = 256 * 1024;   // read through the loop reader
const size_t kCaptureBytes = 64 * 1024;  // kept of what is played
const double kPlaySeconds = 0.02;
// Files claiming more than this are not decoded whole for comparison.
const double kDecodeBytes = 4 << 20;

[[noreturn]] void fail(const char* what)
{
  fprintf(stderr, "play_fuzz: %s\n", what);
  abort();
}

// The first |limit| bytes of the endless stream the loop reader gives,
// in the file's own sample type; empty when the file does not open.
std::string loop_stream(const std::string& path, size_t limit, size_t* frame_bytes,
                        SampleType* type, sf_count_t* claimed)
{
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd == -1)
    fail("cannot open the input file");
  LoopReader reader;
  if (!loop_open(&reader, fd))
    return "";
  *frame_bytes = sample_bytes(reader.type) * static_cast<size_t>(reader.info.channels);
  *type = reader.type;
  *claimed = reader.info.frames;
  size_t piece = 16 * 1024 / *frame_bytes + 1;
  std::vector<char> buf(piece * *frame_bytes);
  std::string stream;
  while (stream.size() < limit) {
    size_t n = loop_read(&reader, buf.data(), piece);
    if (n > piece)
      fail("loop_read gave more frames than asked for");
    if (n == 0)
      break;
    stream.append(buf.data(), n * *frame_bytes);
  }
  loop_close(&reader);
  return stream;
}

struct Setup {
  TempDir dir;
  std::string file = dir.path("input.wav");
  std::string capture = dir.path("capture.raw");
  Setup()
  {
    route_sound_to(dir, capture_to(capture, kCaptureBytes));
    // libFuzzer's timeout alarm, caught on this thread or the player's,
    // would cut short the file plugin's blocking pipe writes, which the
    // plugin then asserts on when it is stopped.  The program itself
    // catches no signal; here the alarm goes to libFuzzer's own thread.
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  static Setup* setup = new Setup;
  write_file(setup->file, std::string(reinterpret_cast<const char*>(data), size));
  write_file(setup->capture, "");

  size_t frame_bytes = 0;
  SampleType type = SampleType::Int16;
  sf_count_t claimed = 0;
  std::string stream = loop_stream(setup->file, kReadBytes, &frame_bytes, &type, &claimed);
  if (!stream.empty() && static_cast<double>(claimed) * frame_bytes <= kDecodeBytes) {
    std::vector<char> once = decode_all(setup->file, type);
    size_t off = first_frame_off_loop(stream, once, frame_bytes);
    if (!once.empty() && off < stream.size() / frame_bytes) {
      fprintf(stderr, "frame %zu of %zu differs\n", off, stream.size() / frame_bytes);
      fail("the loop reader's stream is not the file's frames over and over");
    }
  }

  const unsigned loop = SND_ASYNC | SND_NODEFAULT | SND_LOOP;
  if (sndPlaySoundA(setup->file.c_str(), loop) == 0)
    return 0;
  if (stream.empty())
    fail("a file that plays gives no frames to the loop reader");
  wait_for_size(setup->capture, kCaptureBytes, kPlaySeconds);
  sndPlaySoundA(nullptr, SND_ASYNC | SND_NODEFAULT);
  if (!sound_thread_ended(10))  // only a hang takes so long
    fail("the sound thread did not end after the stop");

  std::string played = read_file(setup->capture);
  size_t common = std::min(played.size(), stream.size());
  if (played.compare(0, common, stream, 0, common) != 0)
    fail("what was played is not the loop reader's stream");
  return 0;
}

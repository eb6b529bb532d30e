// Files and names made to break the program: each ends quickly with the
// play error and status 1 and plays nothing, or, where it names a playable
// file after all, plays exactly the frames it holds.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>

#include "loop_check.h"
#include "program.h"
#include "support.h"

namespace {

// CPU seconds a start or a refusal may take.  A start to the prompt takes
// about 0.01 s in a plain build and 0.1 s under ThreadSanitizer, a
// refusal less; filling a 268 MB buffer before the prompt took 0.25 s and
// 1.9 s in the two.  Seconds of wall time are no measure on a shared
// machine, CPU seconds are.
const double kStartCpuSeconds = 0.5;

// Peak resident memory of a player: 21 MB in a plain build, 26 MB under
// AddressSanitizer, 99 MB under ThreadSanitizer, which keeps shadow and
// history for all the memory the player touches.  A buffer of a second at
// 64 MHz (268 MB) makes it 270-290 MB in a plain build and 1.3-1.5 GB
// under ThreadSanitizer.
#if defined(__SANITIZE_THREAD__)
const long kPeakKb = 256 * 1024;
#else
const long kPeakKb = 64 * 1024;
#endif

std::string le16(unsigned v)
{
  return {static_cast<char>(v & 0xff), static_cast<char>((v >> 8) & 0xff)};
}

std::string le32(uint32_t v) { return le16(v & 0xffff) + le16(v >> 16); }

// A chunk whose size field says |size|, whatever the body holds.
std::string chunk(const std::string& id, const std::string& body, uint32_t size)
{
  return id + le32(size) + body;
}

// A well-formed chunk, padded to an even length.
std::string chunk(const std::string& id, const std::string& body)
{
  return chunk(id, body, static_cast<uint32_t>(body.size())) +
         (body.size() % 2 ? std::string(1, '\0') : "");
}

std::string riff(const std::string& chunks, uint32_t size)
{
  return "RIFF" + le32(size) + "WAVE" + chunks;
}

std::string riff(const std::string& chunks)
{
  return riff(chunks, static_cast<uint32_t>(4 + chunks.size()));
}

// A PCM `fmt ` chunk body for 16-bit samples.
std::string fmt16(unsigned channels, uint32_t rate)
{
  unsigned block = channels * 2;
  return le16(1) + le16(channels) + le32(rate) + le32(rate * block) + le16(block) + le16(16);
}

// |frames| frames of 16-bit stereo, no two alike.
std::string stereo_frames(int frames)
{
  std::string bytes;
  for (int i = 0; i < frames; ++i)
    bytes += le16(static_cast<unsigned>(i * 7919 + 1)) + le16(static_cast<unsigned>(-i * 104729 - 2));
  return bytes;
}

std::string random_bytes(size_t n)
{
  std::string bytes(n, '\0');
  uint32_t state = 2463534242u;
  for (char& c : bytes) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    c = static_cast<char>(state);
  }
  return bytes;
}

class HostileInput : public testing::Test {
 protected:
  void SetUp() override
  {
    route_sound_to(dir_, capture_to(capture(), SIZE_MAX, 8 * 44100 * 4));
  }
  std::string capture() const { return dir_.path("capture.raw"); }

  // A path of exactly |length| bytes, through directories made here, to a
  // file |length| bytes long of which the rest is made up.
  std::string long_path(size_t length)
  {
    std::string path = dir_.path("");
    while (length - path.size() > 255) {
      path += std::string(200, 'd');
      EXPECT_EQ(mkdir(path.c_str(), 0755), 0);
      path += "/";
    }
    return path + std::string(length - path.size() - 4, 'f') + ".wav";
  }

  TempDir dir_;
};

// The play error, status 1, nothing played and no hang.
TEST_F(HostileInput, UnplayableFilesFailAtOnce)
{
  const std::string data = stereo_frames(100);
  const struct {
    const char* what;
    std::string bytes;
  } files[] = {
      {"empty file", ""},
      {"header with no frames", riff(chunk("fmt ", fmt16(2, 44100)) + chunk("data", ""))},
      {"random bytes", random_bytes(4096)},
      {"RIFF and data sizes past the end",
       riff(chunk("fmt ", fmt16(2, 44100)) + chunk("data", "", 0x7ffffff0), 0xfffffff0)},
      {"fmt size past the end", riff(chunk("fmt ", fmt16(2, 44100), 0x7ffffff0), 0xfffffff0)},
      {"0 channels", riff(chunk("fmt ", fmt16(0, 44100)) + chunk("data", data))},
      {"65,535 channels", riff(chunk("fmt ", fmt16(65535, 44100)) + chunk("data", data))},
      {"rate 0", riff(chunk("fmt ", fmt16(2, 0)) + chunk("data", data))},
      {"rate 4,294,967,295", riff(chunk("fmt ", fmt16(2, 4294967295u)) + chunk("data", data))},
      {"data chunk before fmt", riff(chunk("data", data) + chunk("fmt ", fmt16(2, 44100)))},
      // An odd size with no pad byte puts the data chunk's header one byte
      // off where a reader looks for it.
      {"odd-sized chunk", riff(chunk("fmt ", fmt16(2, 44100)) + chunk("LIST", "abc", 3) +
                               chunk("data", data))},
  };
  std::vector<std::string> names;
  for (const auto& f : files) {
    names.push_back(dir_.path(std::string(f.what) + ".wav"));
    write_file(names.back(), f.bytes);
  }
  // A directory, and the devices: linked to names that end in .wav, which
  // is not completed.
  names.push_back(dir_.path("x.wav"));
  ASSERT_EQ(mkdir(names.back().c_str(), 0755), 0);
  for (const char* device : {"/dev/zero", "/dev/urandom"}) {
    names.push_back(dir_.path(std::string(device + 5) + ".wav"));
    ASSERT_EQ(symlink(device, names.back().c_str()), 0);
  }
  // 5,000 bytes whose first 4,095 name a file that plays: the name is
  // used whole, not cut down to what fits.
  std::string playable = long_path(4095);
  write_file(playable, riff(chunk("fmt ", fmt16(2, 44100)) + chunk("data", data)));
  names.push_back(playable + "/" + std::string(5000 - 4096, 'x'));

  for (const std::string& name : names) {
    std::string shown = name.substr(name.rfind('/') + 1, 40);
    Result r = run({name});
    EXPECT_EQ(r.out, kPlayErrorOutput) << shown;
    EXPECT_EQ(r.status, 1) << shown;
    // One line that names the file.
    std::string named = "wavorbit: " + name + ": ";
    EXPECT_EQ(r.err.compare(0, named.size(), named), 0) << shown << ": " << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << shown << ": " << r.err;
    EXPECT_LT(r.cpu, kStartCpuSeconds) << shown << ": CPU seconds";
    EXPECT_EQ(read_file(capture()), "") << shown << ": nothing may be played";
  }
}

// Files that play after all, each an exact loop of the frames it holds:
// names that are long or not UTF-8 but within the system's limits, and a
// data chunk that claims more than the file holds.
TEST_F(HostileInput, OddButPlayableFilesLoopExactly)
{
  const std::string frames = stereo_frames(1000);
  const std::string good = riff(chunk("fmt ", fmt16(2, 44100)) + chunk("data", frames));
  std::string high_bytes;
  for (int c = 0x80; c <= 0xff; ++c)
    high_bytes += static_cast<char>(c);
  const struct {
    const char* what;
    std::string name;
    std::string bytes;
  } files[] = {
      {"a name of 4,095 bytes", long_path(4095), good},
      {"a name of bytes 0x80-0xFF", dir_.path(high_bytes + ".wav"), good},
      {"data chunk longer than the file", dir_.path("long.wav"),
       riff(chunk("fmt ", fmt16(2, 44100)) + chunk("data", frames, 1000000), 1000036)},
  };
  for (const auto& f : files) {
    SCOPED_TRACE(f.what);
    write_file(capture(), "");
    write_file(f.name, f.bytes);
    Child c = spawn({f.name}, Stdio{}, Stdio{});
    EXPECT_EQ(read_until(c.out, kPrompt), kPrompt);
    EXPECT_TRUE(wait_for_size(capture(), frames.size() * 4, 10));
    press_return(c);
    std::vector<char> reference(frames.begin(), frames.end());
    EXPECT_TRUE(is_loop_of(read_file(capture()), reference, 4));
  }
}

// A rate no device plays, claimed by a file of a few frames: the buffer
// is bounded in bytes, not in time, so the start is quick and memory small.
// "Quick" is the work done before the prompt, in CPU seconds of the main
// thread, which then waits for input; a buffer of a second at this rate
// would be 268 MB.
TEST(HostileRate, AnAbsurdRateStartsQuicklyInBoundedMemory)
{
  TempDir dir;
  std::string file = dir.path("fast.wav");
  std::string frames = stereo_frames(4);
  write_file(file, riff(chunk("fmt ", fmt16(2, 67108864)) + chunk("data", frames)));
  std::string capture = dir.path("capture.raw");
  // The player's memory grows as it goes round its buffer the first time
  // (8 MB at most), then stays: its peak is measured after three rounds,
  // not at some point of the first that depends on how busy the machine is.
  const size_t played = 24 << 20;
  route_sound_to(dir, capture_to(capture, played));

  Child c = spawn({file}, Stdio{}, Stdio{});
  EXPECT_EQ(read_until(c.out, kPrompt), kPrompt);
  double start_cpu = main_thread_cpu_seconds(c.pid);
  EXPECT_GE(start_cpu, 0);
  EXPECT_LT(start_cpu, kStartCpuSeconds) << "CPU seconds to the prompt";
  EXPECT_TRUE(wait_for_size(capture, played, 60));
  long peak = peak_resident_kb(c.pid);
  EXPECT_GT(peak, 0);
  EXPECT_LT(peak, kPeakKb) << "kB at peak";
  press_return(c);
  EXPECT_TRUE(is_loop_of(read_file(capture), std::vector<char>(frames.begin(), frames.end()), 4));
}

}  // namespace

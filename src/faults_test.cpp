// Faults while the program plays: the file changes under it, the sound
// device goes away, standard input never ends.  The program must not
// crash or spin, and Return must still end it with status 0.

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "run_program.h"
#include "sound_server.h"
#include "test_support.h"

namespace {

// A process that waits uses next to no CPU; one that spins uses a whole
// core.  The bound is far from both.
const double kSpinSeconds = 0.5;

void sleep_seconds(double s)
{
  std::this_thread::sleep_for(std::chrono::duration<double>(s));
}

// CPU seconds |pid| uses over the next second.
double cpu_over_a_second(pid_t pid)
{
  double before = cpu_seconds(pid);
  sleep_seconds(1);
  double after = cpu_seconds(pid);
  EXPECT_GE(before, 0);
  return after - before;
}

// Ends a program that waits at the prompt with Return: status 0, nothing
// on standard error.
void press_return(Child& c)
{
  EXPECT_EQ(waitpid(c.pid, nullptr, WNOHANG), 0) << "ended before Return";
  ASSERT_EQ(write(c.in, "\n", 1), 1);
  EXPECT_EQ(wait_status(c.pid), 0);
  EXPECT_EQ(drain(c.err), "");
  EXPECT_EQ(drain(c.out), "");
  close(c.in);
}

struct FileFault {
  const char* what;
  std::function<void(const std::string& file, const std::string& other)> act;
  bool plays_on;  // the open file still plays, exactly
};

TEST(FaultsWhilePlaying, TheFileChangesUnderThePlayer)
{
  const FileFault faults[] = {
      {"truncated to nothing",
       [](const std::string& file, const std::string&) {
         ASSERT_EQ(truncate(file.c_str(), 0), 0);
       },
       false},
      {"deleted",
       [](const std::string& file, const std::string&) {
         ASSERT_EQ(unlink(file.c_str()), 0);
       },
       true},
      {"replaced by another",
       [](const std::string& file, const std::string& other) {
         ASSERT_EQ(rename(other.c_str(), file.c_str()), 0);
       },
       true},
      {"rewritten in place with another",
       [](const std::string& file, const std::string& other) {
         write_file(file, read_file(other));
       },
       false},
  };
  for (const FileFault& f : faults) {
    SCOPED_TRACE(f.what);
    TempDir dir;
    std::string file = dir.path("tune.wav"), other = dir.path("other.wav");
    // Long enough to be read from the file as it plays, not from memory.
    write_fixture(file, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 44100, 2205);
    write_fixture(other, SF_FORMAT_WAV | SF_FORMAT_PCM_24, 1, 8000, 777);
    std::vector<char> reference = decode_all(file, SampleType::Int16);
    std::string capture = dir.path("capture.raw");
    route_sound_to(dir, capture_to(capture, SIZE_MAX, 8 * 44100 * 4));

    Child c = spawn({file}, Stdio{}, Stdio{});
    EXPECT_EQ(read_until(c.out, kPrompt), kPrompt);
    EXPECT_TRUE(wait_for_size(capture, reference.size() * 2, 10));
    f.act(file, other);
    sleep_seconds(0.5);
    EXPECT_LT(cpu_over_a_second(c.pid), kSpinSeconds) << "CPU seconds";
    size_t before = read_file(capture).size();
    if (f.plays_on) {
      EXPECT_TRUE(wait_for_size(capture, before + reference.size() * 2, 10)) << "played on";
    }
    press_return(c);
    if (f.plays_on) {
      EXPECT_TRUE(is_loop_of(read_file(capture), reference, 4));
    }
  }
}

// The file plugin's reader exits: writes to the device fail from then on.
TEST(FaultsWhilePlaying, TheDeviceGoesAway)
{
  TempDir dir;
  std::string file = dir.path("tune.wav");
  write_fixture(file, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 44100, 2205);
  std::string capture = dir.path("capture.raw");
  route_sound_to(dir, "|head -c 100000 > '" + capture + "'");

  Child c = spawn({file}, Stdio{}, Stdio{});
  EXPECT_EQ(read_until(c.out, kPrompt), kPrompt);
  EXPECT_TRUE(wait_for_size(capture, 100000, 10));
  sleep_seconds(0.5);
  EXPECT_LT(cpu_over_a_second(c.pid), kSpinSeconds) << "CPU seconds";
  press_return(c);
}

// The sound server is killed while the program plays through it.
TEST(FaultsWhilePlaying, TheSoundServerIsKilled)
{
  TempDir dir;
  SoundServer server("pulse", dir.path("server"));
  ASSERT_TRUE(server.ready()) << server.error();
  std::string file = dir.path("tune.wav");
  write_fixture(file, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 44100, 22050);
  server.export_env();

  Child c = spawn({file}, Stdio{}, Stdio{});
  MemoryCap cap(c.pid, 512);
  ASSERT_EQ(read_until(c.out, kPrompt), kPrompt) << drain(c.err);
  sleep_seconds(0.5);
  ASSERT_EQ(server.command("kill"), "ok");
  sleep_seconds(0.5);
  EXPECT_LT(cpu_over_a_second(c.pid), kSpinSeconds) << "CPU seconds";
  EXPECT_FALSE(cap.tripped()) << "grew beyond 512 MB";
  press_return(c);
}

// Input that never ends and never holds a line end: read and forgotten,
// for as long as it comes.
TEST(FaultsWhilePlaying, EndlessZerosOnStandardInput)
{
  TempDir dir;
  std::string file = dir.path("tune.wav");
  write_fixture(file, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 44100, 2205);
  route_sound_to(dir, capture_to(dir.path("capture.raw"), 0, 8 * 44100 * 4));

  Child c = spawn({file}, from_path("/dev/zero", O_RDONLY), Stdio{});
  EXPECT_EQ(read_until(c.out, kPrompt), kPrompt);
  sleep_seconds(0.5);
  long early = status_kb(c.pid, "VmRSS");
  sleep_seconds(3);
  long late = status_kb(c.pid, "VmHWM");
  EXPECT_GT(early, 0);
  EXPECT_LT(late - early, 1024) << "kB of growth while reading zeros";
  EXPECT_EQ(waitpid(c.pid, nullptr, WNOHANG), 0) << "ended on zeros";
  ASSERT_EQ(kill(c.pid, SIGKILL), 0);
  int status;
  EXPECT_EQ(waitpid(c.pid, &status, 0), c.pid);
  EXPECT_EQ(drain(c.err), "");
  drain(c.out);
}

}  // namespace

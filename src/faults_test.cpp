// Faults while the program plays: the file changes under it, the sound
// device or its server goes away, freezes or comes back, standard input
// never ends.  The program must not crash, spin or grow; it says when the
// sound is lost and when it is back; Return always ends it, with status 1
// when the sound was lost at the end.

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "loop_check.h"
#include "program.h"
#include "sound_server.h"
#include "support.h"

namespace {

// A process that waits uses next to no CPU; one that spins uses a whole
// core.  The bound is far from both.
const double kSpinSeconds = 0.5;

void sleep_seconds(double s)
{
  std::this_thread::sleep_for(std::chrono::duration<double>(s));
}

// CPU seconds |pid| uses over the next |seconds|.
double cpu_over(pid_t pid, double seconds)
{
  double before = cpu_seconds(pid);
  sleep_seconds(seconds);
  double after = cpu_seconds(pid);
  EXPECT_GE(before, 0);
  return after - before;
}

double cpu_over_a_second(pid_t pid)
{
  return cpu_over(pid, 1);
}

// Generous: only a program that never says it, or never ends, takes so
// long.
const double kDeadline = 20;

const std::string kLostStart = "wavorbit: sound output lost (";
const std::string kLostEnd = "); retrying\n";
const std::string kBack = "wavorbit: sound output back\n";

// Waits for the one line that tells the loss, with ALSA's reason in it.
void expect_lost_line(Child& c)
{
  std::string said = read_until_within(c.err, kLostEnd, kDeadline);
  EXPECT_EQ(said.compare(0, kLostStart.size(), kLostStart), 0) << said;
  EXPECT_EQ(said.find('\n'), said.size() - 1) << said;
  EXPECT_GE(said.size(), kLostStart.size() + kLostEnd.size() + 3) << said;
}

// While the sound is lost the program only tries to open the device
// again now and then: over three seconds a spin would use three seconds
// of CPU, and the growth seen in a client whose server was killed is
// hundreds of MB a second.  The bounds are far from both, and wide
// enough for the sanitizer builds.
void expect_idle_while_lost(pid_t pid)
{
  long rss_before = status_kb(pid, "VmRSS");
  EXPECT_LT(cpu_over(pid, 3), 0.3) << "CPU seconds over 3 s";
  long rss_after = status_kb(pid, "VmRSS");
  EXPECT_GT(rss_before, 0);
  EXPECT_LT(rss_after - rss_before, 16 * 1024) << "kB of growth over 3 s";
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
    write_fixture(file, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 44100, kStreamedFrames);
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

// The file plugin's reader exits, and every device opened after it fails
// at once (its command takes nothing): the sound is lost for good.
TEST(FaultsWhilePlaying, TheDeviceGoesAwayForGood)
{
  TempDir dir;
  std::string file = dir.path("tune.wav");
  write_fixture(file, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 44100, 2205);
  std::string capture = dir.path("capture.raw");
  route_sound_to(dir, "|if mkdir '" + dir.path("opened") + "' 2>/dev/null; then head -c 100000 > '" +
                          capture + "'; fi");

  Child c = spawn({file}, Stdio{}, Stdio{});
  EXPECT_EQ(read_until(c.out, kPrompt), kPrompt);
  expect_lost_line(c);
  EXPECT_EQ(read_file(capture).size(), 100000u);
  expect_idle_while_lost(c.pid);
  press_return(c, 1);
}

// The program playing a noise loop through a private sound server.
struct ServerPlay {
  explicit ServerPlay(const char* route) : server(route, dir.path("s"))
  {
    file = dir.path("tune.wav");
    write_fixture(file, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 44100, 22050);
    reference = decode_all(file, SampleType::Int16);
    if (!server.ready())
      return;
    server.export_env();
    child = spawn({file}, Stdio{}, Stdio{});
    // A client whose server is killed may allocate without end.
    cap = std::make_unique<MemoryCap>(child.pid, 512);
    prompt = read_until_within(child.out, kPrompt, kDeadline);
    // The program is well into its loop before the fault.
    sleep_seconds(0.5);
  }
  ~ServerPlay()
  {
    if (cap) {
      EXPECT_FALSE(cap->tripped()) << "grew beyond 512 MB";
    }
  }

  // Whether the server runs and the program plays through it.
  testing::AssertionResult playing()
  {
    if (!server.ready())
      return testing::AssertionFailure() << server.error();
    if (prompt != kPrompt)
      return testing::AssertionFailure() << "no prompt: " << drain(child.err);
    return testing::AssertionSuccess();
  }

  // Sends |command|, which answers with the path of a new recording.
  std::string recording_from(const std::string& command)
  {
    std::string answer = server.command(command);
    EXPECT_EQ(answer.compare(0, 3, "ok "), 0) << command << ": " << answer;
    return answer.compare(0, 3, "ok ") == 0 ? answer.substr(3) : dir.path("none");
  }

  TempDir dir;
  SoundServer server;
  std::string file;
  std::vector<char> reference;
  Child child;
  std::unique_ptr<MemoryCap> cap;
  std::string prompt;
};

const size_t kSecondBytes = 44100 * 4;

// Junctions allowed in a few seconds of a recording: the one where the
// sound came back or moved, and a few that the route makes under load
// (PipeWire's plugin was seen to skip 2048 or 4096 frames now and then
// with the program as it was before it reconnected).  A fault that breaks
// the loop makes one at every write.
const size_t kJunctions = 4;

// Each fault on each sound server: PulseAudio and PipeWire.
class ServerFaults : public testing::TestWithParam<const char*> {
 protected:
  ServerPlay play{GetParam()};
};

// The server is killed, then started again: the sound comes back and the
// loop goes on, frame for frame, from where it was.
TEST_P(ServerFaults, TheSoundServerIsKilledAndStartedAgain)
{
  ASSERT_TRUE(play.playing());
  ASSERT_EQ(play.server.command("kill"), "ok");
  expect_lost_line(play.child);
  std::string recording = play.recording_from("start");
  EXPECT_EQ(read_until_within(play.child.err, kBack, kDeadline), kBack);
  EXPECT_TRUE(wait_for_size(recording, 3 * kSecondBytes, kDeadline));
  press_return(play.child);
  EXPECT_TRUE(continues_loop(read_file(recording), play.reference, 4, 44100, kJunctions));
}

// The server stops answering (SIGSTOP): Return still ends the program.
TEST_P(ServerFaults, TheSoundServerFreezesThenReturn)
{
  ASSERT_TRUE(play.playing());
  ASSERT_EQ(play.server.command("freeze"), "ok");
  sleep_seconds(0.5);
  ASSERT_EQ(write(play.child.in, "\n", 1), 1);
  EXPECT_EQ(exit_status_within(play.child.pid, kDeadline), 0) << "did not end";
  EXPECT_EQ(play.server.command("thaw"), "ok");
  EXPECT_EQ(drain(play.child.err), "");
  EXPECT_EQ(drain(play.child.out), "");
  close(play.child.in);
}

// The sink that plays is removed while another is the default: the sound
// goes on there.
TEST_P(ServerFaults, TheSinkIsRemoved)
{
  ASSERT_TRUE(play.playing());
  ASSERT_EQ(play.server.command("add-sink other"), "ok");
  std::string recording = play.recording_from("record other");
  ASSERT_EQ(play.server.command("default other"), "ok");
  ASSERT_EQ(play.server.command("remove-sink cap"), "ok");
  EXPECT_TRUE(wait_for_size(recording, 3 * kSecondBytes, kDeadline));
  ASSERT_EQ(write(play.child.in, "\n", 1), 1);
  EXPECT_EQ(wait_status(play.child.pid), 0);
  drain(play.child.err);  // a loss and return along the way are no fault
  EXPECT_EQ(drain(play.child.out), "");
  close(play.child.in);
  EXPECT_TRUE(continues_loop(read_file(recording), play.reference, 4, 44100, kJunctions));
}

// The server is killed and stays away: the program waits quietly, and
// Return ends it with status 1.
TEST_P(ServerFaults, TheSoundServerIsGoneUntilReturn)
{
  ASSERT_TRUE(play.playing());
  ASSERT_EQ(play.server.command("kill"), "ok");
  expect_lost_line(play.child);
  expect_idle_while_lost(play.child.pid);
  press_return(play.child, 1);
}

INSTANTIATE_TEST_SUITE_P(FaultsWhilePlaying, ServerFaults, testing::Values("pulse", "pipewire"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param);
                         });

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

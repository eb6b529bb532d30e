// The program as a user runs it: exact texts, exit statuses, standard
// error, and the sound it plays, for every kind of standard input and
// output.

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "loop_check.h"
#include "program.h"
#include "support.h"

extern char** environ;

namespace {

class Wavorbit : public testing::Test {
 protected:
  void SetUp() override
  {
    write_fixture(dir_.path("tune.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 44100, 2205);
    route_sound_to(dir_, capture_to(dir_.path("capture.raw"), SIZE_MAX, 8 * 44100 * 4));
  }
  std::string tune() const { return dir_.path("tune.wav"); }
  std::string captured() const { return read_file(dir_.path("capture.raw")); }

  TempDir dir_;
};

TEST_F(Wavorbit, AnswersItsArgumentsWithExactTextsAndStatuses)
{
  const std::string kNoSuchFile = ": No such file or directory\n";
  const std::string kLongName = std::string(5000, 'x') + ".wav";
  const struct {
    std::vector<std::string> args;
    std::string out;
    int status;
    std::string err;
  } cases[] = {
      {{}, kNoFileOutput, 1, ""},
      {{"-h"}, kHelpOutput, 0, ""},
      {{"/h"}, kHelpOutput, 0, ""},
      {{"-H"}, kHelpOutput, 0, ""},
      {{"/H"}, kHelpOutput, 0, ""},
      {{"-?"}, kHelpOutput, 0, ""},
      {{"/?"}, kHelpOutput, 0, ""},
      {{"-help.wav"}, kHelpOutput, 0, ""},
      {{"/home.wav", "x"}, kHelpOutput, 0, ""},
      {{"--help"}, kPlayErrorOutput, 1, "wavorbit: --help.wav" + kNoSuchFile},
      {{"h"}, kPlayErrorOutput, 1, "wavorbit: h.wav" + kNoSuchFile},
      {{""}, kPlayErrorOutput, 1, "wavorbit: .wav" + kNoSuchFile},
      {{" -h"}, kPlayErrorOutput, 1, "wavorbit:  -h.wav" + kNoSuchFile},
      {{"missing"}, kPlayErrorOutput, 1, "wavorbit: missing.wav" + kNoSuchFile},
      {{"missing.wav", "-h"}, kPlayErrorOutput, 1, "wavorbit: missing.wav" + kNoSuchFile},
      {{std::string(5000, 'x')}, kPlayErrorOutput, 1,
       "wavorbit: " + kLongName + ": File name too long\n"},
      {{"\x80\xff\xe9.wav"}, kPlayErrorOutput, 1, "wavorbit: \x80\xff\xe9.wav" + kNoSuchFile},
  };
  for (const auto& c : cases) {
    Result r = run(c.args);
    std::string shown = c.args.empty() ? "(none)" : c.args[0].substr(0, 20);
    EXPECT_EQ(r.out, c.out) << shown;
    EXPECT_EQ(r.status, c.status) << shown;
    EXPECT_EQ(r.err, c.err) << shown;
  }
  EXPECT_EQ(captured(), "") << "nothing may be played";
}

// A start that fails keeps the texts on standard output as they are, and
// says on standard error, in one line, whether the file or the sound
// output is the cause.
TEST_F(Wavorbit, SaysWhyAStartFailed)
{
  std::string locked = dir_.path("locked.wav"), noise = dir_.path("noise.wav");
  write_file(locked, read_file(tune()));
  ASSERT_EQ(chmod(locked.c_str(), 0), 0);
  write_file(noise, std::string(3000, '\x5a'));
  std::string no_config = dir_.path("none.conf"), mulaw = dir_.path("mulaw.conf");
  write_file(no_config, "");
  // PulseAudio's plugin, and no server where the client looks for one.
  std::string pulse = dir_.path("pulse.conf"), client = dir_.path("client.conf");
  write_file(pulse, "pcm.!default { type pulse }\n");
  write_file(client, "autospawn = no\n");
  // A device that takes mu-law only: no linear samples of any kind.
  write_file(mulaw, "pcm.!default { type mulaw slave { pcm { type null } format S16_LE } }\n");
  const std::string kNoDevice =
      "wavorbit: cannot open the sound output (ALSA's default): No such file or directory; "
      "no sound server or sound card reachable\n";
  const struct {
    const char* what;
    std::string file;
    std::string config;  // ALSA's configuration, when not the test route
    std::string err;
  } cases[] = {
      {"missing file", dir_.path("missing.wav"), "",
       "wavorbit: " + dir_.path("missing.wav") + ": No such file or directory\n"},
      {"directory", dir_.path("."), "", "wavorbit: " + dir_.path(".") + ": is a directory\n"},
      {"unreadable", locked, "", "wavorbit: " + locked + ": Permission denied\n"},
      {"not sound", noise, "", "wavorbit: " + noise + ": Format not recognised.\n"},
      {"no device", tune(), no_config, kNoDevice},
      {"no sound server", tune(), pulse,
       "wavorbit: cannot open the sound output (ALSA's default): Connection refused; "
       "no sound server or sound card reachable\n"},
      {"no format the device takes", tune(), mulaw,
       "wavorbit: the sound output (ALSA's default) takes none of the sample formats of " +
           tune() + "\n"},
  };
  std::string route = getenv("ALSA_CONFIG_PATH");
  setenv("PULSE_SERVER", ("unix:" + dir_.path("no-server")).c_str(), 1);
  setenv("PULSE_CLIENTCONFIG", client.c_str(), 1);
  // libpulse and the plugins alsa-lib loads are not built for
  // ThreadSanitizer, which then sees races between their threads.
  std::string suppressions = dir_.path("tsan.supp");
  write_file(suppressions, "race:libpulse\nrace:libasound_module_pcm_pulse\n"
                           "called_from_lib:libasound.so.2\n");
  const char* tsan = getenv("TSAN_OPTIONS");
  std::string tsan_before = tsan != nullptr ? tsan : "";
  setenv("TSAN_OPTIONS", (tsan_before + ":suppressions=" + suppressions).c_str(), 1);
  for (const auto& c : cases) {
    std::vector<std::string> args = {c.file};
    if (c.file == locked && geteuid() == 0) {
      // Root reads any file; without these two capabilities it does not.
      if (system("setpriv --bounding-set=-dac_override,-dac_read_search true") != 0) {
        ADD_FAILURE() << "setpriv cannot drop root's capabilities here";
        continue;
      }
      args = {"--bounding-set=-dac_override,-dac_read_search", WAVORBIT_BINARY, c.file};
    }
    setenv("ALSA_CONFIG_PATH", c.config.empty() ? route.c_str() : c.config.c_str(), 1);
    Result r = args.size() == 1 ? run(args) : run_program("setpriv", args);
    EXPECT_EQ(r.out, kPlayErrorOutput) << c.what;
    EXPECT_EQ(r.status, 1) << c.what;
    EXPECT_EQ(r.err, c.err) << c.what;
  }
  setenv("ALSA_CONFIG_PATH", route.c_str(), 1);
  unsetenv("PULSE_SERVER");
  unsetenv("PULSE_CLIENTCONFIG");
  if (tsan != nullptr)
    setenv("TSAN_OPTIONS", tsan_before.c_str(), 1);
  else
    unsetenv("TSAN_OPTIONS");
  EXPECT_EQ(captured(), "") << "nothing may be played";
}

TEST_F(Wavorbit, CompletesTheNameWithWav)
{
  std::string name = tune().substr(0, tune().size() - 4);
  Result r = run({name}, "\n");
  EXPECT_EQ(r.out, kPrompt);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
}

// Any of CR, LF, Ctrl+Z or the end of input ends the wait.
TEST_F(Wavorbit, StopsOnEveryKindOfEndOfLine)
{
  for (const std::string input : {"\n", "\r", "\x1a", "typed text\r\n", "", "no end of line"}) {
    Result r = run({tune(), "ignored"}, input);
    EXPECT_EQ(r.out, kPrompt);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(Wavorbit, PlaysAnExactLoopUntilReturn)
{
  Child c = spawn({tune()}, Stdio{}, Stdio{});
  EXPECT_EQ(read_until(c.out, kPrompt), kPrompt);
  // Several turns of the loop reach the device while the program waits.
  EXPECT_TRUE(wait_for_size(dir_.path("capture.raw"), 2205 * 4 * 4, 10));
  press_return(c);
  EXPECT_TRUE(sink_finished(dir_.path("capture.raw"))) << "played on after exit";
  EXPECT_TRUE(is_loop_of(captured(), decode_all(tune(), SampleType::Int16), 4));
}

// Standard input stays open and silent while far more is played than the
// device and its pipe hold (about 250 kB): only a program that is still
// playing gets there.
TEST_F(Wavorbit, KeepsPlayingWhileStandardInputStaysSilent)
{
  Child c = spawn({tune()}, Stdio{}, Stdio{});
  EXPECT_EQ(read_until(c.out, kPrompt), kPrompt);
  EXPECT_TRUE(wait_for_size(dir_.path("capture.raw"), 1 << 20, 60)) << "played on";
  EXPECT_EQ(waitpid(c.pid, nullptr, WNOHANG), 0) << "ended without input";
  close(c.in);  // the end of input
  EXPECT_EQ(wait_status(c.pid), 0);
  drain(c.out);
  drain(c.err);
}

// The terminator and what follows it stay unread where input can be
// rewound, for whoever reads the same input next.
TEST_F(Wavorbit, LeavesTheRestOfAFileUnread)
{
  std::string input = dir_.path("input.txt");
  write_file(input, "abc\ndef\n");
  int fd = open(input.c_str(), O_RDONLY);
  ASSERT_NE(fd, -1);
  pid_t pid;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fd, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  std::string program = WAVORBIT_BINARY, arg = tune();
  char* argv[] = {program.data(), arg.data(), nullptr};
  ASSERT_EQ(posix_spawn(&pid, WAVORBIT_BINARY, &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_EQ(wait_status(pid), 0);
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 3);
  close(fd);
}

// Standard output of every kind: a file gets exactly the texts; what
// cannot be written gives a report on standard error and 217.
TEST_F(Wavorbit, WritesEveryKindOfStandardOutput)
{
  std::string out_file = dir_.path("out.txt");
  const struct {
    const char* what;
    std::vector<std::string> args;
    Stdio in;
    Stdio out;
    int status;
    std::string file_text;
  } cases[] = {
      {"file, help", {"-?"}, from_path("/dev/null", O_RDONLY),
       from_path(out_file, O_WRONLY | O_CREAT | O_TRUNC), 0, kHelpOutput},
      {"file, playing", {tune()}, from_path("/dev/null", O_RDONLY),
       from_path(out_file, O_WRONLY | O_CREAT | O_TRUNC), 0, kPrompt},
      {"null device", {tune()}, from_path("/dev/null", O_RDONLY),
       from_path("/dev/null", O_WRONLY), 0, ""},
      {"full device", {"-h"}, from_path("/dev/null", O_RDONLY),
       from_path("/dev/full", O_WRONLY), 217, ""},
      {"full device, playing", {tune()}, from_path("/dev/null", O_RDONLY),
       from_path("/dev/full", O_WRONLY), 217, ""},
      {"closed", {"-h"}, from_path("/dev/null", O_RDONLY), closed(), 217, ""},
      {"closed, playing", {tune()}, from_path("/dev/null", O_RDONLY), closed(), 217, ""},
  };
  for (const auto& c : cases) {
    write_file(out_file, "");
    Child child = spawn(c.args, c.in, c.out);
    std::string err = drain(child.err);
    EXPECT_EQ(wait_status(child.pid), c.status) << c.what;
    if (c.status == 217) {
      EXPECT_NE(err.find("standard output"), std::string::npos) << c.what << ": " << err;
      EXPECT_EQ(err.find('\n'), err.size() - 1) << c.what << ": one line";
    } else {
      EXPECT_EQ(err, "") << c.what;
      EXPECT_EQ(read_file(out_file), c.file_text) << c.what;
    }
  }
}

// Nobody reads the program's output: the pipe's read end is closed before
// the program starts, so its first write fails.
TEST_F(Wavorbit, EndsWith217WhenTheReaderHasGone)
{
  for (const std::vector<std::string>& args : {std::vector<std::string>{},
                                               std::vector<std::string>{tune()}}) {
    Child c = spawn(args, from_path("/dev/null", O_RDONLY), broken_pipe());
    std::string err = drain(c.err);
    EXPECT_EQ(wait_status(c.pid), 217);
    EXPECT_NE(err.find("standard output"), std::string::npos) << err;
  }
}

TEST_F(Wavorbit, EndsWith217WhenStandardInputCannotBeRead)
{
  const Stdio inputs[] = {closed(), from_path("/dev/null", O_WRONLY)};
  for (const Stdio& in : inputs) {
    Child c = spawn({tune()}, in, Stdio{});
    std::string err;
    std::thread err_reader([&] { err = drain(c.err); });
    EXPECT_EQ(drain(c.out), kPrompt);
    err_reader.join();
    EXPECT_EQ(wait_status(c.pid), 217);
    EXPECT_NE(err.find("standard input"), std::string::npos) << err;
  }
}

TEST_F(Wavorbit, StandardInputOfEveryKindEndsTheWait)
{
  std::string input = dir_.path("input.txt");
  write_file(input, "abc\n");
  const Stdio inputs[] = {from_path("/dev/null", O_RDONLY), from_path(input, O_RDONLY)};
  for (const Stdio& in : inputs) {
    Child c = spawn({tune()}, in, Stdio{});
    EXPECT_EQ(drain(c.out), kPrompt);
    EXPECT_EQ(drain(c.err), "");
    EXPECT_EQ(wait_status(c.pid), 0);
  }
}

// Input that never holds a line end is read and forgotten: the program's
// memory does not grow with it.
TEST_F(Wavorbit, ForgetsWhatItReads)
{
  Child c = spawn({tune()}, Stdio{}, Stdio{});
  EXPECT_EQ(read_until(c.out, kPrompt), kPrompt);
  std::string block(1 << 16, 'x');
  ASSERT_EQ(write(c.in, block.data(), block.size()), static_cast<ssize_t>(block.size()));
  long before = peak_resident_kb(c.pid);
  for (int i = 0; i < 512; ++i)  // 32 MiB
    ASSERT_EQ(write(c.in, block.data(), block.size()), static_cast<ssize_t>(block.size()));
  long after = peak_resident_kb(c.pid);
  ASSERT_GT(before, 0);
  EXPECT_LT(after - before, 4 * 1024) << "peak resident memory grew with the input";
  close(c.in);
  EXPECT_EQ(wait_status(c.pid), 0);
  drain(c.out);
  drain(c.err);
}

}  // namespace

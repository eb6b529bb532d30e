// The program through the sound servers desktops run, as a user runs it:
// ALSA's "default" routed to a private PulseAudio or PipeWire server whose
// null sink is recorded.  What the sink received decides, not the clock.

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "loop_check.h"
#include "program.h"
#include "sound_server.h"
#include "support.h"

namespace {

// The route's sink takes 44.1 kHz 16-bit stereo as it is: what it records
// is the file's own samples.
const size_t kFrameBytes = 4;
const size_t kSecondBytes = 44100 * kFrameBytes;
// An odd length, so that seams fall anywhere in the server's blocks.
const int kFileFrames = 3001;
const size_t kTurns = 30;

// Index of the first frame of |rec| that is not silent, or its frame count.
size_t first_sound(const std::string& rec)
{
  size_t at = rec.find_first_not_of('\0');
  return at == std::string::npos ? rec.size() / kFrameBytes : at / kFrameBytes;
}

// One past the last frame of |rec| that is not silent, or 0.
size_t end_of_sound(const std::string& rec)
{
  size_t last = rec.find_last_not_of('\0');
  return last == std::string::npos ? 0 : last / kFrameBytes + 1;
}

// Waits up to |seconds| for |path| to hold |bytes| of sound after the
// leading silence.
bool wait_for_sound(const std::string& path, size_t bytes, double seconds)
{
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    std::string rec = read_file(path);
    size_t frames = rec.size() / kFrameBytes;
    if (frames - first_sound(rec) >= bytes / kFrameBytes)
      return true;
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

class ThroughASoundServer : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override
  {
    server_ = std::make_unique<SoundServer>(GetParam(), dir_.path("server"));
    ASSERT_TRUE(server_->ready()) << server_->error();
    file_ = dir_.path("tune.wav");
    write_fixture(file_, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 44100, kFileFrames);
    reference_ = decode_all(file_, SampleType::Int16);
    // Where the sound starts is found by its first frame not being silent.
    ASSERT_NE(std::string(reference_.data(), kFrameBytes), std::string(kFrameBytes, '\0'));
    server_->export_env();
  }

  // Starts the program and lets it play |turns| times through the file.
  void play(size_t turns, Child* c)
  {
    *c = spawn({file_}, Stdio{}, Stdio{});
    ASSERT_EQ(read_until(c->out, kPrompt), kPrompt) << drain(c->err);
    ASSERT_TRUE(wait_for_sound(server_->capture(), reference_.size() * turns, 30))
        << "played " << turns << " times";
  }

  TempDir dir_;
  std::unique_ptr<SoundServer> server_;
  std::string file_;
  std::vector<char> reference_;
};

// The sink receives the file's frames from the first, over and over, with
// nothing lost, repeated or changed at the seams.
TEST_P(ThroughASoundServer, PlaysAnExactLoop)
{
  // Neither the server nor its clients run with real-time priority here
  // (desktops give it through rtkit), and other builds share the cores: a
  // client late for one of PipeWire's default 23-46 ms cycles loses that
  // block to silence.  Blocks of 4096 frames leave it 93 ms, and still
  // leave the program's quarter second of start-up sound for more than
  // one block.
  if (std::string(GetParam()) == "pipewire") {
    ASSERT_EQ(server_->command("quantum 4096"), "ok");
  }
  Child c;
  play(kTurns, &c);
  if (HasFatalFailure())
    return;
  press_return(c);
  // Everything played has reached the recording once a second of silence
  // follows it.
  std::string rec;
  for (int i = 0; i < 100; ++i) {
    rec = read_file(server_->capture());
    if (rec.size() / kFrameBytes >= end_of_sound(rec) + kSecondBytes / kFrameBytes)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  size_t first = first_sound(rec), end = end_of_sound(rec);
  ASSERT_LT(first, end) << "nothing reached the sink";
  std::string sound = rec.substr(first * kFrameBytes, (end - first) * kFrameBytes);
  EXPECT_GE(sound.size(), reference_.size() * kTurns);
  EXPECT_TRUE(is_loop_of(sound, reference_, kFrameBytes));
}

// After Return, what the program had buffered is dropped: the sound ends
// with what had reached the sink by then, and the sink gets nothing more.
TEST_P(ThroughASoundServer, NothingReachesTheSinkAfterReturn)
{
  Child c;
  play(kTurns, &c);
  if (HasFatalFailure())
    return;
  size_t at_return = read_file(server_->capture()).size() / kFrameBytes;
  press_return(c);
  // The program keeps up to a second of sound ahead of the sink; a second
  // and a half more of recording holds whatever of it would still play.
  ASSERT_TRUE(wait_for_size(server_->capture(), (at_return + 66150) * kFrameBytes, 30));
  std::string rec = read_file(server_->capture());
  size_t end = end_of_sound(rec);
  // What reached the sink before Return but was not yet recorded: the
  // recorder's lag, tens of milliseconds.  A program that lets its buffer
  // play out adds half a second or more.
  long after = static_cast<long>(end) - static_cast<long>(at_return);
  EXPECT_LT(after, 44100 * 2 / 5) << after * 1000 / 44100 << " ms of sound recorded after Return";
}

INSTANTIATE_TEST_SUITE_P(Routes, ThroughASoundServer, testing::Values("pulse", "pipewire"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param);
                         });

}  // namespace

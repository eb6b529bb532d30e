#include "sound_alsa.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "test_support.h"

namespace {

const unsigned kLoop = SND_ASYNC | SND_NODEFAULT | SND_LOOP;
const unsigned kStop = SND_ASYNC | SND_NODEFAULT;

struct FormatCase {
  const char* name;
  int format;
  int channels;
  int rate;
  SampleType played_as;  // what reaches the device
};

// What is played is the file's frames repeated from the first, in the
// file's own precision, across many seams.
TEST(SndPlaySound, PlaysEveryFormatAsAnExactLoop)
{
  const FormatCase cases[] = {
      {"16-bit stereo", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 44100, SampleType::Int16},
      {"8-bit mono", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 1, 8000, SampleType::Int16},
      {"24-bit stereo", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 2, 48000, SampleType::Int32},
      {"32-bit float", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, 44100, SampleType::Float},
      {"64-bit float", SF_FORMAT_WAV | SF_FORMAT_DOUBLE, 1, 22050, SampleType::Double},
      {"u-law", SF_FORMAT_WAV | SF_FORMAT_ULAW, 1, 8000, SampleType::Int16},
      {"IMA ADPCM", SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM, 2, 22050, SampleType::Int16},
      {"MS ADPCM", SF_FORMAT_WAV | SF_FORMAT_MS_ADPCM, 1, 11025, SampleType::Int16},
      {"GSM 6.10", SF_FORMAT_WAV | SF_FORMAT_GSM610, 1, 8000, SampleType::Int16},
      {"extensible 6 channels", SF_FORMAT_WAVEX | SF_FORMAT_PCM_16, 6, 48000, SampleType::Int16},
      {"RF64", SF_FORMAT_RF64 | SF_FORMAT_PCM_24, 2, 96000, SampleType::Int32},
      {"AIFF", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 2, 44100, SampleType::Int16},
      {"FLAC", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 2, 44100, SampleType::Int16},
  };
  for (const FormatCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::string file = dir.path("tune.wav");
    write_fixture(file, c.format, c.channels, c.rate, 1237);
    std::vector<char> reference = decode_all(file, c.played_as);
    size_t frame_bytes = sample_bytes(c.played_as) * static_cast<size_t>(c.channels);
    size_t want = reference.size() * 25 + frame_bytes / 2;
    std::string capture = dir.path("capture.raw");
    route_sound_to(dir, capture_to(capture, want));

    ASSERT_NE(sndPlaySoundA(file.c_str(), kLoop), 0);
    EXPECT_TRUE(wait_for_size(capture, want, 10));
    sndPlaySoundA(nullptr, kStop);
    std::string got = read_file(capture);
    EXPECT_EQ(got.size(), want);
    EXPECT_TRUE(is_loop_of(got, reference, frame_bytes));
  }
}

// Stop drops what is buffered: from its return on, nothing more is played.
TEST(SndPlaySound, NothingIsPlayedAfterStop)
{
  TempDir dir;
  std::string file = dir.path("tune.wav");
  write_fixture(file, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 44100, 4410);
  std::string capture = dir.path("capture.raw");
  route_sound_to(dir, capture_to(capture, SIZE_MAX, 4 * 44100 * 4));

  ASSERT_NE(sndPlaySoundA(file.c_str(), kLoop), 0);
  ASSERT_TRUE(wait_for_size(capture, 200000, 10));
  sndPlaySoundA(nullptr, kStop);
  EXPECT_TRUE(sink_finished(capture)) << "still playing after stop";
  EXPECT_TRUE(is_loop_of(read_file(capture), decode_all(file, SampleType::Int16), 4));
}

// A second file replaces the first; stop without playback is harmless.
TEST(SndPlaySound, ANewSoundReplacesTheOld)
{
  TempDir dir;
  std::string first = dir.path("first.wav");
  std::string second = dir.path("second.wav");
  write_fixture(first, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 44100, 4410);
  write_fixture(second, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 8000, 333);
  EXPECT_NE(sndPlaySoundA(nullptr, kStop), 0);

  std::string capture = dir.path("capture.raw");
  route_sound_to(dir, capture_to(dir.path("first.raw"), SIZE_MAX, 1000000));
  ASSERT_NE(sndPlaySoundA(first.c_str(), kLoop), 0);
  route_sound_to(dir, capture_to(capture, 20000));
  ASSERT_NE(sndPlaySoundA(second.c_str(), kLoop), 0);
  EXPECT_TRUE(wait_for_size(capture, 20000, 10));
  sndPlaySoundA(nullptr, kStop);
  EXPECT_TRUE(is_loop_of(read_file(capture), decode_all(second, SampleType::Int16), 2));
}

// Whatever cannot be played gives 0 and plays nothing at all.
TEST(SndPlaySound, FailsAndPlaysNothing)
{
  TempDir dir;
  write_fixture(dir.path("good.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 8000, 100);
  write_fixture(dir.path("noframes.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 8000, 0);
  write_file(dir.path("empty.wav"), "");
  write_file(dir.path("garbage.wav"), std::string(10000, '\x7e'));
  ASSERT_EQ(mkdir(dir.path("dir.wav").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(dir.path("fifo.wav").c_str(), 0644), 0);
  write_file(dir.path("locked.wav"), read_file(dir.path("good.wav")));
  ASSERT_EQ(chmod(dir.path("locked.wav").c_str(), 0), 0);

  const struct {
    const char* file;
    unsigned flags;
  } cases[] = {
      {"missing.wav", kLoop},
      {"empty.wav", kLoop},
      {"noframes.wav", kLoop},
      {"garbage.wav", kLoop},
      {"dir.wav", kLoop},
      {"fifo.wav", kLoop},
      {"", kLoop},
      {"good.wav", SND_NODEFAULT | SND_LOOP},   // not asynchronous
      {"good.wav", SND_ASYNC | SND_NODEFAULT},  // not looped
  };
  std::string capture = dir.path("capture.raw");
  route_sound_to(dir, capture_to(capture, SIZE_MAX, 1000000));
  for (const auto& c : cases) {
    EXPECT_EQ(sndPlaySoundA(dir.path(c.file).c_str(), c.flags), 0) << c.file;
    EXPECT_EQ(read_file(capture).size(), 0u) << c.file;
  }
  if (geteuid() != 0) {  // root reads the file regardless
    EXPECT_EQ(sndPlaySoundA(dir.path("locked.wav").c_str(), kLoop), 0);
  }
}

TEST(SndPlaySound, FailsQuietlyWithoutADevice)
{
  TempDir dir;
  write_fixture(dir.path("good.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 8000, 100);
  route_sound_nowhere(dir);
  testing::internal::CaptureStderr();
  EXPECT_EQ(sndPlaySoundA(dir.path("good.wav").c_str(), kLoop), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// Threads of this process.
size_t thread_count()
{
  size_t n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    (void)entry;
    ++n;
  }
  return n;
}

// A device that goes away ends the playback thread; stop still works.
TEST(SndPlaySound, SurvivesTheDeviceGoingAway)
{
  TempDir dir;
  write_fixture(dir.path("good.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 44100, 4410);
  std::string capture = dir.path("capture.raw");
  route_sound_to(dir, "|head -c 1000 > '" + capture + "'");
  // ThreadSanitizer starts a thread of its own, which stays, beside the
  // first thread a process starts: a thread started and ended here first
  // keeps it out of the count.
  std::thread([] {}).join();
  size_t threads = thread_count();
  ASSERT_NE(sndPlaySoundA(dir.path("good.wav").c_str(), kLoop), 0);
  EXPECT_TRUE(wait_for_size(capture, 1000, 10));
  // Stop is to find the thread already ended by the failed writes.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (thread_count() > threads && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(thread_count(), threads) << "the playback thread did not end";
  EXPECT_NE(sndPlaySoundA(nullptr, kStop), 0);
}

}  // namespace

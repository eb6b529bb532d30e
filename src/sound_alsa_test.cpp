#include "sound_alsa.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "loop_check.h"
#include "program.h"
#include "support.h"

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
    write_fixture(file, c.format, c.channels, c.rate, kStreamedFrames);
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

// Stop ends the playback: the device is let go (here the sink command
// reads to the end of its input and ends) having taken no more than what
// was on its way at the stop, and all of it is the loop.
TEST(SndPlaySound, NothingIsPlayedAfterStop)
{
  TempDir dir;
  std::string file = dir.path("tune.wav");
  write_fixture(file, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 44100, 4410);
  std::string capture = dir.path("capture.raw"), ended = dir.path("ended");
  route_sound_to(dir, capture_to(capture, SIZE_MAX, 4 * 44100 * 4) + "; touch '" + ended + "'");

  ASSERT_NE(sndPlaySoundA(file.c_str(), kLoop), 0);
  ASSERT_TRUE(wait_for_size(capture, 200000, 10));
  EXPECT_NE(sndPlaySoundA(nullptr, kStop), 0);
  size_t at_stop = read_file(capture).size();
  ASSERT_TRUE(wait_for_size(ended, 0, 10)) << "the device was not let go";
  std::string later = read_file(capture);
  // On its way: what the pipe holds and what ALSA's file plugin holds (up
  // to two buffers of one second) besides the write under way.
  const size_t kOnItsWay = 65536 + 2 * 44100 * 4 + 32768;
  EXPECT_LE(later.size() - at_stop, kOnItsWay);
  EXPECT_TRUE(is_loop_of(later, decode_all(file, SampleType::Int16), 4));
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

// Whatever cannot be played gives 0, plays nothing at all, and says why
// in one line on standard error.
TEST(SndPlaySound, FailsPlaysNothingAndSaysWhy)
{
  TempDir dir;
  write_fixture(dir.path("good.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 8000, 100);
  write_fixture(dir.path("noframes.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 8000, 0);
  write_file(dir.path("empty.wav"), "");
  write_file(dir.path("garbage.wav"), std::string(10000, '\x7e'));
  ASSERT_EQ(mkdir(dir.path("dir.wav").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(dir.path("fifo.wav").c_str(), 0644), 0);

  const struct {
    const char* file;
    unsigned flags;
    std::string err;  // after "wavorbit: " and the file's name
  } cases[] = {
      {"missing.wav", kLoop, ": No such file or directory"},
      {"empty.wav", kLoop, ": Format not recognised."},
      {"noframes.wav", kLoop, ": no sound in it"},
      {"garbage.wav", kLoop, ": Format not recognised."},
      {"dir.wav", kLoop, ": is a directory"},
      {"fifo.wav", kLoop, ": not a regular file"},
      {"", kLoop, ": is a directory"},
      {"good.wav", SND_NODEFAULT | SND_LOOP, ""},   // not asynchronous
      {"good.wav", SND_ASYNC | SND_NODEFAULT, ""},  // not looped
  };
  std::string capture = dir.path("capture.raw");
  route_sound_to(dir, capture_to(capture, SIZE_MAX, 1000000));
  for (const auto& c : cases) {
    std::string name = dir.path(c.file);
    testing::internal::CaptureStderr();
    EXPECT_EQ(sndPlaySoundA(name.c_str(), c.flags), 0) << c.file;
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, c.err.empty() ? "" : "wavorbit: " + name + c.err + "\n") << c.file;
    EXPECT_EQ(read_file(capture).size(), 0u) << c.file;
  }
}

// A device that cannot be had: the reason is ALSA's, with a hint where
// nothing was there to play to.  (A sound server that is not there is
// tried with the program: its client library is not built for
// ThreadSanitizer, which must be told so before the process starts.)
TEST(SndPlaySound, SaysWhyTheDeviceCannotPlay)
{
  TempDir dir;
  std::string good = dir.path("good.wav");
  write_fixture(good, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 8000, 100);
  const std::string kNothingThere = "; no sound server or sound card reachable\n";
  const struct {
    const char* what;
    std::string config;
    std::string err;
  } cases[] = {
      {"no default device", "", "wavorbit: cannot open the sound output (ALSA's default): "
                                "No such file or directory" + kNothingThere},
      // mu-law in, so linear samples of no kind are taken.
      {"no format of the file's",
       "pcm.!default { type mulaw slave { pcm { type null } format S16_LE } }\n",
       "wavorbit: the sound output (ALSA's default) takes none of the sample formats of " +
           good + "\n"},
  };
  for (const auto& c : cases) {
    // A file of its own: alsa-lib keeps a configuration it has read.
    std::string conf = dir.path(std::to_string(&c - cases) + ".conf");
    write_file(conf, c.config);
    setenv("ALSA_CONFIG_PATH", conf.c_str(), 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(sndPlaySoundA(good.c_str(), kLoop), 0) << c.what;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err) << c.what;
  }
}

// A device that goes away for good: the stop still works, and reports
// the loss with 0.
TEST(SndPlaySound, ReportsADeviceLostAtTheStop)
{
  TempDir dir;
  write_fixture(dir.path("good.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 44100, 4410);
  std::string capture = dir.path("capture.raw");
  route_sound_to(dir, "|head -c 1000 > '" + capture + "'");
  // Standard error into a pipe, to wait for the loss to be told.
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  int saved_stderr = dup(STDERR_FILENO);
  ASSERT_NE(saved_stderr, -1);
  ASSERT_EQ(dup2(ends[1], STDERR_FILENO), STDERR_FILENO);
  close(ends[1]);
  int started = sndPlaySoundA(dir.path("good.wav").c_str(), kLoop);
  std::string err = read_until_within(ends[0], "retrying\n", 10);
  int stopped = sndPlaySoundA(nullptr, kStop);
  dup2(saved_stderr, STDERR_FILENO);
  close(saved_stderr);
  err += drain(ends[0]);
  EXPECT_NE(started, 0);
  EXPECT_EQ(stopped, 0);
  EXPECT_EQ(err.compare(0, 29, "wavorbit: sound output lost ("), 0) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
}

}  // namespace

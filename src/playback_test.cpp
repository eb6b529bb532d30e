#include "playback.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "loop_check.h"
#include "support.h"

namespace {

TEST(CompleteName, AddsWavOnlyWhenNoFullStopAnywhere)
{
  const struct {
    const char* name;
    const char* completed;
  } cases[] = {
      {"tune", "tune.wav"},
      {"TUNE", "TUNE.wav"},
      {"tune.wav", "tune.wav"},
      {"tune.WAV", "tune.WAV"},
      {"tune.mp3", "tune.mp3"},
      {"tune.", "tune."},
      {"..\\sounds\\tune", "..\\sounds\\tune"},
      {"C:\\my.dir\\tune", "C:\\my.dir\\tune"},
      {"./tune", "./tune"},
      {"dir/tune", "dir/tune.wav"},
      {"", ".wav"},
  };
  for (const auto& c : cases) {
    std::string name = c.name;
    complete_name(name);
    EXPECT_EQ(name, c.completed) << "name: [" << c.name << "]";
  }
}

TEST(NameBlockSize, FitsTheNameAndItsNulNeverLessThan1024)
{
  const struct {
    size_t length;
    size_t size;
  } cases[] = {{0, 1024}, {4, 1024}, {1023, 1024}, {1024, 1025}, {4095, 4096}, {5000, 5001}};
  for (const auto& c : cases)
    EXPECT_EQ(name_block_size(c.length), c.size) << "length " << c.length;
}

// The name block carries the completed name whole, whatever its length;
// the sanitizer builds catch a byte written past it.
TEST(StartPlayback, CopiesTheCompletedNameWhole)
{
  TempDir dir;
  route_sound_nowhere(dir);
  for (size_t length : {size_t{0}, size_t{1019}, size_t{1020}, size_t{1023}, size_t{4095},
                        size_t{5000}}) {
    S = std::string(length, 'n');
    EXPECT_FALSE(start_playback());
    EXPECT_FALSE(B);
    std::string expected = std::string(length, 'n');
    complete_name(expected);
    EXPECT_EQ(S, expected);
    EXPECT_EQ(std::strlen(PSTR), expected.size());
    EXPECT_EQ(std::string(PSTR), expected);
    std::free(PSTR);  // the program takes the block once; the test many times
    PSTR = nullptr;
  }
}

TEST(StartPlayback, PlaysTheCompletedNameAndStops)
{
  TempDir dir;
  write_fixture(dir.path("tune.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 44100, 999);
  std::string capture = dir.path("capture.raw");
  size_t want = 999 * 4 * 3;
  route_sound_to(dir, capture_to(capture, want));
  S = dir.path("tune");
  ASSERT_TRUE(start_playback());
  EXPECT_TRUE(B);
  EXPECT_STREQ(PSTR, dir.path("tune.wav").c_str());
  EXPECT_TRUE(wait_for_size(capture, want, 10));
  stop_playback();
  EXPECT_TRUE(is_loop_of(read_file(capture),
                         decode_all(dir.path("tune.wav"), SampleType::Int16), 4));
}

}  // namespace

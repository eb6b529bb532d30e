#include "loop_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

bool open_path(LoopReader* reader, const std::string& path)
{
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  return fd != -1 && loop_open(reader, fd);
}

// Reading in pieces of any size crosses the end of the file without a
// repeated or dropped frame.
TEST(LoopRead, SeamsAreExactForEveryPieceSize)
{
  TempDir dir;
  const int kFrames[] = {1, 7, 1000};
  for (int frames : kFrames) {
    std::string path = dir.path("f" + std::to_string(frames) + ".wav");
    write_fixture(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 8000, frames);
    std::vector<char> reference = decode_all(path, SampleType::Int16);
    for (size_t piece : {size_t{1}, size_t{3}, size_t(frames), size_t(frames) + 1, size_t{4096}}) {
      LoopReader reader;
      ASSERT_TRUE(open_path(&reader, path));
      std::string got;
      std::vector<char> buf(piece * 4);
      while (got.size() < reference.size() * 5 + 4) {
        ASSERT_EQ(loop_read(&reader, buf.data(), piece), piece);
        got.append(buf.data(), buf.size());
      }
      loop_close(&reader);
      EXPECT_TRUE(is_loop_of(got, reference, 4)) << frames << " frames, pieces of " << piece;
    }
  }
}

TEST(LoopRead, NativeTypeKeepsThePrecision)
{
  TempDir dir;
  const struct {
    int format;
    SampleType type;
  } cases[] = {
      {SF_FORMAT_WAV | SF_FORMAT_PCM_U8, SampleType::Int16},
      {SF_FORMAT_WAV | SF_FORMAT_PCM_16, SampleType::Int16},
      {SF_FORMAT_WAV | SF_FORMAT_PCM_24, SampleType::Int32},
      {SF_FORMAT_WAV | SF_FORMAT_PCM_32, SampleType::Int32},
      {SF_FORMAT_WAV | SF_FORMAT_FLOAT, SampleType::Float},
      {SF_FORMAT_WAV | SF_FORMAT_DOUBLE, SampleType::Double},
      {SF_FORMAT_WAV | SF_FORMAT_ULAW, SampleType::Int16},
      {SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM, SampleType::Int16},
      {SF_FORMAT_FLAC | SF_FORMAT_PCM_24, SampleType::Int32},
      {SF_FORMAT_AIFF | SF_FORMAT_PCM_16, SampleType::Int16},
  };
  for (const auto& c : cases) {
    std::string path = dir.path("t");
    write_fixture(path, c.format, 1, 8000, 100);
    LoopReader reader;
    ASSERT_TRUE(open_path(&reader, path)) << std::hex << c.format;
    EXPECT_EQ(reader.type, c.type) << std::hex << c.format;
    loop_close(&reader);
  }
}

// (A file of no more than 1 KiB of samples is looped from memory; this
// one is read from the file as it plays.)
TEST(LoopRead, StopsWhenTheFileGivesNothingEvenFromItsStart)
{
  TempDir dir;
  std::string path = dir.path("t.wav");
  write_fixture(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 8000, 1000);
  LoopReader reader;
  ASSERT_TRUE(open_path(&reader, path));
  std::vector<char> buf(1000 * 2);
  EXPECT_EQ(loop_read(&reader, buf.data(), 1000), 1000u);
  ASSERT_EQ(truncate(path.c_str(), 0), 0);
  size_t got = loop_read(&reader, buf.data(), 1000);
  EXPECT_LT(got, 1000u);
  EXPECT_EQ(loop_read(&reader, buf.data(), 1000), 0u);
  loop_close(&reader);
}

TEST(LoopOpen, RefusesWhatLibsndfileCannotDecode)
{
  TempDir dir;
  const std::string cases[] = {"", "RIFF", std::string(4096, '\x5a'),
                               "RIFF\x24\0\0\0WAVEfmt "};
  for (const std::string& bytes : cases) {
    write_file(dir.path("bad.wav"), bytes);
    LoopReader reader;
    EXPECT_FALSE(open_path(&reader, dir.path("bad.wav"))) << bytes.size() << " bytes";
  }
}

}  // namespace

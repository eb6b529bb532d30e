#include "loop_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>

#include "loop_check.h"
#include "support.h"

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

// A file just over the size that is looped from memory is read as it
// plays, so it ends once it is emptied; one at that size plays on.
TEST(LoopRead, OnlyShortFilesPlayOnFromMemoryWhenTheFileIsEmptied)
{
  const size_t kFrameBytes = 2;  // 16-bit mono
  const struct {
    size_t frames;
    bool plays_on;
  } cases[] = {
      {kMemoryLoopBytes / kFrameBytes, true},
      {kMemoryLoopBytes / kFrameBytes + 1, false},
      {kMemoryLoopBytes, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.frames << " frames");
    TempDir dir;
    std::string path = dir.path("t.wav");
    write_fixture(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 8000, static_cast<int>(c.frames));
    LoopReader reader;
    ASSERT_TRUE(open_path(&reader, path));
    std::vector<char> buf(c.frames * kFrameBytes);
    EXPECT_EQ(loop_read(&reader, buf.data(), c.frames), c.frames);
    ASSERT_EQ(truncate(path.c_str(), 0), 0);
    if (c.plays_on) {
      for (int turn = 0; turn < 3; ++turn)
        EXPECT_EQ(loop_read(&reader, buf.data(), c.frames), c.frames);
    } else {
      EXPECT_LT(loop_read(&reader, buf.data(), c.frames), c.frames);
      EXPECT_EQ(loop_read(&reader, buf.data(), c.frames), 0u);
    }
    loop_close(&reader);
  }
}

// The chosen type is what comes out, from memory and from the file alike.
TEST(LoopRead, GivesTheChosenType)
{
  TempDir dir;
  for (size_t frames : {size_t{16}, kMemoryLoopBytes}) {
    SCOPED_TRACE(testing::Message() << frames << " frames");
    std::string path = dir.path("t" + std::to_string(frames) + ".wav");
    write_fixture(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 8000, static_cast<int>(frames));
    for (SampleType type : {SampleType::Int32, SampleType::Float, SampleType::Double}) {
      std::vector<char> reference = decode_all(path, type);
      size_t frame_bytes = sample_bytes(type) * 2;
      LoopReader reader;
      ASSERT_TRUE(open_path(&reader, path));
      loop_set_type(&reader, type);
      std::string got(reference.size() * 3, '\0');
      ASSERT_EQ(loop_read(&reader, got.data(), frames * 3), frames * 3);
      loop_close(&reader);
      EXPECT_TRUE(is_loop_of(got, reference, frame_bytes)) << static_cast<int>(type);
    }
  }
}

// An AU header whose data offset points inside the header: libsndfile
// reads from one place at the open and seeks to another for frame 0.
// The loop must still be the frames the file gives, turn after turn.
TEST(LoopRead, GoesBackToTheFramesTheFileGaveFirst)
{
  auto be32 = [](uint32_t v) {
    return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 8), static_cast<char>(v)};
  };
  const size_t frames = kMemoryLoopBytes;  // 16-bit mono: read as it plays
  std::string bytes = ".snd" + be32(1) + be32(frames * 2) + be32(3) + be32(8000) + be32(1);
  for (size_t i = 0; i < frames; ++i)
    bytes += be32(static_cast<uint32_t>(i * 2654435761u)).substr(0, 2);
  TempDir dir;
  std::string path = dir.path("odd.au");
  write_file(path, bytes);
  std::vector<char> reference = decode_all(path, SampleType::Int16);
  ASSERT_GT(reference.size(), kMemoryLoopBytes);
  LoopReader reader;
  ASSERT_TRUE(open_path(&reader, path));
  std::string got(reference.size() * 3, '\0');
  size_t count = reference.size() / 2;
  ASSERT_EQ(loop_read(&reader, got.data(), count * 3), count * 3);
  loop_close(&reader);
  EXPECT_TRUE(is_loop_of(got, reference, 2));
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

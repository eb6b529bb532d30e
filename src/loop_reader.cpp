#include "loop_reader.h"

#include <unistd.h>

#include <cstring>

size_t sample_bytes(SampleType type)
{
  switch (type) {
  case SampleType::Int16: return 2;
  case SampleType::Int32: return 4;
  case SampleType::Float: return 4;
  case SampleType::Double: return 8;
  }
  return 0;
}

namespace {

// Opens the file again at its first frame.
bool reopen(LoopReader* reader)
{
  sf_close(reader->file);
  reader->file = nullptr;
  if (lseek(reader->fd, 0, SEEK_SET) != 0)
    return false;
  SF_INFO info = {};
  reader->file = sf_open_fd(reader->fd, SFM_READ, &info, SF_FALSE);
  if (reader->file == nullptr)
    return false;
  if (info.format != reader->info.format || info.channels != reader->info.channels ||
      info.samplerate != reader->info.samplerate) {
    sf_close(reader->file);
    reader->file = nullptr;
    return false;
  }
  sf_command(reader->file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  return true;
}


// Whether sf_seek back to frame 0 gives the frames the first read gave.
// It does not for every file libsndfile opens (an AU header whose data
// offset points inside the header, for one); such a file is decoded again
// from the start at each turn, as one that cannot seek.  Leaves the file
// at frame 0.
bool seek_returns_to_start(LoopReader* reader)
{
  const sf_count_t kProbe = 16;
  const size_t channels = static_cast<size_t>(reader->info.channels);
  std::vector<double> first(kProbe * channels), again(kProbe * channels);
  sf_count_t n = sf_readf_double(reader->file, first.data(), kProbe);
  if (sf_seek(reader->file, 0, SEEK_SET) != 0)
    return false;
  if (sf_readf_double(reader->file, again.data(), kProbe) != n ||
      memcmp(first.data(), again.data(), static_cast<size_t>(n) * channels * sizeof(double)) != 0)
    return false;
  return sf_seek(reader->file, 0, SEEK_SET) == 0;
}

}  // namespace

bool loop_open(LoopReader* reader, int fd)
{
  reader->fd = fd;
  reader->info = SF_INFO{};
  reader->cache_tried = false;
  reader->cache.clear();
  reader->file = sf_open_fd(fd, SFM_READ, &reader->info, SF_FALSE);
  if (reader->file == nullptr || reader->info.channels < 1 ||
      reader->info.samplerate < 1) {
    loop_close(reader);
    return false;
  }
  // Float samples beyond full scale are clipped, not wrapped, when they
  // have to be read as integers.
  sf_command(reader->file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  reader->seeks = seek_returns_to_start(reader);
  if (!reader->seeks && !reopen(reader)) {
    loop_close(reader);
    return false;
  }
  reader->type = native_sample_type(*reader);
  return true;
}

SampleType native_sample_type(const LoopReader& reader)
{
  switch (reader.info.format & SF_FORMAT_SUBMASK) {
  case SF_FORMAT_PCM_S8:
  case SF_FORMAT_PCM_U8:
  case SF_FORMAT_PCM_16:
  case SF_FORMAT_ULAW:
  case SF_FORMAT_ALAW:
  case SF_FORMAT_IMA_ADPCM:
  case SF_FORMAT_MS_ADPCM:
  case SF_FORMAT_GSM610:
  case SF_FORMAT_VOX_ADPCM:
  case SF_FORMAT_G721_32:
  case SF_FORMAT_G723_24:
  case SF_FORMAT_G723_40:
  case SF_FORMAT_DWVW_12:
  case SF_FORMAT_DWVW_16:
  case SF_FORMAT_DPCM_8:
  case SF_FORMAT_DPCM_16:
  case SF_FORMAT_ALAC_16:
  case SF_FORMAT_NMS_ADPCM_16:
  case SF_FORMAT_NMS_ADPCM_24:
  case SF_FORMAT_NMS_ADPCM_32:
    return SampleType::Int16;
  case SF_FORMAT_FLOAT:
  case SF_FORMAT_VORBIS:
  case SF_FORMAT_OPUS:
  case SF_FORMAT_MPEG_LAYER_I:
  case SF_FORMAT_MPEG_LAYER_II:
  case SF_FORMAT_MPEG_LAYER_III:
    return SampleType::Float;
  case SF_FORMAT_DOUBLE:
    return SampleType::Double;
  default:
    return SampleType::Int32;
  }
}

void loop_set_type(LoopReader* reader, SampleType type)
{
  reader->type = type;
}

namespace {

sf_count_t read_frames(LoopReader* reader, char* buf, sf_count_t frames)
{
  switch (reader->type) {
  case SampleType::Int16:
    return sf_readf_short(reader->file, reinterpret_cast<short*>(buf), frames);
  case SampleType::Int32:
    return sf_readf_int(reader->file, reinterpret_cast<int*>(buf), frames);
  case SampleType::Float:
    return sf_readf_float(reader->file, reinterpret_cast<float*>(buf), frames);
  case SampleType::Double:
    return sf_readf_double(reader->file, reinterpret_cast<double*>(buf), frames);
  }
  return 0;
}

// Goes back to the first frame.  Files that cannot seek there (GSM 6.10
// in WAV, for one) are decoded again from the start.
bool rewind(LoopReader* reader)
{
  if (reader->seeks && sf_seek(reader->file, 0, SEEK_SET) == 0)
    return true;
  return reopen(reader);
}

// Decodes the whole file into the cache if it is short; otherwise leaves
// the reader at the first frame with the cache empty.
void try_cache(LoopReader* reader, size_t frame_bytes)
{
  reader->cache_tried = true;
  const size_t limit = kMemoryLoopBytes / frame_bytes;
  if (limit == 0)
    return;
  std::vector<char> frames((limit + 1) * frame_bytes);
  sf_count_t n = read_frames(reader, frames.data(), static_cast<sf_count_t>(limit + 1));
  if (n > 0 && static_cast<size_t>(n) <= limit) {
    frames.resize(static_cast<size_t>(n) * frame_bytes);
    reader->cache = std::move(frames);
    reader->cache_at = 0;
    return;
  }
  if (n != 0)
    rewind(reader);
}

size_t read_cache(LoopReader* reader, char* out, size_t frames, size_t frame_bytes)
{
  const size_t count = reader->cache.size() / frame_bytes;
  size_t done = 0;
  while (done < frames) {
    size_t n = count - reader->cache_at;
    if (n > frames - done)
      n = frames - done;
    memcpy(out + done * frame_bytes, reader->cache.data() + reader->cache_at * frame_bytes,
           n * frame_bytes);
    done += n;
    reader->cache_at = (reader->cache_at + n) % count;
  }
  return done;
}

}  // namespace

size_t loop_read(LoopReader* reader, void* buf, size_t frames)
{
  char* out = static_cast<char*>(buf);
  const size_t frame_bytes =
      sample_bytes(reader->type) * static_cast<size_t>(reader->info.channels);
  if (!reader->cache_tried && reader->file != nullptr)
    try_cache(reader, frame_bytes);
  if (!reader->cache.empty())
    return read_cache(reader, out, frames, frame_bytes);
  size_t done = 0;
  bool rewound = false;
  while (done < frames && reader->file != nullptr) {
    sf_count_t n = read_frames(reader, out + done * frame_bytes,
                               static_cast<sf_count_t>(frames - done));
    if (n > 0) {
      done += static_cast<size_t>(n);
      rewound = false;
      continue;
    }
    // The end: start again from the first frame, unless even that gave
    // nothing.
    if (rewound || !rewind(reader))
      break;
    rewound = true;
  }
  return done;
}

void loop_close(LoopReader* reader)
{
  if (reader->file != nullptr)
    sf_close(reader->file);
  reader->file = nullptr;
  if (reader->fd != -1)
    close(reader->fd);
  reader->fd = -1;
}

// Endless reading of a sound file: after its last frame comes its first.
#pragma once

#include <sndfile.h>

#include <cstddef>
#include <vector>

enum class SampleType { Int16, Int32, Float, Double };

size_t sample_bytes(SampleType type);

// A file that decodes to this many bytes or fewer is decoded once and
// looped from memory: going back to its start thousands of times a second
// would cost more than the file.  Longer files are read as they play.
const size_t kMemoryLoopBytes = 1024;

// Read |info| and |type| from outside; the rest belongs to the loop_*
// functions.
struct LoopReader {
  int fd = -1;
  SNDFILE* file = nullptr;  // null once the file has nothing more to give
  SF_INFO info = {};
  SampleType type = SampleType::Int16;  // what loop_read() gives
  bool seeks = true;  // going back to frame 0 with sf_seek lands there
  bool cache_tried = false;
  std::vector<char> cache;  // the whole file, when it is that short
  size_t cache_at = 0;      // next frame of |cache|
};

// Opens the sound file on |fd|, which the reader then owns (it is closed
// by loop_close, or here on failure).  Fails for a file libsndfile cannot
// decode.
bool loop_open(LoopReader* reader, int fd);

// The sample type that carries the file's samples without loss; the
// reader gives it until loop_set_type() chooses another.
SampleType native_sample_type(const LoopReader& reader);

// Chooses the sample type loop_read() gives.  Call it before the first
// loop_read().
void loop_set_type(LoopReader* reader, SampleType type);

// Fills |buf| with |frames| frames of the chosen type, going back to the
// first frame after the last.  Returns fewer only when the file gives no
// more frames even from its start (it was truncated, say); 0 then means
// that nothing more will come.
size_t loop_read(LoopReader* reader, void* buf, size_t frames);

void loop_close(LoopReader* reader);

#include "loop_check.h"

#include <cstring>


namespace {

bool is_silence(const char* frame, size_t frame_bytes)
{
  for (size_t i = 0; i < frame_bytes; ++i) {
    if (frame[i] != 0)
      return false;
  }
  return true;
}

}  // namespace

testing::AssertionResult is_loop_of(const std::string& capture,
                                    const std::vector<char>& frames,
                                    size_t frame_bytes)
{
  if (frames.empty() || frame_bytes == 0)
    return testing::AssertionFailure() << "no reference frames";
  size_t count = frames.size() / frame_bytes;
  size_t captured = capture.size() / frame_bytes;
  size_t i = first_frame_off_loop(capture, frames, frame_bytes);
  if (i < captured) {
    return testing::AssertionFailure()
           << "frame " << i << " of " << captured << " (turn " << i / count
           << ", frame " << i % count << " of " << count << ") differs";
  }
  return testing::AssertionSuccess() << captured << " frames, " << captured / count
                                     << " turns";
}

testing::AssertionResult continues_loop(const std::string& capture,
                                        const std::vector<char>& frames,
                                        size_t frame_bytes, size_t min_frames,
                                        size_t max_junctions)
{
  if (frames.empty() || frame_bytes == 0)
    return testing::AssertionFailure() << "no reference frames";
  const size_t count = frames.size() / frame_bytes;
  const size_t captured = capture.size() / frame_bytes;
  auto frame = [&](size_t i) { return capture.data() + i * frame_bytes; };
  size_t heard = 0, first = captured;
  std::vector<size_t> junctions;  // where the sound went on from elsewhere
  size_t next = count;            // the frame of the loop due next; count: none yet
  for (size_t i = 0; i < captured; ++i) {
    if (is_silence(frame(i), frame_bytes))
      continue;
    ++heard;
    if (next < count &&
        std::memcmp(frame(i), frames.data() + next * frame_bytes, frame_bytes) == 0) {
      next = (next + 1) % count;
      continue;
    }
    // Where in the loop the sound goes on.  Noise frames are unique, so
    // the first that matches is the one.
    size_t phase = count;
    for (size_t j = 0; j < count; ++j) {
      if (std::memcmp(frame(i), frames.data() + j * frame_bytes, frame_bytes) == 0) {
        phase = j;
        break;
      }
    }
    if (phase == count)
      return testing::AssertionFailure() << "frame " << i << " is no frame of the loop";
    if (first == captured)
      first = i;
    else
      junctions.push_back(i);
    if (junctions.size() > max_junctions) {
      testing::AssertionResult failure = testing::AssertionFailure();
      failure << "more than " << max_junctions << " junctions, at frames";
      for (size_t at : junctions)
        failure << " " << at;
      return failure;
    }
    next = (phase + 1) % count;
  }
  if (heard < min_frames)
    return testing::AssertionFailure() << "only " << heard << " frames of the loop heard";
  return testing::AssertionSuccess() << heard << " frames of the loop after " << first
                                     << " frames of silence, " << junctions.size()
                                     << " junctions";
}

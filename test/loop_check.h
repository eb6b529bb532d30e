// Assertions on what was played: a recording compared, frame for frame,
// with the file's frames repeated.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support.h"

// Whether |capture| is |frames|, frame for frame, repeated from the first
// frame (a trailing partial frame is ignored).
testing::AssertionResult is_loop_of(const std::string& capture,
                                    const std::vector<char>& frames,
                                    size_t frame_bytes);

// Whether |capture| plays the loop of |frames| on from some frame of it:
// every frame that is not silence (all bytes zero) is a frame of the loop,
// the one after the last heard (the last of the loop followed by the
// first), except at no more than |max_junctions| places after the first
// sound where it goes on from another frame (a reconnection, a move to
// another sink, an underrun or a server that drops a quantum under load
// make such a junction).  At least |min_frames| frames of the loop must be
// heard.
testing::AssertionResult continues_loop(const std::string& capture,
                                        const std::vector<char>& frames,
                                        size_t frame_bytes, size_t min_frames,
                                        size_t max_junctions);

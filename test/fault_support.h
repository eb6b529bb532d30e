// Test helpers for faults under a playing program: waiting for what it
// says or for its end with a deadline that only catches hangs, and
// finding the loop in a recording that starts anywhere in it.
#pragma once

#include <sys/types.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Reads from |fd| until |text| has arrived, the pipe closes or |seconds|
// have passed; returns what was read.
std::string read_until_within(int fd, const std::string& text, double seconds);

// Waits up to |seconds| for |pid| to end; its exit status, or -1 when it
// is still running (it is then killed and reaped) or did not exit
// normally.
int exit_status_within(pid_t pid, double seconds);

// Whether |capture| plays the loop of |frames| on from some frame of it:
// after any leading silence, each frame that is not silence (all bytes
// zero) is the frame after the last one heard, the last of the loop being
// followed by the first; silence may come between (an underrun) and after.
// At least |min_frames| frames of the loop must be heard.
testing::AssertionResult continues_loop(const std::string& capture,
                                        const std::vector<char>& frames,
                                        size_t frame_bytes, size_t min_frames);

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

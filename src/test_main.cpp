#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "sound_alsa.h"

int main(int argc, char** argv)
{
  // As in the program: a sink that has gone is a failed write, not a signal.
  signal(SIGPIPE, SIG_IGN);
  testing::InitGoogleTest(&argc, argv);
  int result = RUN_ALL_TESTS();
  // A stop does not wait for a slow device: ALSA's file plugin writes out
  // what it holds when stopped, at the pace of the test's sink.  Let that
  // end before the exit, whose leak check stops every thread and would cut
  // the write short (the plugin then asserts).
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (sound_thread_left() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return result;
}

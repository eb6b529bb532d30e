#include <signal.h>

#include <gtest/gtest.h>

#include "support.h"

int main(int argc, char** argv)
{
  // As in the program: a sink that has gone is a failed write, not a signal.
  signal(SIGPIPE, SIG_IGN);
  testing::InitGoogleTest(&argc, argv);
  int result = RUN_ALL_TESTS();
  // A stop does not wait for a slow device.
  sound_thread_ended(10);
  return result;
}

#include <signal.h>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
  // As in the program: a sink that has gone is a failed write, not a signal.
  signal(SIGPIPE, SIG_IGN);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

// Test helper: reads standard input and appends it to a file, at most
// LIMIT bytes of it (the rest is read and dropped), at a set byte rate (0:
// as fast as it comes).  Used as a file plugin's "|command", so that a null
// device is paced and the plugin's pipe never breaks under it.  Holds a
// lock on FILE until its input ends: a test that takes the lock knows that
// nothing more will be played into it.
//   capture_sink BYTES_PER_SECOND FILE [LIMIT]

#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
  if (argc != 3 && argc != 4) {
    fprintf(stderr, "usage: capture_sink BYTES_PER_SECOND FILE [LIMIT]\n");
    return 2;
  }
  double rate = atof(argv[1]);
  double limit = argc == 4 ? atof(argv[3]) : 1e18;
  int out = open(argv[2], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (out == -1 || rate < 0 || flock(out, LOCK_EX) == -1) {
    perror("capture_sink");
    return 2;
  }
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  double total = 0;
  char buf[4096];
  for (;;) {
    ssize_t n = read(0, buf, sizeof buf);
    if (n == -1 && errno == EINTR)
      continue;
    if (n <= 0)
      return n == 0 ? 0 : 1;
    if (total < limit) {
      size_t keep = static_cast<size_t>(limit - total < n ? limit - total : n);
      if (write(out, buf, keep) != static_cast<ssize_t>(keep))
        return 1;
    }
    total += static_cast<double>(n);
    if (rate == 0)
      continue;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    double elapsed = static_cast<double>(now.tv_sec - start.tv_sec) +
                     static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
    double ahead = total / rate - elapsed;
    if (ahead > 0) {
      timespec pause = {static_cast<time_t>(ahead),
                        static_cast<long>((ahead - static_cast<long>(ahead)) * 1e9)};
      nanosleep(&pause, nullptr);
    }
  }
}

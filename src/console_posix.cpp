// The console on POSIX systems: file descriptors 0, 1 and 2.

#include "console.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <new>

namespace {

void out_of_memory()
{
  fatal("out of memory");
}

// Puts /dev/null on |fd| if it is closed, opened so that the use the
// program makes of it still fails: a later open() must never take the
// place of a standard descriptor.
void plug_closed_descriptor(int fd, int flags)
{
  if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
    return;
  int null_fd = open("/dev/null", flags);
  if (null_fd == -1)
    _exit(217);
  if (null_fd != fd) {
    if (dup2(null_fd, fd) == -1)
      _exit(217);
    close(null_fd);
  }
}

}  // namespace

void console_init()
{
  plug_closed_descriptor(STDIN_FILENO, O_WRONLY);
  plug_closed_descriptor(STDOUT_FILENO, O_RDONLY);
  plug_closed_descriptor(STDERR_FILENO, O_RDONLY);
  // A reader that has gone makes write() fail with EPIPE instead.
  signal(SIGPIPE, SIG_IGN);
  std::set_new_handler(out_of_memory);
}

bool command_line_argument(int argc, char** argv, std::string& arg)
{
  if (argc < 2)
    return false;
  arg = argv[1];
  return true;
}

void write_text(const char* text, bool line_end)
{
  char buf[128];
  size_t len = text_line(buf, sizeof buf, text, line_end);
  if (len == 0)
    fatal("message too long");
  ssize_t n;
  do {
    n = write(STDOUT_FILENO, buf, len);
  } while (n == -1 && errno == EINTR);
  if (n == -1)
    fatal("cannot write standard output");
  if (static_cast<size_t>(n) != len) {
    errno = EIO;
    fatal("cannot write standard output");
  }
}

void wait_for_return()
{
  char buf[256];
  for (;;) {
    ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n == -1 && errno == EINTR)
      continue;
    if (n == -1)
      fatal("cannot read standard input");
    if (n == 0)
      return;
    for (ssize_t i = 0; i < n; ++i) {
      if (buf[i] == '\r' || buf[i] == '\n' || buf[i] == '\x1a') {
        // Leave the terminator and what follows it unread where the
        // input can be rewound; pipes and terminals cannot.
        lseek(STDIN_FILENO, i - n, SEEK_CUR);
        return;
      }
    }
  }
}

void fatal(const char* what)
{
  int err = errno;
  char buf[256];
  size_t len = 0;
  const char* parts[] = {"wavorbit: ", what, err != 0 ? ": " : "",
                         err != 0 ? strerror(err) : "", "\n"};
  for (const char* part : parts) {
    size_t n = strlen(part);
    if (n > sizeof buf - len)
      n = sizeof buf - len;
    memcpy(buf + len, part, n);
    len += n;
  }
  ssize_t ignored = write(STDERR_FILENO, buf, len);
  (void)ignored;
  _exit(217);
}

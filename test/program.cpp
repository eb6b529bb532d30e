#include "program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <sstream>
#include <thread>

#include "support.h"

extern char** environ;

namespace {

double seconds_since(std::chrono::steady_clock::time_point start)
{
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Sets up descriptor |fd| of the child as |stdio| says.  For a pipe,
// returns the test's end of it (|fd| 0 is written by the test, 1 read) and
// adds the child's end to |child_ends|, for the test to close after the
// spawn; for a broken pipe, closes the test's end at once.
int set_up(posix_spawn_file_actions_t* actions, int fd, const Stdio& stdio,
           std::vector<int>* child_ends)
{
  if (stdio.kind == Stdio::Path) {
    posix_spawn_file_actions_addopen(actions, fd, stdio.path.c_str(), stdio.flags, 0644);
    return -1;
  }
  if (stdio.kind == Stdio::Closed) {
    posix_spawn_file_actions_addclose(actions, fd);
    return -1;
  }
  int ends[2];
  EXPECT_EQ(pipe2(ends, O_CLOEXEC), 0);
  int child_end = fd == 0 ? ends[0] : ends[1];
  int test_end = fd == 0 ? ends[1] : ends[0];
  posix_spawn_file_actions_adddup2(actions, child_end, fd);
  child_ends->push_back(child_end);
  if (stdio.kind == Stdio::BrokenPipe) {
    // Closed now, so that the child finds it closed from its first step.
    close(test_end);
    return -1;
  }
  return test_end;
}

}  // namespace

Child spawn(const std::vector<std::string>& args, const Stdio& in, const Stdio& out)
{
  return spawn_program(WAVORBIT_BINARY, args, in, out);
}

Child spawn_program(const std::string& program, const std::vector<std::string>& args,
                    const Stdio& in, const Stdio& out)
{
  Child child;
  std::vector<int> child_ends;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  child.in = set_up(&actions, 0, in, &child_ends);
  child.out = set_up(&actions, 1, out, &child_ends);
  child.err = set_up(&actions, 2, Stdio{}, &child_ends);

  // The test ignores SIGPIPE, and an ignored signal stays ignored across
  // exec: the program must be seen to deal with it itself.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  EXPECT_EQ(posix_spawnattr_setsigdefault(&attr, &pipe_signal), 0);
  EXPECT_EQ(posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF), 0);

  std::vector<char*> argv;
  std::string argv0 = program;
  argv.push_back(argv0.data());
  std::vector<std::string> copies = args;
  for (std::string& a : copies)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  EXPECT_EQ(posix_spawnp(&child.pid, program.c_str(), &actions, &attr, argv.data(), environ),
            0);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  for (int fd : child_ends)
    close(fd);
  return child;
}

void press_return(Child& c, int status, const std::string& err)
{
  EXPECT_EQ(waitpid(c.pid, nullptr, WNOHANG), 0) << "ended before Return";
  ASSERT_EQ(write(c.in, "\n", 1), 1);
  EXPECT_EQ(wait_status(c.pid), status);
  EXPECT_EQ(drain(c.err), err);
  EXPECT_EQ(drain(c.out), "");
  close(c.in);
}

std::string drain(int fd)
{
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0)
    text.append(buf, static_cast<size_t>(n));
  close(fd);
  return text;
}

std::string read_until(int fd, const std::string& text)
{
  std::string got;
  char buf[256];
  while (got.find(text) == std::string::npos) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0)
      break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

int wait_status(pid_t pid, double* cpu)
{
  int status = 0;
  struct rusage usage = {};
  EXPECT_EQ(wait4(pid, &status, 0, &usage), pid);
  if (cpu != nullptr) {
    *cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  }
  EXPECT_TRUE(WIFEXITED(status)) << "status " << status;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}


Result run(const std::vector<std::string>& args, const std::string& input)
{
  return run_program(WAVORBIT_BINARY, args, input);
}

Result run_program(const std::string& program, const std::vector<std::string>& args,
                   const std::string& input)
{
  Child c = spawn_program(program, args, Stdio{}, Stdio{});
  std::thread feeder([&] {
    if (!input.empty() && write(c.in, input.data(), input.size()) < 0)
      ADD_FAILURE() << "cannot write to the child";
    close(c.in);
  });
  std::string err;
  std::thread err_reader([&] { err = drain(c.err); });
  std::string out = drain(c.out);
  feeder.join();
  err_reader.join();
  Result r{0, out, err, 0};
  r.status = wait_status(c.pid, &r.cpu);
  return r;
}

long status_kb(pid_t pid, const std::string& field)
{
  std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("\n" + field + ":");
  return at == std::string::npos ? -1 : std::stol(status.substr(at + field.size() + 2));
}

namespace {

// CPU seconds in a /proc stat file, or -1.
double stat_cpu_seconds(const std::string& path)
{
  std::string stat = read_file(path);
  size_t at = stat.rfind(')');  // the name may hold spaces
  if (at == std::string::npos)
    return -1;
  std::istringstream fields(stat.substr(at + 2));
  std::string field;
  unsigned long utime = 0, stime = 0;
  // After the name: state is field 3, utime 14, stime 15.
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14)
      utime = std::stoul(field);
    if (i == 15)
      stime = std::stoul(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

double cpu_seconds(pid_t pid)
{
  return stat_cpu_seconds("/proc/" + std::to_string(pid) + "/stat");
}

double main_thread_cpu_seconds(pid_t pid)
{
  std::string id = std::to_string(pid);
  return stat_cpu_seconds("/proc/" + id + "/task/" + id + "/stat");
}

std::string read_until_within(int fd, const std::string& text, double seconds)
{
  auto start = std::chrono::steady_clock::now();
  std::string got;
  char buf[256];
  while (got.find(text) == std::string::npos) {
    double left = seconds - seconds_since(start);
    if (left <= 0)
      break;
    pollfd p = {fd, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(left * 1000) + 1);
    if (ready == -1 && errno == EINTR)
      continue;
    if (ready <= 0)
      break;
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0)
      break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

int exit_status_within(pid_t pid, double seconds)
{
  auto start = std::chrono::steady_clock::now();
  int status = 0;
  for (;;) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid)
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (done == -1)
      return -1;
    if (seconds_since(start) > seconds) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

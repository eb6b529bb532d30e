#include "sound_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>

#include <gtest/gtest.h>

extern char** environ;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define WAVORBIT_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define WAVORBIT_SANITIZED 1
#endif
#endif

namespace {

// Starting a server takes well under a second; only a hang takes this.
const int kAnswerMillis = 60000;

// The client libraries of both servers, which are not built for
// ThreadSanitizer.  PipeWire's ALSA plugin reads ALSA's ring buffer from its
// own thread, through libasound, while the program writes it through
// libasound: the positions that keep them apart are updated in code the
// sanitizer cannot see.  Ignoring what libasound does (rather than only
// its reports) also spares that thread the cost of finding those races
// every cycle, which made it miss its deadlines.  The plugin also takes
// its thread loop's lock and ALSA's in either order.
const char kClientLibraries[] =
    "race:libpulse\n"
    "race:libpipewire\n"
    "race:libspa\n"
    "called_from_lib:libasound.so.2\n"
    "deadlock:libpipewire\n";

}  // namespace

SoundServer::SoundServer(const std::string& route, const std::string& dir) : dir_(dir)
{
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) {
    error_ = std::string("pipe: ") + strerror(errno);
    return;
  }
  if (pipe2(out, O_CLOEXEC) != 0) {
    error_ = std::string("pipe: ") + strerror(errno);
    close(in[0]);
    close(in[1]);
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  const char* argv[] = {"python3", SOUND_ROUTE_SCRIPT, route.c_str(), dir.c_str(), nullptr};
  int err = posix_spawnp(&pid_, "python3", &actions, nullptr, const_cast<char**>(argv),
                         environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  to_ = in[1];
  from_ = out[0];
  if (err != 0) {
    pid_ = -1;
    error_ = std::string("python3: ") + strerror(err);
    return;
  }
  for (;;) {
    std::string line = read_line();
    if (line == "ready") {
      ready_ = true;
      return;
    }
    size_t eq = line.find('=');
    if (line.empty() || line.compare(0, 6, "error ") == 0 || eq == std::string::npos) {
      error_ = line.empty() ? "the controller ended without a word" : line;
      return;
    }
    env_.emplace_back(line.substr(0, eq), line.substr(eq + 1));
  }
}

SoundServer::~SoundServer()
{
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
    if (it->second)
      setenv(it->first.c_str(), it->second->c_str(), 1);
    else
      unsetenv(it->first.c_str());
  }
  if (to_ != -1)
    close(to_);
  if (pid_ != -1) {
    // End of input: the controller stops the servers and recorders.  A
    // controller that hangs is killed; its daemons die with it.
    int status;
    pid_t got = 0;
    for (int i = 0; i < 3000 && got == 0; ++i) {
      got = waitpid(pid_, &status, WNOHANG);
      if (got == 0)
        usleep(10000);
    }
    if (got == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
  }
  if (from_ != -1)
    close(from_);
}

namespace {

void set_saving(const std::string& name, const std::string& value,
                std::vector<std::pair<std::string, std::optional<std::string>>>* saved)
{
  const char* before = getenv(name.c_str());
  saved->emplace_back(name, before ? std::optional<std::string>(before) : std::nullopt);
  setenv(name.c_str(), value.c_str(), 1);
}

}  // namespace

void SoundServer::export_env()
{
  for (const auto& [name, value] : env_)
    set_saving(name, value, &saved_);
  std::string suppressions = dir_ + "/client-libraries.supp";
  std::ofstream(suppressions) << kClientLibraries;
  const char* before = getenv("TSAN_OPTIONS");
  std::string options = before != nullptr ? before : "";
  // A second suppressions= would replace the first: keep the caller's.
  if (options.find("suppressions=") == std::string::npos)
    set_saving("TSAN_OPTIONS", options + ":suppressions=" + suppressions, &saved_);
}

std::string SoundServer::command(const std::string& line)
{
  if (to_ == -1)
    return "error no controller";
  std::string text = line + "\n";
  if (write(to_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
    return std::string("error writing to the controller: ") + strerror(errno);
  std::string answer = read_line();
  return answer.empty() ? "error no answer from the controller" : answer;
}

// One line from the controller without its end, or "" when it has ended or
// says nothing for a minute.
std::string SoundServer::read_line()
{
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerMillis);
  for (;;) {
    size_t end = pending_.find('\n');
    if (end != std::string::npos) {
      std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return line;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0)
      return "";
    pollfd p = {from_, POLLIN, 0};
    int n = poll(&p, 1, static_cast<int>(left.count()));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return "";
    char block[4096];
    ssize_t got = read(from_, block, sizeof block);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      return "";
    pending_.append(block, static_cast<size_t>(got));
  }
}

namespace {

long resident_mb(pid_t pid)
{
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "VmRSS:") == 0)
      return std::stol(line.substr(6)) / 1024;
  }
  return -1;
}

}  // namespace

MemoryCap::MemoryCap(pid_t pid, long limit_mb)
{
#ifndef WAVORBIT_SANITIZED
  // Twice the resident limit: address space counts reservations (thread
  // stacks, malloc arenas) that are never touched.
  rlim_t bytes = static_cast<rlim_t>(limit_mb) * 2 * 1024 * 1024;
  struct rlimit cap = {bytes, bytes};
  if (prlimit(pid, RLIMIT_AS, &cap, nullptr) != 0)
    ADD_FAILURE_AT(__FILE__, __LINE__);
#endif
  // Growth seen so far reaches 400 MB/s: polled every 10 ms, the child is
  // killed within a few MB of the limit.
  watch_ = std::thread([this, pid, limit_mb] {
    while (!done_) {
      long mb = resident_mb(pid);
      if (mb > limit_mb) {
        kill(pid, SIGKILL);
        tripped_ = true;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
}

MemoryCap::~MemoryCap()
{
  done_ = true;
  watch_.join();
}

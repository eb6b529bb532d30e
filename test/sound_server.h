// A private sound server for a test: test/sound_route.py runs it (PulseAudio,
// or PipeWire with WirePlumber) under a folder of the test's, records its
// null sink "cap" and takes commands on its standard input.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class SoundServer {
 public:
  // Starts route |route| ("pulse" or "pipewire") under |dir| and waits
  // until it is ready or has failed; see ready().
  SoundServer(const std::string& route, const std::string& dir);
  // Ends the controller, which stops everything it started, and takes back
  // the variables export_env() set.
  ~SoundServer();
  SoundServer(const SoundServer&) = delete;
  SoundServer& operator=(const SoundServer&) = delete;

  bool ready() const { return ready_; }
  // Why it is not ready: the controller's "error" line, or what went wrong.
  const std::string& error() const { return error_; }
  // The variables a client needs to play through the server.
  const std::vector<std::pair<std::string, std::string>>& env() const { return env_; }
  // Sets them in this process, for the programs it starts from now on,
  // until the server is destroyed; and makes a sanitized program ignore
  // the races inside the server's client libraries, which are not built
  // for ThreadSanitizer.
  void export_env();
  // The recording of "cap" since the start.
  std::string capture() const { return dir_ + "/capture.raw"; }

  // Sends one command (kill, start, freeze, thaw, add-sink NAME, default
  // NAME, remove-sink NAME, record NAME) and returns the answer: "ok",
  // "ok PATH" or "error TEXT"; "error ..." too when the controller is gone
  // or does not answer within a minute.
  std::string command(const std::string& line);

 private:
  std::string read_line();

  std::string dir_;
  pid_t pid_ = -1;
  int to_ = -1;    // the controller's standard input
  int from_ = -1;  // its standard output
  std::string pending_;
  bool ready_ = false;
  std::string error_;
  std::vector<std::pair<std::string, std::string>> env_;
  // What export_env() changed, with the value before (none: unset).
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// Keeps a child from eating the machine's memory while it lives: a sound
// client whose server is killed under it may allocate without end.  In a
// plain build the kernel caps the child's address space; in a sanitized
// build the sanitizer's shadow memory needs terabytes of address space, so
// there a thread watches the child's resident memory instead and kills it
// beyond the limit.
class MemoryCap {
 public:
  MemoryCap(pid_t pid, long limit_mb);
  ~MemoryCap();
  MemoryCap(const MemoryCap&) = delete;
  MemoryCap& operator=(const MemoryCap&) = delete;

  // Whether the child went beyond the limit and was killed for it.
  bool tripped() const { return tripped_; }

 private:
  std::atomic<bool> done_{false};
  std::atomic<bool> tripped_{false};
  std::thread watch_;
};

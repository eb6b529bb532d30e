// Test helper: runs the built program with any kind of standard input and
// output, and looks at it from outside while it runs.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "version.h"

// What the program writes on standard output, byte for byte, on each path.
const std::string kBannerLine = "wavorbit " WAVORBIT_VERSION "\r\n";
const std::string kNoFileOutput = kBannerLine + "***ERROR : please specify playback file name";
const std::string kHelpOutput =
    kBannerLine + "wavorbit - waveaudio loop playback\r\n  usage : wavorbit foo.wav";
const std::string kPlayErrorOutput = kBannerLine + "***ERROR : file open or playback error";
const std::string kPrompt = "hit return key to stop...";

// How a standard descriptor of the child is set up: a pipe the test reads
// or writes, a file by name, closed, or a pipe whose other end is closed
// before the child starts (output to it fails, input from it ends at once).
struct Stdio {
  enum Kind { Pipe, Path, Closed, BrokenPipe } kind = Pipe;
  std::string path;
  int flags = 0;
};

inline Stdio from_path(const std::string& path, int flags) { return {Stdio::Path, path, flags}; }
inline Stdio closed() { return {Stdio::Closed, "", 0}; }
inline Stdio broken_pipe() { return {Stdio::BrokenPipe, "", 0}; }

struct Child {
  pid_t pid = -1;
  int in = -1;   // the child's standard input, when it is a pipe
  int out = -1;  // its standard output, when it is a pipe
  int err = -1;  // its standard error
};

// Starts the program with |args|, and with SIGPIPE at its default action,
// as a shell starts it, whatever this process does with the signal.
Child spawn(const std::vector<std::string>& args, const Stdio& in, const Stdio& out);

// The same for another |program|, looked up in PATH.
Child spawn_program(const std::string& program, const std::vector<std::string>& args,
                    const Stdio& in, const Stdio& out);

// Presses Return in a program that waits at its prompt, and waits for
// its end: it must have been running still, end with |status|, write
// |err| on standard error from now on and nothing more on standard
// output.  Closes the child's pipes.
void press_return(Child& c, int status = 0, const std::string& err = "");

// Everything |fd| gives until it closes; closes it.
std::string drain(int fd);

// Reads from |fd| until |text| has arrived or the pipe closes.
std::string read_until(int fd, const std::string& text);

// The exit status of |pid|, after waiting for it; -1 (and a test failure)
// when it did not exit normally.  |cpu|, when given, gets the CPU seconds
// (user and system) it used in all.
int wait_status(pid_t pid, double* cpu = nullptr);

struct Result {
  int status;
  std::string out;
  std::string err;
  double cpu;  // seconds the program used, whatever the machine's load
};

// Runs the program with standard input from |input| (written, then closed)
// and standard output a pipe.
Result run(const std::vector<std::string>& args, const std::string& input = "");
Result run_program(const std::string& program, const std::vector<std::string>& args,
                   const std::string& input = "");

// A figure of /proc/PID/status in kB (VmHWM, VmRSS, ...), or -1.
long status_kb(pid_t pid, const std::string& field);

inline long peak_resident_kb(pid_t pid) { return status_kb(pid, "VmHWM"); }

// CPU seconds (user and system) |pid| has used so far, or -1.
double cpu_seconds(pid_t pid);

// CPU seconds its main thread has used so far, or -1.
double main_thread_cpu_seconds(pid_t pid);

// Reads from |fd| until |text| has arrived, the pipe closes or |seconds|
// have passed; returns what was read.
std::string read_until_within(int fd, const std::string& text, double seconds);

// Waits up to |seconds| for |pid| to end; its exit status, or -1 when it
// is still running (it is then killed and reaped) or did not exit
// normally.
int exit_status_within(pid_t pid, double seconds);

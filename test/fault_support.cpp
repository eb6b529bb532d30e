#include "fault_support.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace {

double seconds_since(std::chrono::steady_clock::time_point start)
{
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool is_silence(const char* frame, size_t frame_bytes)
{
  for (size_t i = 0; i < frame_bytes; ++i) {
    if (frame[i] != 0)
      return false;
  }
  return true;
}

}  // namespace

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

testing::AssertionResult continues_loop(const std::string& capture,
                                        const std::vector<char>& frames,
                                        size_t frame_bytes, size_t min_frames,
                                        size_t max_junctions)
{
  if (frames.empty() || frame_bytes == 0)
    return testing::AssertionFailure() << "no reference frames";
  const size_t count = frames.size() / frame_bytes;
  const size_t captured = capture.size() / frame_bytes;
  auto frame = [&](size_t i) { return capture.data() + i * frame_bytes; };
  size_t heard = 0, first = captured;
  std::vector<size_t> junctions;  // where the sound went on from elsewhere
  size_t next = count;            // the frame of the loop due next; count: none yet
  for (size_t i = 0; i < captured; ++i) {
    if (is_silence(frame(i), frame_bytes))
      continue;
    ++heard;
    if (next < count &&
        std::memcmp(frame(i), frames.data() + next * frame_bytes, frame_bytes) == 0) {
      next = (next + 1) % count;
      continue;
    }
    // Where in the loop the sound goes on.  Noise frames are unique, so
    // the first that matches is the one.
    size_t phase = count;
    for (size_t j = 0; j < count; ++j) {
      if (std::memcmp(frame(i), frames.data() + j * frame_bytes, frame_bytes) == 0) {
        phase = j;
        break;
      }
    }
    if (phase == count)
      return testing::AssertionFailure() << "frame " << i << " is no frame of the loop";
    if (first == captured)
      first = i;
    else
      junctions.push_back(i);
    if (junctions.size() > max_junctions) {
      testing::AssertionResult failure = testing::AssertionFailure();
      failure << "more than " << max_junctions << " junctions, at frames";
      for (size_t at : junctions)
        failure << " " << at;
      return failure;
    }
    next = (phase + 1) % count;
  }
  if (heard < min_frames)
    return testing::AssertionFailure() << "only " << heard << " frames of the loop heard";
  return testing::AssertionSuccess() << heard << " frames of the loop after " << first
                                     << " frames of silence, " << junctions.size()
                                     << " junctions";
}

#include "support.h"

#include <fcntl.h>
#include <sndfile.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "sound_alsa.h"

namespace {

// What a test stands on could not be made: no test can go on.
[[noreturn]] void cannot(const std::string& what, const char* why)
{
  fprintf(stderr, "cannot %s: %s\n", what.c_str(), why);
  abort();
}

}  // namespace

TempDir::TempDir()
{
  std::string tmpl = std::filesystem::temp_directory_path().string() +
                     "/wavorbit-test-XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr)
    cannot("make " + tmpl, strerror(errno));
  dir_ = tmpl;
}

TempDir::~TempDir()
{
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

void write_fixture(const std::string& path, int format, int channels, int rate,
                   int frames)
{
  SF_INFO info = {};
  info.format = format;
  info.channels = channels;
  info.samplerate = rate;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  if (f == nullptr)
    cannot("write " + path, sf_strerror(nullptr));
  std::vector<double> samples(static_cast<size_t>(frames) * channels);
  unsigned state = 12345;
  for (double& s : samples) {
    state = state * 1103515245u + 12345u;
    s = static_cast<double>(static_cast<int>(state >> 8) - (1 << 23)) / (1 << 23) * 0.9;
  }
  if (sf_writef_double(f, samples.data(), frames) != frames)
    cannot("write " + path, sf_strerror(f));
  sf_close(f);
}

std::vector<char> decode_all(const std::string& path, SampleType type)
{
  SF_INFO info = {};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (f == nullptr)
    return {};
  size_t frame_bytes = sample_bytes(type) * static_cast<size_t>(info.channels);
  std::vector<char> out(static_cast<size_t>(info.frames) * frame_bytes);
  sf_command(f, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  sf_count_t n = 0;
  switch (type) {
  case SampleType::Int16: n = sf_readf_short(f, reinterpret_cast<short*>(out.data()), info.frames); break;
  case SampleType::Int32: n = sf_readf_int(f, reinterpret_cast<int*>(out.data()), info.frames); break;
  case SampleType::Float: n = sf_readf_float(f, reinterpret_cast<float*>(out.data()), info.frames); break;
  case SampleType::Double: n = sf_readf_double(f, reinterpret_cast<double*>(out.data()), info.frames); break;
  }
  sf_close(f);
  out.resize(static_cast<size_t>(n) * frame_bytes);
  return out;
}

size_t first_frame_off_loop(const std::string& capture, const std::vector<char>& frames,
                            size_t frame_bytes)
{
  size_t captured = capture.size() / frame_bytes;
  if (frames.size() < frame_bytes)
    return 0;
  size_t count = frames.size() / frame_bytes;
  for (size_t i = 0; i < captured; ++i) {
    const char* want = frames.data() + (i % count) * frame_bytes;
    if (std::memcmp(capture.data() + i * frame_bytes, want, frame_bytes) != 0)
      return i;
  }
  return captured;
}

std::string read_file(const std::string& path)
{
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void write_file(const std::string& path, const std::string& bytes)
{
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

bool wait_for_size(const std::string& path, size_t bytes, double seconds)
{
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::duration<double>(seconds);
  for (;;) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && static_cast<size_t>(st.st_size) >= bytes)
      return true;
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void route_sound_to(const TempDir&, const std::string& sink)
{
  setenv("ALSA_CONFIG_PATH", ALSA_FILE_ROUTE, 1);
  setenv("WAVORBIT_TEST_SINK", sink.c_str(), 1);
}

void route_sound_nowhere(const TempDir& dir)
{
  std::string conf = dir.path("empty.conf");
  write_file(conf, "");
  setenv("ALSA_CONFIG_PATH", conf.c_str(), 1);
  unsetenv("WAVORBIT_TEST_SINK");
}

std::string capture_to(const std::string& path, size_t limit, long bytes_per_second)
{
  return "|" CAPTURE_SINK " " + std::to_string(bytes_per_second) + " '" + path + "' " +
         std::to_string(limit);
}

bool sink_finished(const std::string& path, double seconds)
{
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd == -1)
    return false;
  // A sink holds the lock until its input ends.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  bool finished;
  while (!(finished = flock(fd, LOCK_EX | LOCK_NB) == 0) &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  close(fd);
  return finished;
}

bool sound_thread_ended(double seconds)
{
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (sound_thread_left()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

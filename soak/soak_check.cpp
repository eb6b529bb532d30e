// Soak helper.
//   soak_check make FILE             writes a 10 ms 16-bit stereo WAV of noise
//   soak_check check FILE STATUS     reads raw 16-bit stereo from standard
//                                    input until it ends and checks that it
//                                    is FILE's frames over and over from the
//                                    first, byte for byte; every 256 MiB and
//                                    at the end it rewrites STATUS with
//                                    "BYTES MISMATCHED_AT" (-1: none).
// Used as the "|command" of ALSA's file plugin: it never stops reading
// early and never keeps what it has checked.

#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const int kRate = 44100;
const int kChannels = 2;
const int kFrames = 441;  // 10 ms

int make(const char* path)
{
  SF_INFO info = {};
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  info.channels = kChannels;
  info.samplerate = kRate;
  SNDFILE* f = sf_open(path, SFM_WRITE, &info);
  if (f == nullptr) {
    fprintf(stderr, "soak_check: %s: %s\n", path, sf_strerror(nullptr));
    return 2;
  }
  std::vector<short> samples(kFrames * kChannels);
  unsigned state = 0x9e3779b9u;
  for (short& s : samples) {
    state = state * 1664525u + 1013904223u;
    s = static_cast<short>(state >> 16);
  }
  bool ok = sf_writef_short(f, samples.data(), kFrames) == kFrames;
  sf_close(f);
  return ok ? 0 : 2;
}

void report(const char* path, unsigned long long bytes, long long mismatch)
{
  std::string text = std::to_string(bytes) + " " + std::to_string(mismatch) + "\n";
  std::string tmp = std::string(path) + ".tmp";
  FILE* f = fopen(tmp.c_str(), "w");
  if (f == nullptr)
    return;
  fputs(text.c_str(), f);
  fclose(f);
  rename(tmp.c_str(), path);
}

int check(const char* wav, const char* status)
{
  SF_INFO info = {};
  SNDFILE* f = sf_open(wav, SFM_READ, &info);
  if (f == nullptr || info.channels != kChannels || info.frames <= 0) {
    fprintf(stderr, "soak_check: %s: cannot use it\n", wav);
    return 2;
  }
  std::vector<short> frames(static_cast<size_t>(info.frames) * kChannels);
  sf_count_t n = sf_readf_short(f, frames.data(), info.frames);
  sf_close(f);
  if (n != info.frames)
    return 2;
  const size_t period = frames.size() * sizeof(short);
  const size_t kRead = 1 << 20;
  // The reference repeated so that any window of kRead bytes starting
  // within its first period lies inside it.
  std::vector<char> ref;
  while (ref.size() < period + kRead)
    ref.insert(ref.end(), reinterpret_cast<char*>(frames.data()),
               reinterpret_cast<char*>(frames.data()) + period);

  std::vector<char> buf(kRead);
  unsigned long long total = 0, next_report = 0;
  long long mismatch = -1;
  for (;;) {
    ssize_t got = read(0, buf.data(), buf.size());
    if (got == -1 && errno == EINTR)
      continue;
    if (got <= 0)
      break;
    if (mismatch < 0) {
      const char* want = ref.data() + total % period;
      if (memcmp(buf.data(), want, static_cast<size_t>(got)) != 0) {
        for (ssize_t i = 0; i < got; ++i) {
          if (buf[i] != want[i]) {
            mismatch = static_cast<long long>(total) + i;
            break;
          }
        }
      }
    }
    total += static_cast<unsigned long long>(got);
    if (total >= next_report) {
      report(status, total, mismatch);
      next_report = total + (256ull << 20);
    }
  }
  report(status, total, mismatch);
  return 0;
}

}  // namespace

int main(int argc, char** argv)
{
  if (argc == 3 && strcmp(argv[1], "make") == 0)
    return make(argv[2]);
  if (argc == 4 && strcmp(argv[1], "check") == 0)
    return check(argv[2], argv[3]);
  fprintf(stderr, "usage: soak_check make FILE | soak_check check FILE STATUS\n");
  return 2;
}

// Fixtures, files and sound routes for the tests, the fuzz targets and
// the soak check; needs no test framework.
#pragma once

#include <string>
#include <vector>

#include "loop_reader.h"

// A directory of its own for one test, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

 private:
  std::string dir_;
};

// A fixture of this many frames is longer than the memory loop takes in
// any sample type: the player reads it from the file as it plays.
const int kStreamedFrames = static_cast<int>(kMemoryLoopBytes) + 213;

// Writes a sound file of |frames| frames of noise in libsndfile |format|;
// aborts the test program when it cannot.
void write_fixture(const std::string& path, int format, int channels, int rate,
                   int frames);

// Every frame of |path| as libsndfile decodes it into |type|.
std::vector<char> decode_all(const std::string& path, SampleType type);

// The first frame of |capture| that is not |frames| repeated from the
// first (a trailing partial frame is ignored), or the number of whole
// frames in |capture| when there is none.
size_t first_frame_off_loop(const std::string& capture, const std::vector<char>& frames,
                            size_t frame_bytes);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);

// Waits up to |seconds| for |path| to hold at least |bytes| bytes.
bool wait_for_size(const std::string& path, size_t bytes, double seconds);

// Routes ALSA's default PCM, for this process and the programs it starts,
// to a file plugin over a null device that writes what is played to the
// shell command |sink| (see capture_to()).  The null device
// takes audio as fast as it comes; |sink| sets the pace.  The
// configuration is test/alsa-file-route.conf.
void route_sound_to(const TempDir& dir, const std::string& sink);

// Makes ALSA's configuration empty: there is no default device.
void route_sound_nowhere(const TempDir& dir);

// A sink command that appends the first |limit| bytes it reads to |path|
// and takes them at |bytes_per_second| (0: as fast as they come).
std::string capture_to(const std::string& path, size_t limit, long bytes_per_second = 0);

// Waits up to |seconds| for every sink that captured into |path| to
// finish: nothing that was played is still on its way to the file, and
// nothing more can come.  Returns whether they did.
bool sink_finished(const std::string& path, double seconds = 10);

// Waits up to |seconds| for a sound thread that a stop left behind to
// end (ALSA's file plugin writes out what it holds when stopped, at the
// pace of the test's sink); returns whether none is left.  A process must
// not end beside such a thread: the leak check at its exit stops every
// thread, which cuts the plugin's write short, and the plugin asserts.
bool sound_thread_ended(double seconds);

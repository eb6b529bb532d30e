// wavorbit: plays one waveform file in an endless loop until Return.

#include "cmdline.h"
#include "console.h"
#include "playback.h"
#include "version.h"

namespace {

const char kBanner[] = "wavorbit " WAVORBIT_VERSION;
const char kNoFile[] = "***ERROR : please specify playback file name";
const char kAbout[] = "wavorbit - waveaudio loop playback";
const char kUsage[] = "  usage : wavorbit foo.wav";
const char kPlayError[] = "***ERROR : file open or playback error";
const char kPrompt[] = "hit return key to stop...";

}  // namespace

int main(int argc, char** argv)
{
  console_init();

  if (!command_line_argument(argc, argv, S)) {
    write_text(kBanner, true);
    write_text(kNoFile, false);
    return 1;
  }

  if (is_help_request(S)) {
    write_text(kBanner, true);
    write_text(kAbout, true);
    write_text(kUsage, false);
    return 0;
  }

  if (!start_playback()) {
    write_text(kBanner, true);
    write_text(kPlayError, false);
    return 1;
  }

  write_text(kPrompt, false);
  wait_for_return();
  // The sound was lost and did not come back: the playback failed.
  end_program(stop_playback() ? 0 : 1);
}

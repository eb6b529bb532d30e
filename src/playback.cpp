#include "playback.h"

#include <cstdlib>
#include <cstring>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "console.h"

#ifdef _WIN32
// winnt.h names a pointer type PSTR; here PSTR is the program's name block.
#define PSTR WINNT_PSTR
#include <windows.h>
#include <mmsystem.h>
#undef PSTR
#else
#include "sound_alsa.h"
#endif

std::string S;
char* PSTR = nullptr;
bool B = false;

void complete_name(std::string& name)
{
  if (name.find('.') == std::string::npos)
    name += ".wav";
}

size_t name_block_size(size_t length)
{
  const size_t kMinimum = 1024;
  return length < kMinimum ? kMinimum : length + 1;
}

bool start_playback()
{
  complete_name(S);
  PSTR = static_cast<char*>(std::malloc(name_block_size(S.size())));
  if (PSTR == nullptr)
    fatal("out of memory");
  std::memcpy(PSTR, S.data(), S.size());
  PSTR[S.size()] = '\0';
  B = sndPlaySoundA(PSTR, SND_ASYNC | SND_NODEFAULT | SND_LOOP) != 0;
  return B;
}

bool stop_playback()
{
  return sndPlaySoundA(nullptr, SND_ASYNC | SND_NODEFAULT) != 0;
}

void end_program(int status)
{
#ifndef _WIN32
  if (sound_thread_left())
    _exit(status);
#endif
  std::exit(status);
}

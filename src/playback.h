// Looped playback of a waveform file.
#pragma once

#include <cstddef>
#include <string>

extern std::string S;  // the name as given; completed by start_playback()
extern char* PSTR;     // the completed name, as handed to the sound call
extern bool B;         // whether the sound call reported success

// Appends ".wav" to |name| when it holds no full stop anywhere.
void complete_name(std::string& name);

// Size of the block that carries a name of |length| bytes and its NUL.
size_t name_block_size(size_t length);

// Completes S, copies it into the name block and starts endless
// asynchronous playback.  Returns whether playback began.
bool start_playback();

// Stops what start_playback() began.  Returns false when the sound call
// reports a failure: on Linux, the sound output was lost at the stop and
// had not come back.
bool stop_playback();

// Ends the process with |status|.  When the stop could not wait for the
// sound to let go (a frozen sound server holds it), at once, without exit
// handlers or destructors that could meet the sound's thread.
[[noreturn]] void end_program(int status);

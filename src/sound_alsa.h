// The Windows sound call, provided on Linux by libsndfile and ALSA.
//
// sndPlaySoundA(name, SND_ASYNC | SND_NODEFAULT | SND_LOOP) plays the file
// in an endless loop through ALSA's "default" PCM on a thread of its own
// and returns non-zero once the first audio is with the device; it
// returns 0, and nothing plays, when the file cannot be decoded or the
// device refuses it, and then says why in one line on standard error.
//
// A device that fails for good while playing (its sound server killed,
// say) is closed and opened again, about once a second, and the loop goes
// on from where the sound stopped; the loss and the return are each told
// in one line on standard error.
//
// sndPlaySoundA(nullptr, ...) stops what plays, waiting for the device at
// most a few milliseconds: a thread held inside alsa-lib by a frozen
// server is left there.  It returns 0 when the device was lost at the
// stop and had not come back, 1 otherwise.
// Calls without SND_ASYNC and SND_LOOP are not supported and return 0.
// The calls are made from one thread.
#pragma once

enum : unsigned {
  SND_ASYNC = 0x0001,
  SND_NODEFAULT = 0x0002,
  SND_LOOP = 0x0008,
};

int sndPlaySoundA(const char* name, unsigned flags);

// Whether a stop has left a thread inside alsa-lib that is still there.
// Exit handlers and destructors must not run beside it: they may meet it
// (LeakSanitizer's stop of every thread, for one, cuts short a write of
// ALSA's file plugin, whose assertion then aborts the process).
bool sound_thread_left();

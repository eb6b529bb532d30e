#!/usr/bin/env python3
"""Fixture and checks for a looped sound recorded as raw s16le stereo 44100 Hz.

  loop-capture.py fixture WAV FRAMES      writes a noise WAV of FRAMES frames
  loop-capture.py wait CAP WAV TURNS SECS waits until CAP holds TURNS turns
  loop-capture.py check CAP WAV TAIL_SECS checks CAP sample for sample

The fixture is noise with no silent frame, so every silent frame in a
capture is a moment when nothing played.  A capture passes when its sound,
with the silent stretches taken out, is the file's frames looped from frame
0 with nothing lost, changed or added; when it holds at least two full
turns; when at least one turn joins the next with no silence between; and
when its last TAIL_SECS seconds are silent.
"""
import struct
import sys
import time

RATE = 44100
FRAME = 4
SILENT = b"\0" * FRAME


def write_fixture(path, frames):
    seed = 12345
    data = bytearray()
    for _ in range(frames * 2):
        seed = (seed * 1103515245 + 12345) & 0x7FFFFFFF
        value = (seed >> 8) % 16001 - 8000
        data += struct.pack("<h", value or 1)
    fmt = struct.pack("<IHHIIHH", 16, 1, 2, RATE, RATE * FRAME, FRAME, 16)
    header = (b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVEfmt " + fmt
              + b"data" + struct.pack("<I", len(data)))
    with open(path, "wb") as f:
        f.write(header + data)


def wave_frames(path):
    with open(path, "rb") as f:
        blob = f.read()
    pos = 12
    while pos + 8 <= len(blob):
        tag, size = blob[pos:pos + 4], struct.unpack("<I", blob[pos + 4:pos + 8])[0]
        if tag == b"data":
            data = blob[pos + 8:pos + 8 + size]
            return [data[i:i + FRAME] for i in range(0, len(data), FRAME)]
        pos += 8 + size + (size & 1)
    sys.exit("no data chunk in " + path)


def capture_frames(path):
    with open(path, "rb") as f:
        data = f.read()
    usable = len(data) - len(data) % FRAME
    return [data[i:i + FRAME] for i in range(0, usable, FRAME)]


def follow(capture, pattern):
    """Walks the capture; returns (frames of sound that followed the loop
    from frame 0, first frame that did not or None, whether some turn ran
    into the next without silence)."""
    expected = 0
    heard = 0
    run = 0          # frames of sound since the last silent frame
    seamless = False
    for index, frame in enumerate(capture):
        if frame == SILENT:
            run = 0
            continue
        if frame != pattern[expected]:
            return heard, index, seamless
        heard += 1
        run += 1
        expected += 1
        if expected == len(pattern):
            expected = 0
        elif expected == 1 and run > 1:
            seamless = True
    return heard, None, seamless


def wait(cap, wav, turns, seconds):
    pattern = wave_frames(wav)
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        heard, _, _ = follow(capture_frames(cap), pattern)
        if heard >= turns * len(pattern):
            return 0
        time.sleep(0.1)
    print("waited %g s for %d turns, heard %d frames" % (seconds, turns, heard))
    return 1


def check(cap, wav, tail_seconds):
    pattern = wave_frames(wav)
    capture = capture_frames(cap)
    heard, bad, seamless = follow(capture, pattern)
    tail = int(tail_seconds * RATE)
    problems = []
    if bad is not None:
        problems.append("frame %d is not frame %d of the loop"
                        % (bad, heard % len(pattern)))
    if heard < 2 * len(pattern):
        problems.append("only %d frames of sound, a turn is %d"
                        % (heard, len(pattern)))
    if not seamless:
        problems.append("no turn ran into the next without a gap")
    if len(capture) < tail or any(f != SILENT for f in capture[-tail:]):
        problems.append("the last %g s of the capture are not silent" % tail_seconds)
    print("%d frames captured, %d of them the loop (%.2f turns)%s"
          % (len(capture), heard, heard / len(pattern),
             "; " + "; ".join(problems) if problems else ""))
    return 1 if problems else 0


def main(argv):
    if len(argv) == 4 and argv[1] == "fixture":
        write_fixture(argv[2], int(argv[3]))
        return 0
    if len(argv) == 6 and argv[1] == "wait":
        return wait(argv[2], argv[3], int(argv[4]), float(argv[5]))
    if len(argv) == 5 and argv[1] == "check":
        return check(argv[2], argv[3], float(argv[4]))
    sys.exit(__doc__)


if __name__ == "__main__":
    sys.exit(main(sys.argv))

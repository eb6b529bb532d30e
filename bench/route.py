"""A timestamped recording of the sound route's sink, and the checks of
what reached it.  The routes themselves (a private PulseAudio or PipeWire
server, and how ALSA's "default" reaches it) are the tests' own, in
test/sound_route.py."""
import bisect
import os
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                '..', 'test'))
from sound_route import ROUTES, SINK, open_route  # noqa: E402,F401
from wavfile import FRAME_BYTES  # noqa: E402


class Capture:
    """Records the route's sink; each read is stamped with its arrival
    time."""

    def __init__(self, server):
        self.proc = server.record(SINK, subprocess.PIPE)
        self.data = bytearray()
        self.stamps = []  # (arrival ns, bytes received so far)
        self.first = threading.Event()
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()
        if not self.first.wait(5):
            raise RuntimeError('the recorder gives no data')

    def _read(self):
        fd = self.proc.stdout.fileno()
        while True:
            block = os.read(fd, 65536)
            now = time.monotonic_ns()
            if not block:
                return
            self.data += block
            self.stamps.append((now, len(self.data)))
            self.first.set()

    def close(self):
        self.proc.terminate()
        self.proc.wait()
        self.thread.join()
        del self.data[len(self.data) - len(self.data) % FRAME_BYTES:]

    def arrival_ns(self, frame):
        """When the read that carries |frame| came from the sink's monitor.
        The sink mixes in blocks (10 ms on PulseAudio here, the graph's
        quantum on PipeWire) and hands each block to the monitor at once,
        so this is when the frame reached the sink, plus the delivery to
        the recorder."""
        ends = [n // FRAME_BYTES for _, n in self.stamps]
        return self.stamps[bisect.bisect_right(ends, frame)][0]


def sounding_frames(data):
    """Indexes of the first and last frame that is not silent, or None."""
    body = data.lstrip(b'\0')
    if not body:
        return None
    first = (len(data) - len(body)) // FRAME_BYTES
    last = (len(data.rstrip(b'\0')) - 1) // FRAME_BYTES
    return first, last


def check_seams(sound, loop):
    """Compares |sound| with |loop| repeated from its first frame.
    Returns (seams crossed, seams passed exactly, first differing frame
    or None)."""
    period = len(loop)
    seams = (len(sound) - 1) // period
    for start in range(0, len(sound), period):
        part = sound[start:start + period]
        if part != loop[:len(part)]:
            bad = start + next(i for i in range(len(part)) if part[i] != loop[i])
            # The seams before the frame that differs were exact.
            return seams, max(0, (bad - 1) // period), bad // FRAME_BYTES
    return seams, seams, None

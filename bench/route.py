"""A timestamped recording of the sound route's sink, and the checks of
what reached it.  The routes themselves (a private PulseAudio or PipeWire
server, and how ALSA's "default" reaches it) are the tests' own, in
test/sound_route.py."""
import bisect
import fcntl
import os
import pty
import re
import select
import struct
import subprocess
import sys
import termios
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


# Moves to another row of the terminal; any other control sequence.
_NEW_ROW = re.compile(r'\x1b\[[0-9;]*[Hd]')
_ESCAPE = re.compile(r'\x1b(\[[0-9;?]*[A-Za-z]|\([AB0]|[=>])')


def graph_state(server, seconds=1.5):
    """What pw-top shows of a PipeWire graph over |seconds|: the quantum
    the sink drives the graph with, and for the player's stream (the
    node that is neither the sink nor a recorder) the quantum it asks
    for and its xruns.  pw-top only draws on a terminal."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack('HHHH', 50, 200, 0, 0))
    proc = subprocess.Popen(['pw-top'], env=dict(server.env, TERM='xterm'),
                            stdin=slave, stdout=slave, stderr=slave)
    os.close(slave)
    screen = b''
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        ready, _, _ = select.select([master], [], [], 0.1)
        if ready:
            try:
                screen += os.read(master, 65536)
            except OSError:
                break
    proc.terminate()
    proc.wait()
    os.close(master)
    # The last whole screen in which the sink has figures.
    for frame in reversed(screen.decode(errors='replace').split('\x1b[2J')[1:-1]):
        state = {}
        rows = _ESCAPE.sub(' ', _NEW_ROW.sub('\n', frame)).replace('\r', '\n')
        for row in rows.split('\n'):
            f = row.split()
            if len(f) < 10 or not f[1].isdigit() or not f[2].isdigit() or '---' in f:
                continue
            if f[-1] == SINK:
                state['quantum'] = int(f[2])
            elif not f[-1].startswith('rec-'):
                state['stream_quantum'] = int(f[2])
                state['xruns'] = int(f[8])
        if state.get('quantum'):
            return state
    return {}

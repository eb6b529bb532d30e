"""The sound route: a private headless PulseAudio daemon with a null sink
"cap", which ALSA's "default" reaches through PULSE_SERVER, and a
timestamped recording of that sink's monitor."""
import bisect
import os
import subprocess
import threading
import time

from wavfile import FRAME_BYTES


class Daemon:
    def __init__(self, root):
        self.root = root
        self.env = dict(os.environ)
        for name in ('home', 'runtime', 'state'):
            os.makedirs(os.path.join(root, name), exist_ok=True)
        runtime = os.path.join(root, 'runtime')
        self.env.update(HOME=os.path.join(root, 'home'),
                        PULSE_RUNTIME_PATH=runtime,
                        PULSE_STATE_PATH=os.path.join(root, 'state'),
                        PULSE_SERVER='unix:' + os.path.join(runtime, 'native'))
        self.env.pop('DISPLAY', None)
        self.env.pop('WAYLAND_DISPLAY', None)
        self.log = open(os.path.join(root, 'pulseaudio.log'), 'wb')
        self.proc = subprocess.Popen(
            ['pulseaudio', '-n', '--daemonize=no', '--exit-idle-time=-1',
             '--disallow-exit', '--realtime=no', '--high-priority=no',
             '-L', 'module-native-protocol-unix auth-anonymous=1',
             '-L', 'module-null-sink sink_name=cap norewinds=1 format=s16le '
                   'rate=44100 channels=2'],
            env=self.env, stdin=subprocess.DEVNULL, stdout=self.log,
            stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 10
        while subprocess.call(['pactl', 'info'], env=self.env,
                              stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL) != 0:
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError('pulseaudio did not start; see ' +
                                   os.path.join(root, 'pulseaudio.log'))
            time.sleep(0.02)

    def close(self):
        self.proc.terminate()
        self.proc.wait()
        self.log.close()


class Capture:
    """Records cap.monitor; each read is stamped with its arrival time."""

    def __init__(self, env):
        self.proc = subprocess.Popen(
            ['parec', '--raw', '-d', 'cap.monitor', '--format=s16le',
             '--rate=44100', '--channels=2', '--latency-msec=10'],
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        self.data = bytearray()
        self.stamps = []  # (arrival ns, bytes received so far)
        self.first = threading.Event()
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()
        if not self.first.wait(5):
            raise RuntimeError('parec gives no data')

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
        The sink mixes in blocks (10 ms here) and hands each block to the
        monitor at once, so this is when the frame reached the sink, plus
        the delivery to parec (under 1 ms in steady state)."""
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

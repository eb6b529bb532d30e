"""The players, how each is started and stopped, and what one run of one
of them measures: CPU time of all its threads, peak resident memory, the
prompt (wavorbit), and the moments of the stop and of the exit."""
import fcntl
import os
import pty
import select
import signal
import subprocess
import termios
import threading
import time


def _controlling_tty():
    # mpv reads its keys only from its controlling terminal.
    os.setsid()
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


class Player:
    def __init__(self, name, argv, env=None, stop='sigint', tty=False,
                 prompt=None, reference=False):
        self.name = name
        self.argv = argv      # with {file} for the sound file
        self.env = env or {}
        self.stop = stop      # 'sigint', or the bytes to type
        self.tty = tty
        self.prompt = prompt  # bytes it writes once playing, or None
        # A reference plays a long file once instead of looping a short
        # one: what ALSA, PulseAudio and libsndfile cost by themselves.
        self.reference = reference

    def command(self, path):
        return [a.replace('{file}', path) for a in self.argv]

    def describe(self):
        env = ''.join('%s=%s ' % kv for kv in sorted(self.env.items()))
        argv = [os.path.basename(self.argv[0])] + self.argv[1:]
        cmd = ' '.join(a.replace('{file}', 'FILE') for a in argv)
        stop = 'SIGINT' if self.stop == 'sigint' else repr(self.stop.decode())
        where = ' on a pty' if self.tty else ''
        once = ' (reference: plays a 30 s WAV once, no loop)' if self.reference else ''
        return '`%s%s`%s, stopped with %s%s' % (env, cmd, where, stop, once)


def peers(wavorbit):
    return [
        Player('wavorbit', [wavorbit, '{file}'], stop=b'\n',
               prompt=b'hit return key to stop...'),
        Player('sox', ['play', '{file}', 'repeat', '-'],
               env={'AUDIODRIVER': 'alsa'}),
        Player('mpv', ['mpv', '--no-config', '--no-video', '--loop-file=inf',
                       '--ao=alsa', '{file}'], stop=b'q', tty=True),
        Player('ffplay', ['ffplay', '-nodisp', '-loop', '0', '{file}'],
               env={'SDL_AUDIODRIVER': 'alsa'}),
        Player('aplay', ['aplay', '-q', '{file}'], reference=True),
    ]


def _drain(fd):
    while True:
        try:
            if not os.read(fd, 65536):
                return
        except OSError:
            return


def _cpu_ns(pid, seen):
    """Adds each thread's CPU time (user + system, in ns) to |seen|."""
    try:
        tids = os.listdir('/proc/%d/task' % pid)
    except OSError:
        return
    for tid in tids:
        try:
            with open('/proc/%d/task/%s/schedstat' % (pid, tid)) as f:
                seen[tid] = max(seen.get(tid, 0), int(f.read().split()[0]))
        except (OSError, ValueError, IndexError):
            pass


def _hwm_kb(pid):
    with open('/proc/%d/status' % pid) as f:
        for line in f:
            if line.startswith('VmHWM:'):
                return int(line.split()[1])
    raise RuntimeError('no VmHWM')


def run(player, path, seconds, env):
    """Plays |path| for |seconds| from the process start, then stops.
    Times are time.monotonic_ns() values."""
    env = dict(env, **player.env)
    cmd = player.command(path)
    master = None
    if player.tty:
        master, slave = pty.openpty()
        start = time.monotonic_ns()
        proc = subprocess.Popen(cmd, env=env, stdin=slave, stdout=slave,
                                stderr=slave, preexec_fn=_controlling_tty)
        os.close(slave)
        threading.Thread(target=_drain, args=(master,), daemon=True).start()
    else:
        stdin = subprocess.PIPE if player.stop != 'sigint' else subprocess.DEVNULL
        stdout = subprocess.PIPE if player.prompt else subprocess.DEVNULL
        start = time.monotonic_ns()
        proc = subprocess.Popen(cmd, env=env, stdin=stdin, stdout=stdout,
                                stderr=subprocess.DEVNULL)
    result = {'start': start}
    if player.prompt:
        got = b''
        fd = proc.stdout.fileno()
        while player.prompt not in got:
            ready, _, _ = select.select([fd], [], [], 10)
            block = os.read(fd, 4096) if ready else b''
            if not block:
                proc.kill()
                raise RuntimeError('%s wrote no prompt: %r' % (player.name, got))
            got += block
        result['prompt'] = time.monotonic_ns()
    cpu = {}
    end = start + int(seconds * 1e9)
    while True:
        if proc.poll() is not None:
            raise RuntimeError('%s ended early, status %d' %
                               (player.name, proc.returncode))
        _cpu_ns(proc.pid, cpu)
        left = end - time.monotonic_ns()
        if left <= 0:
            break
        time.sleep(min(0.5, left / 1e9))
    result['hwm_kb'] = _hwm_kb(proc.pid)
    result['cpu_ns'] = sum(cpu.values())
    result['threads'] = len(cpu)
    result['stop'] = time.monotonic_ns()
    if player.stop == 'sigint':
        proc.send_signal(signal.SIGINT)
    elif master is not None:
        os.write(master, player.stop)
    else:
        proc.stdin.write(player.stop)
        proc.stdin.flush()
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        raise RuntimeError('%s did not stop' % player.name)
    result['exit'] = time.monotonic_ns()
    result['status'] = proc.returncode
    if master is not None:
        os.close(master)
    return result

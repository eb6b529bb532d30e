"""The players, how each is started and stopped, and what one run of one
of them measures: CPU time and context switches of all its threads (in
all, and in the steady state from STEADY_AFTER seconds after the start to
the stop), peak resident memory, the prompt (wavorbit), and the moments
of the stop and of the exit."""
import fcntl
import os
import pty
import select
import signal
import subprocess
import termios
import threading
import time

# Start-up (loading libraries, opening the device, the first fill of the
# buffer) is over by then; what follows is what an endless loop costs.
STEADY_AFTER = 3.0


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
        # The route's floor plays a long file once instead of looping a
        # short one, with a large buffer: what the sound route costs by
        # itself.
        self.reference = reference

    def command(self, path):
        return [a.replace('{file}', path) for a in self.argv]

    def describe(self):
        env = ''.join('%s=%s ' % kv for kv in sorted(self.env.items()))
        argv = [os.path.basename(self.argv[0])] + self.argv[1:]
        cmd = ' '.join(a.replace('{file}', 'FILE') for a in argv)
        stop = 'SIGINT' if self.stop == 'sigint' else repr(self.stop.decode())
        where = ' on a pty' if self.tty else ''
        once = (' (the floor: plays a 30 s WAV once, no loop, 2 s buffer)'
                if self.reference else '')
        return '`%s%s`%s, stopped with %s%s' % (env, cmd, where, stop, once)


def peers(wavorbit):
    # Each peer at its best: no progress display or terminal chatter (sox's
    # progress line alone costs CPU several times a second).
    return [
        Player('wavorbit', [wavorbit, '{file}'], stop=b'\n',
               prompt=b'hit return key to stop...'),
        Player('sox', ['play', '-q', '{file}', 'repeat', '-'],
               env={'AUDIODRIVER': 'alsa'}),
        Player('mpv', ['mpv', '--no-config', '--really-quiet', '--no-video',
                       '--loop-file=inf', '--ao=alsa', '{file}'], stop=b'q', tty=True),
        Player('ffplay', ['ffplay', '-nodisp', '-nostats', '-loglevel', 'quiet',
                          '-loop', '0', '{file}'],
               env={'SDL_AUDIODRIVER': 'alsa'}),
        Player('aplay', ['aplay', '-q', '--buffer-time=2000000', '{file}'],
               reference=True),
    ]


def _drain(fd):
    while True:
        try:
            if not os.read(fd, 65536):
                return
        except OSError:
            return


def _sample(pid, cpu, switches, names=None):
    """Records each thread's CPU time (user + system, in ns) in |cpu| and
    its context switches (voluntary + involuntary) in |switches|, both
    keyed by thread id, and its name in |names|; a thread that has ended
    keeps its last values."""
    try:
        tids = os.listdir('/proc/%d/task' % pid)
    except OSError:
        return
    for tid in tids:
        try:
            # Read again each time: until the player's exec, its first
            # thread still has the name of the process that started it.
            if names is not None:
                with open('/proc/%d/task/%s/comm' % (pid, tid)) as f:
                    names[tid] = f.read().strip()
            with open('/proc/%d/task/%s/schedstat' % (pid, tid)) as f:
                cpu[tid] = max(cpu.get(tid, 0), int(f.read().split()[0]))
            n = 0
            with open('/proc/%d/task/%s/status' % (pid, tid)) as f:
                for line in f:
                    if line.startswith(('voluntary_ctxt_switches:',
                                        'nonvoluntary_ctxt_switches:')):
                        n += int(line.split()[1])
            switches[tid] = max(switches.get(tid, 0), n)
        except (OSError, ValueError, IndexError):
            pass


def _resident_by_file(pid):
    """Resident kB per mapped file (by base name; anonymous memory as
    [anon])."""
    out = {}
    name = None
    with open('/proc/%d/smaps' % pid) as f:
        for line in f:
            fields = line.split()
            if not fields[0].endswith(':'):
                name = os.path.basename(fields[5]) if len(fields) > 5 else '[anon]'
            elif fields[0] == 'Rss:':
                out[name] = out.get(name, 0) + int(fields[1])
    return out


def _since(now, then):
    """What the threads added since |then| (threads new since then count
    from zero)."""
    return sum(v - then.get(t, 0) for t, v in now.items())


def _hwm_kb(pid):
    with open('/proc/%d/status' % pid) as f:
        for line in f:
            if line.startswith('VmHWM:'):
                return int(line.split()[1])
    raise RuntimeError('no VmHWM')


def run(player, path, seconds, env, watch=(), midway=None):
    """Plays |path| for |seconds| from the process start, then stops.
    Times are time.monotonic_ns() values.  The context switches of the
    processes |watch| (the sound server) are summed over the same steady
    window; |midway|, if given, is called once in the middle of it and
    its result returned as 'midway'."""
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
    cpu, switches, names = {}, {}, {}
    server = [({}, {}) for _ in watch]
    steady_at = start + int(STEADY_AFTER * 1e9)
    midway_at = steady_at + int((seconds - STEADY_AFTER) / 2 * 1e9)
    end = start + int(seconds * 1e9)
    steady = None
    while True:
        if proc.poll() is not None:
            raise RuntimeError('%s ended early, status %d' %
                               (player.name, proc.returncode))
        _sample(proc.pid, cpu, switches, names)
        for pid, (c, w) in zip(watch, server):
            _sample(pid, c, w)
        now = time.monotonic_ns()
        if steady is None and now >= steady_at:
            steady = (now, dict(cpu), dict(switches), [dict(w) for _, w in server])
        if midway is not None and now >= midway_at:
            result['midway'] = midway()
            midway = None
            continue
        left = end - now
        if left <= 0:
            break
        marks = [t - now for t in (steady_at, midway_at) if t > now]
        time.sleep(min([0.5, left / 1e9] + [m / 1e9 for m in marks]))
    result['hwm_kb'] = _hwm_kb(proc.pid)
    result['resident_by_file'] = _resident_by_file(proc.pid)
    result['cpu_ns'] = sum(cpu.values())
    result['threads'] = len(cpu)
    if steady is not None:
        span = (now - steady[0]) / 1e9
        result['steady_s'] = span
        result['steady_cpu_ns'] = _since(cpu, steady[1])
        result['steady_switches'] = _since(switches, steady[2])
        result['server_switches'] = sum(_since(w, before) for (_, w), before
                                        in zip(server, steady[3]))
        # Per thread: CPU s/min and wakeups/s.  Threads are named by
        # their name and, where several share it, their place among
        # those in the order they were started ("wavorbit#2").
        per, seen = {}, {}
        for tid in sorted(cpu, key=int):
            name = names.get(tid, '?')
            seen[name] = seen.get(name, 0) + 1
            label = name if seen[name] == 1 else '%s#%d' % (name, seen[name])
            per[label] = ((cpu[tid] - steady[1].get(tid, 0)) / 1e9 / span * 60,
                          (switches.get(tid, 0) - steady[2].get(tid, 0)) / span)
        result['per_thread'] = per
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

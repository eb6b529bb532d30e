#!/usr/bin/env python3
"""What the sound server's faults cost a playing wavorbit, on each route
(PulseAudio, PipeWire), through the route controller test/sound_route.py:

- back: the server is killed, then started again; from the controller's
  "start" until the first sound in the new server's recording (the
  recording begins before "start" answers, so the figure is an upper
  bound), and the part of it that the recording itself shows;
- away: CPU time (all threads, from /proc/PID/task/*/schedstat) and
  resident memory growth over 3 s while the server is gone;
- frozen exit: the server stopped with SIGSTOP, from Return written to the
  program's standard input until the program has ended.

    python3 bench/faults.py BUILD/wavorbit [ROUNDS]

Not a test: the figures depend on the machine and its load.
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CONTROLLER = os.path.join(HERE, '..', 'test', 'sound_route.py')
# The test signals are the tests' own, in test/wavfile.py.
sys.path.insert(0, os.path.join(HERE, '..', 'test'))
from wavfile import FRAME_BYTES as FRAME, RATE, noise_frames, write_wav  # noqa: E402


class Controller:
    def __init__(self, route, root):
        self.proc = subprocess.Popen([sys.executable, CONTROLLER, route, root],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     text=True)
        self.env = {}
        for line in self.proc.stdout:
            line = line.strip()
            if line == 'ready':
                return
            if line.startswith('error') or '=' not in line:
                raise RuntimeError(route + ': ' + line)
            name, value = line.split('=', 1)
            self.env[name] = value
        raise RuntimeError(route + ': the controller ended')

    def command(self, line):
        self.proc.stdin.write(line + '\n')
        self.proc.stdin.flush()
        answer = self.proc.stdout.readline().strip()
        if not answer.startswith('ok'):
            raise RuntimeError(line + ': ' + answer)
        return answer[3:]

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(60)


def cpu_ns(pid):
    total = 0
    for task in os.listdir('/proc/%d/task' % pid):
        try:
            with open('/proc/%d/task/%s/schedstat' % (pid, task)) as f:
                total += int(f.read().split()[0])
        except FileNotFoundError:
            pass
    return total


def rss_kb(pid):
    with open('/proc/%d/status' % pid) as f:
        for line in f:
            if line.startswith('VmRSS:'):
                return int(line.split()[1])
    return -1


def read_line(stream, deadline=20):
    end = time.monotonic() + deadline
    line = b''
    while not line.endswith(b'\n') and time.monotonic() < end:
        byte = stream.read(1)
        if not byte:
            break
        line += byte
    return line.decode(errors='replace')


def first_sound_seconds(path):
    with open(path, 'rb') as f:
        data = f.read()
    for i in range(0, len(data) - FRAME + 1, FRAME):
        if data[i:i + FRAME] != b'\0' * FRAME:
            return i / FRAME / RATE
    return None


def one_round(wavorbit, route, tune):
    with tempfile.TemporaryDirectory(prefix='wvf-') as root:
        ctl = Controller(route, os.path.join(root, 's'))
        env = dict(os.environ, **ctl.env)
        prog = subprocess.Popen([wavorbit, tune], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        try:
            prog.stdout.read(len('hit return key to stop...'))
            time.sleep(1)
            ctl.command('kill')
            lost = read_line(prog.stderr)
            time.sleep(0.5)
            cpu0, rss0 = cpu_ns(prog.pid), rss_kb(prog.pid)
            time.sleep(3)
            cpu1, rss1 = cpu_ns(prog.pid), rss_kb(prog.pid)
            start = time.monotonic()
            recording = ctl.command('start')
            answered = time.monotonic() - start
            back = read_line(prog.stderr)
            time.sleep(2)
            in_recording = first_sound_seconds(recording)
            ctl.command('freeze')
            time.sleep(0.5)
            start = time.monotonic()
            prog.stdin.write(b'\n')
            prog.stdin.flush()
            status = prog.wait(30)
            frozen_exit = time.monotonic() - start
            ctl.command('thaw')
        finally:
            if prog.poll() is None:
                prog.kill()
                prog.wait()
            ctl.close()
        return {
            'lost line': lost.strip(),
            'back line': back.strip(),
            'away CPU ms/3 s': (cpu1 - cpu0) / 1e6,
            'away RSS growth kB/3 s': rss1 - rss0,
            'start to sound s': None if in_recording is None else answered + in_recording,
            'recording to sound s': in_recording,
            'frozen Return to exit ms': frozen_exit * 1000,
            'status': status,
        }


def main(argv):
    wavorbit = os.path.abspath(argv[1])
    rounds = int(argv[2]) if len(argv) > 2 else 3
    with tempfile.TemporaryDirectory(prefix='wvf-') as d:
        tune = os.path.join(d, 'tune.wav')
        write_wav(tune, noise_frames(RATE // 2))
        for route in ('pulse', 'pipewire'):
            results = [one_round(wavorbit, route, tune) for _ in range(rounds)]
            print('== %s, %d rounds' % (route, rounds))
            for key in results[0]:
                values = [r[key] for r in results]
                if all(isinstance(v, (int, float)) for v in values) and key != 'status':
                    print('  %-26s median %8.1f   all %s' % (key, statistics.median(values),
                          ' '.join('%.1f' % v for v in values)))
                else:
                    print('  %-26s %s' % (key, ' | '.join(str(v) for v in values)))


if __name__ == '__main__':
    main(sys.argv)

"""Runs wavorbit and the players people use instead, side by side through
a private PulseAudio daemon, and writes the figures.

usage: bench.py WAVORBIT OUTDIR [--runs N] [--seconds S] [--docs DIR]
"""
import argparse
import json
import os
import shutil
import sys
import tempfile
import time

import players
import report
import route
# The test signals are the tests' own, in test/wavfile.py.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                '..', 'test'))
from wavfile import FRAME_BYTES, RATE, noise_frames, write_big_wav, write_wav  # noqa: E402

BIG_BYTES = 1 << 30
BIG_SECONDS = 5
ONCE_SECONDS = 30
TAIL_SECONDS = 1.0


def measure(player, path, loop, seconds, server, env):
    """One run through the sink: CPU, memory, latencies, seams."""
    cap = route.Capture(server)
    try:
        r = players.run(player, path, seconds, env)
        time.sleep(TAIL_SECONDS)
    finally:
        cap.close()
    out = {'cpu_s': r['cpu_ns'] / 1e9, 'rss_mb': r['hwm_kb'] / 1024,
           'threads': r['threads'], 'status': r['status'],
           'exit_ms': (r['exit'] - r['stop']) / 1e6}
    if 'prompt' in r:
        out['prompt_ms'] = (r['prompt'] - r['start']) / 1e6
    span = route.sounding_frames(cap.data)
    if span is None:
        out['error'] = 'nothing reached the sink'
        return out
    first, last = span
    out['first_ms'] = (cap.arrival_ns(first) - r['start']) / 1e6
    out['silence_ms'] = (cap.arrival_ns(last) - r['stop']) / 1e6
    sound = bytes(cap.data[first * FRAME_BYTES:(last + 1) * FRAME_BYTES])
    seams, exact, bad = route.check_seams(sound, loop)
    out['seams'] = seams
    out['seams_exact'] = exact
    if bad is not None:
        out['error'] = 'capture differs from the input at frame %d' % bad
    return out


def measure_big(player, path, env):
    r = players.run(player, path, BIG_SECONDS, env)
    return {'rss1g_mb': r['hwm_kb'] / 1024}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('wavorbit')
    ap.add_argument('outdir')
    ap.add_argument('--runs', type=int, default=3)
    ap.add_argument('--seconds', type=float, default=20)
    ap.add_argument('--players', help='comma-separated subset to run')
    ap.add_argument('--docs', help='where benchmarks.md and .png go')
    ap.add_argument('--command', default='bash bench/run.sh',
                    help='the command to name in the report')
    args = ap.parse_args()

    host = report.machine()
    os.makedirs(args.outdir, exist_ok=True)
    tmp = tempfile.mkdtemp(prefix='wavorbit-bench-')
    server = None
    try:
        loop = noise_frames(RATE)
        small = os.path.join(tmp, 'noise-1s.wav')
        write_wav(small, loop)
        once = noise_frames(RATE * ONCE_SECONDS, seed=777)
        long = os.path.join(tmp, 'noise-30s.wav')
        write_wav(long, once)
        big = os.path.join(tmp, 'noise-1g.wav')
        print('writing a 1 GB WAV in %s' % tmp, flush=True)
        write_big_wav(big, loop, BIG_BYTES)
        server = route.open_route('pulse', os.path.join(tmp, 'pulse'))
        env = dict(os.environ, **server.client_env())
        roster = players.peers(os.path.abspath(args.wavorbit))
        if args.players:
            roster = [p for p in roster if p.name in args.players.split(',')]
        runs = {p.name: [] for p in roster}
        load_before = os.getloadavg()[0]
        for i in range(args.runs):
            for p in roster:
                print('run %d/%d  %-8s' % (i + 1, args.runs, p.name),
                      end=' ', flush=True)
                if p.reference:
                    one = measure(p, long, once, args.seconds, server, env)
                else:
                    one = measure(p, small, loop, args.seconds, server, env)
                one.update(measure_big(p, big, env))
                runs[p.name].append(one)
                print(json.dumps(one), flush=True)
    finally:
        if server is not None:
            server.close()
        shutil.rmtree(tmp)

    load = (load_before, os.getloadavg()[0])
    with open(os.path.join(args.outdir, 'runs.json'), 'w') as f:
        json.dump(runs, f, indent=1)
    table = report.table(roster, runs, args.seconds)
    print()
    print(table)
    with open(os.path.join(args.outdir, 'benchmarks.txt'), 'w') as f:
        f.write(table + '\n')
    docs = args.docs or args.outdir
    os.makedirs(docs, exist_ok=True)
    report.plot(roster, runs, os.path.join(args.outdir, 'plot.dat'),
                os.path.join(docs, 'benchmarks.png'))
    report.markdown(roster, runs, table, args, host, load,
                    os.path.join(docs, 'benchmarks.md'))
    return 0


if __name__ == '__main__':
    sys.exit(main())

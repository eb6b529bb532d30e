"""Runs wavorbit and the players people use instead, side by side through
each sound route (a private PulseAudio, a private PipeWire), and writes
the figures.

usage: bench.py WAVORBIT OUTDIR [--runs N] [--seconds S] [--docs DIR]
                [--routes pulse,pipewire] [--players NAME,...]
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
    """One run through the sink: CPU, wakeups, memory, latencies, seams."""
    cap = route.Capture(server)
    midway = None
    if server.name == 'pipewire':
        midway = lambda: route.graph_state(server)  # noqa: E731
    try:
        r = players.run(player, path, seconds, env, watch=server.server_pids(),
                        midway=midway)
        time.sleep(TAIL_SECONDS)
    finally:
        cap.close()
    out = {'cpu_s': r['cpu_ns'] / 1e9, 'rss_mb': r['hwm_kb'] / 1024,
           'threads': r['threads'], 'status': r['status'],
           'exit_ms': (r['exit'] - r['stop']) / 1e6}
    if 'steady_s' in r:
        out['steady_cpu'] = r['steady_cpu_ns'] / 1e9 / r['steady_s'] * 60
        out['wakeups'] = r['steady_switches'] / r['steady_s']
        out['server_wakeups'] = r['server_switches'] / r['steady_s']
    out.update(r.get('midway', {}))
    for key in ('per_thread', 'resident_by_file'):
        if key in r:
            out[key] = r[key]
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


def brief(one):
    return {k: v for k, v in one.items() if k not in ('per_thread', 'resident_by_file')}


def measure_big(player, path, env):
    r = players.run(player, path, BIG_SECONDS, env)
    return {'rss1g_mb': r['hwm_kb'] / 1024}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('wavorbit')
    ap.add_argument('outdir')
    ap.add_argument('--runs', type=int, default=3)
    ap.add_argument('--seconds', type=float, default=15)
    ap.add_argument('--players', help='comma-separated subset to run')
    ap.add_argument('--routes', default='pulse,pipewire',
                    help='comma-separated sound routes: pulse, pipewire')
    ap.add_argument('--quanta', default='512,1024',
                    help='PipeWire graph quanta to force for wavorbit and the '
                         'floor after the main runs (empty: none)')
    ap.add_argument('--docs', help='where benchmarks.md and .png go')
    ap.add_argument('--command', default='bash bench/run.sh',
                    help='the command to name in the report')
    args = ap.parse_args()

    host = report.machine()
    os.makedirs(args.outdir, exist_ok=True)
    tmp = tempfile.mkdtemp(prefix='wavorbit-bench-')
    roster = players.peers(os.path.abspath(args.wavorbit))
    if args.players:
        roster = [p for p in roster if p.name in args.players.split(',')]
    kinds = args.routes.split(',')
    runs = {k: {p.name: [] for p in roster} for k in kinds}
    quanta = [int(q) for q in args.quanta.split(',') if q] if 'pipewire' in kinds else []
    pinned = [p for p in roster if p.name == 'wavorbit' or p.reference]
    forced = {q: {p.name: [] for p in pinned} for q in quanta}
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
        load_before = os.getloadavg()[0]
        for kind in kinds:
            server = route.open_route(kind, os.path.join(tmp, kind))
            try:
                env = dict(os.environ, **server.client_env())
                for i in range(args.runs):
                    for p in roster:
                        print('%-8s run %d/%d  %-8s' % (kind, i + 1, args.runs, p.name),
                              end=' ', flush=True)
                        if p.reference:
                            one = measure(p, long, once, args.seconds, server, env)
                        else:
                            one = measure(p, small, loop, args.seconds, server, env)
                        one.update(measure_big(p, big, env))
                        runs[kind][p.name].append(one)
                        print(json.dumps(brief(one)), flush=True)
                # What the graph's block size does to the figures that
                # depend on it: the same players with the quantum pinned.
                for q in quanta if kind == 'pipewire' else []:
                    server.set_quantum(q)
                    for i in range(args.runs):
                        for p in pinned:
                            print('quantum %-5d run %d/%d  %-8s' % (q, i + 1, args.runs, p.name),
                                  end=' ', flush=True)
                            path, frames = (long, once) if p.reference else (small, loop)
                            one = measure(p, path, frames, args.seconds, server, env)
                            forced[q][p.name].append(one)
                            print(json.dumps(brief(one)), flush=True)
                    server.set_quantum(0)
            finally:
                server.close()
    finally:
        shutil.rmtree(tmp)

    load = (load_before, os.getloadavg()[0])
    with open(os.path.join(args.outdir, 'runs.json'), 'w') as f:
        json.dump({'routes': runs, 'pipewire_quanta': forced}, f, indent=1)
    tables = {k: report.table(roster, runs[k], args.seconds, k) for k in kinds}
    if forced:
        tables['quanta'] = report.quanta_table(pinned, forced, runs.get('pipewire'))
    text = '\n\n'.join(tables[k] for k in kinds + (['quanta'] if forced else []))
    print()
    print(text)
    with open(os.path.join(args.outdir, 'benchmarks.txt'), 'w') as f:
        f.write(text + '\n')
    docs = args.docs or args.outdir
    os.makedirs(docs, exist_ok=True)
    report.plot(roster, runs, kinds, os.path.join(args.outdir, 'plot.dat'),
                os.path.join(docs, 'benchmarks.png'))
    report.markdown(roster, runs, kinds, tables, args, host, load,
                    os.path.join(docs, 'benchmarks.md'))
    return 0


if __name__ == '__main__':
    sys.exit(main())

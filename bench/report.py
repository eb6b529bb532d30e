"""The table, the plot and bench/results/benchmarks.md, from the runs."""
import os
import platform
import statistics
import subprocess
import time

# (key, label, format, players it applies to or None for all)
METRICS = [
    ('cpu_s', 'CPU s (user+sys, all threads)', '%.3f', None),
    ('steady_cpu', 'steady CPU s per minute', '%.3f', None),
    ('wakeups', 'steady wakeups per s', '%.1f', None),
    ('server_wakeups', '  the server\'s, meanwhile', '%.1f', None),
    ('quantum', 'graph quantum, frames', '%d', None),
    ('stream_quantum', '  the stream asks for', '%d', None),
    ('xruns', '  xruns of the stream', '%d', None),
    ('rss_mb', 'peak RSS MB, 1 s WAV', '%.2f', None),
    ('rss1g_mb', 'peak RSS MB, 1 GB WAV', '%.2f', None),
    ('prompt_ms', 'prompt on stdout, ms', '%.1f', ('wavorbit',)),
    ('first_ms', 'first sample at sink, ms', '%.1f', None),
    ('silence_ms', 'stop to last sample, ms', '%.1f', None),
    ('exit_ms', 'stop to process exit, ms', '%.1f', None),
]
PACKAGES = ['pulseaudio', 'pipewire-bin', 'wireplumber', 'libasound2', 'libasound2-plugins', 'libsndfile1',
            'sox', 'mpv', 'ffmpeg', 'libsdl2-2.0-0']


def values(runs, key):
    return [r[key] for r in runs if key in r]


def stats(runs, key):
    v = values(runs, key)
    return (statistics.median(v), min(v), max(v)) if v else None


ROUTE_NAMES = {'pulse': 'PulseAudio', 'pipewire': 'PipeWire'}


def table(roster, runs, seconds, kind):
    n = min(len(r) for r in runs.values())
    lines = ['%s: %g s of a 1 s WAV, %d runs each: median, min, max'
             % (ROUTE_NAMES.get(kind, kind), seconds, n),
             '',
             '%-31s %-9s %9s %9s %9s' % ('figure', 'player', 'median', 'min', 'max')]
    for key, label, fmt, only in METRICS:
        if not any(values(runs[p.name], key) for p in roster):
            continue  # not a figure of this route
        shown = label
        for p in roster:
            if only and p.name not in only:
                continue
            s = stats(runs[p.name], key)
            cells = [(fmt % x) for x in s] if s else ['-'] * 3
            lines.append('%-31s %-9s %9s %9s %9s' % (shown, p.name, *cells))
            shown = ''
    shown = 'seams exact / seams crossed'
    for p in roster:
        rs = runs[p.name]
        exact = sum(r.get('seams_exact', 0) for r in rs)
        total = sum(r.get('seams', 0) for r in rs)
        errors = [r['error'] for r in rs if 'error' in r]
        lines.append('%-31s %-9s %9s %s' % (shown, p.name, '%d/%d' % (exact, total),
                                           '; '.join(errors)))
        shown = ''
    lines += ['', 'targets for wavorbit on %s (medians, same run):'
              % ROUTE_NAMES.get(kind, kind)]
    lines += ['  %-52s %s' % t for t in targets(roster, runs)]
    return '\n'.join(lines)


def holding(roster, runs, kind):
    """Where wavorbit's steady cost and memory go, beside the floor's: per
    thread (medians over the runs), and resident memory per mapped file
    where the two differ by 100 kB or more (medians)."""
    w = 'wavorbit'
    floors = [p.name for p in roster if p.reference]
    if w not in runs or not floors:
        return ''
    floor = floors[0]
    lines = ['%s: wavorbit beside the floor (%s), medians' % (ROUTE_NAMES.get(kind, kind), floor),
             '', '%-10s %-18s %16s %12s' % ('player', 'thread', 'CPU s/min', 'wakeups/s')]
    for name in (w, floor):
        threads = {}
        for r in runs[name]:
            for t, cw in r.get('per_thread', {}).items():
                threads.setdefault(t, []).append(cw)
        for t, cws in sorted(threads.items()):
            lines.append('%-10s %-18s %16.3f %12.1f' % (
                name, t, statistics.median(c for c, _ in cws),
                statistics.median(x for _, x in cws)))
    lines += ['', 'resident kB by mapped file, where wavorbit and %s differ by 100 kB or more:'
              % floor, '', '%-34s %10s %10s' % ('file', w, floor)]

    def kb(name):
        files = {}
        for r in runs[name]:
            for f, v in r.get('resident_by_file', {}).items():
                files.setdefault(f, []).append(v)
        n = len(runs[name])
        return {f: statistics.median(v + [0] * (n - len(v))) for f, v in files.items()}
    mine, theirs = kb(w), kb(floor)
    rows = sorted(set(mine) | set(theirs),
                  key=lambda f: -abs(mine.get(f, 0) - theirs.get(f, 0)))
    for f in rows:
        if abs(mine.get(f, 0) - theirs.get(f, 0)) >= 100:
            lines.append('%-34s %10d %10d' % (f, mine.get(f, 0), theirs.get(f, 0)))
    lines.append('%-34s %10d %10d' % ('all', sum(mine.values()), sum(theirs.values())))
    return '\n'.join(lines)


def quanta_table(pinned, forced, free):
    """wavorbit and the floor on PipeWire with the graph's quantum pinned,
    beside the same players with the graph left to choose (free)."""
    rows = [('steady_cpu', 'steady CPU s/min', '%.3f'), ('wakeups', 'wakeups/s', '%.1f'),
            ('first_ms', 'first sample ms', '%.1f'), ('silence_ms', 'Return to silence ms', '%.1f'),
            ('xruns', 'xruns', '%d')]
    lines = ['PipeWire with the graph quantum pinned (medians):', '',
             '%-9s %-9s' % ('quantum', 'player') + ''.join(' %20s' % r[1] for r in rows)]
    cases = [('default', free or {})] + [(str(q), forced[q]) for q in sorted(forced)]
    for label, runs in cases:
        for p in pinned:
            cells = []
            for key, _, fmt in rows:
                st = stats(runs.get(p.name, []), key)
                cells.append(fmt % st[0] if st else '-')
            lines.append('%-9s %-9s' % (label, p.name) + ''.join(' %20s' % c for c in cells))
    return '\n'.join(lines)


def targets(roster, runs):
    def med(name, key):
        s = stats(runs[name], key)
        return s[0] if s else float('nan')

    def verdict(ok):
        return 'holds' if ok else 'MISSED'

    w = 'wavorbit'
    peers = [p.name for p in roster if p.name != w and not p.reference]
    floors = [p.name for p in roster if p.reference]
    out = []
    if w not in runs or 'sox' not in runs or not peers or not floors:
        return [('(needs wavorbit, sox, the other peers and the floor in the run)', '')]
    floor = floors[0]
    cpu, sox_cpu = med(w, 'cpu_s'), med('sox', 'cpu_s')
    out.append(('CPU <= sox / 5: %.3f <= %.3f' % (cpu, sox_cpu / 5),
                verdict(cpu <= sox_cpu / 5)))
    steady, floor_steady = med(w, 'steady_cpu'), med(floor, 'steady_cpu')
    out.append(('steady CPU <= 1.2 x the floor: %.3f <= %.3f s/min'
                % (steady, 1.2 * floor_steady), verdict(steady <= 1.2 * floor_steady)))
    sox_steady = med('sox', 'steady_cpu')
    out.append(('steady CPU <= sox / 4: %.3f <= %.3f s/min' % (steady, sox_steady / 4),
                verdict(steady <= sox_steady / 4)))
    wake, floor_wake = med(w, 'wakeups'), med(floor, 'wakeups')
    out.append(('wakeups <= 1.1 x the floor: %.1f <= %.1f per s' % (wake, 1.1 * floor_wake),
                verdict(wake <= 1.1 * floor_wake)))
    rss, floor_rss = med(w, 'rss_mb'), med(floor, 'rss_mb')
    out.append(('peak RSS <= the floor: %.2f <= %.2f MB' % (rss, floor_rss),
                verdict(rss <= floor_rss)))
    rss, sox_rss = med(w, 'rss_mb'), med('sox', 'rss_mb')
    out.append(('peak RSS <= 80 %% of sox: %.2f <= %.2f MB' % (rss, 0.8 * sox_rss),
                verdict(rss <= 0.8 * sox_rss)))
    big = med(w, 'rss1g_mb')
    out.append(('peak RSS 1 GB WAV = 1 s WAV: %.2f vs %.2f MB' % (big, rss),
                verdict(abs(big - rss) <= 0.02 * rss)))
    prompt = med(w, 'prompt_ms')
    out.append(('prompt within 10 ms of start: %.1f ms' % prompt,
                verdict(prompt <= 10)))
    first = med(w, 'first_ms')
    best = min(med(p, 'first_ms') for p in peers)
    out.append(('first sample no later than any peer: %.1f <= %.1f ms' % (first, best),
                verdict(first <= best)))
    silence = med(w, 'silence_ms')
    out.append(('silence within 20 ms of Return: %.1f ms' % silence,
                verdict(silence <= 20)))
    exit_ms = med(w, 'exit_ms')
    out.append(('exit within 10 ms of Return: %.1f ms' % exit_ms,
                verdict(exit_ms <= 10)))
    rs = runs[w]
    exact = all('error' not in r and r.get('seams_exact') == r.get('seams')
                for r in rs)
    out.append(('every seam sample-exact: %d/%d' % (
        sum(r.get('seams_exact', 0) for r in rs), sum(r.get('seams', 0) for r in rs)),
        verdict(exact)))
    return out


PLOTTED = [('steady_cpu', 'steady CPU seconds per minute', '%.3f'),
           ('wakeups', 'steady wakeups per second', '%.0f'),
           ('rss_mb', 'peak resident memory, MB', '%.1f')]


def plot(roster, runs, kinds, datfile, png):
    with open(datfile, 'w') as f:
        f.write('# player, then per figure and route: median min max\n')
        for p in roster:
            cells = []
            for key, _, _ in PLOTTED:
                for k in kinds:
                    cells += ['%.4f' % x for x in (stats(runs[k][p.name], key) or (0, 0, 0))]
            f.write('%s %s\n' % (p.name, ' '.join(cells)))
    colors = ['#4878a8', '#c07840', '#58a060']
    panels = []
    for i, (key, title, fmt) in enumerate(PLOTTED):
        series = []
        for j, k in enumerate(kinds):
            col = 2 + (i * len(kinds) + j) * 3
            offset = (j - (len(kinds) - 1) / 2) * 0.8 / len(kinds)
            series.append('"{dat}" using %d:%d:%d%s title "%s" lc rgb "%s"' % (
                col, col + 1, col + 2, ':xtic(1)' if j == 0 else '',
                ROUTE_NAMES.get(k, k), colors[j % len(colors)]))
            series.append('"" using ($0%+.2f):%d:(sprintf("%s", $%d)) with labels '
                          'offset 0,0.7 font ",7" notitle' % (offset, col + 2, fmt, col))
        panels.append('set title "%s"\nplot %s' % (title, ', \\\n     '.join(series)))
    script = '''
set terminal pngcairo size 1500,460 font "sans,10"
set output "{png}"
set multiplot layout 1,3 title "wavorbit, its peers and the floor (aplay), looping a 1 s WAV through each route (median, bars: min-max)"
set style data histogram
set style histogram errorbars gap 1 lw 1
set style fill solid 0.6 border -1
set grid ytics
set yrange [0:*]
set key top left
set xtics rotate by -30
''' + '\n'.join(panels) + '\nunset multiplot\n'
    subprocess.run(['gnuplot'], input=script.format(png=png, dat=datfile).encode(),
                   check=True)


def _read(path, key):
    try:
        with open(path) as f:
            for line in f:
                if line.startswith(key):
                    return line.split(':', 1)[1].strip()
    except OSError:
        pass
    return '?'


def _cmd(argv):
    try:
        return subprocess.run(argv, capture_output=True, text=True).stdout.strip()
    except OSError:
        return '?'


def machine():
    """The machine and the software measured; call before anything is
    written, so that the commit is not seen as modified."""
    versions = []
    for p in PACKAGES:
        v = _cmd(['dpkg-query', '-W', '-f=${Version}', p])
        versions.append('%s %s' % (p, v or '(not installed)'))
    mem_kb = int(_read('/proc/meminfo', 'MemTotal').split()[0])
    here = os.path.dirname(os.path.abspath(__file__))
    return [
        ('CPU', '%s, %d cores online' % (_read('/proc/cpuinfo', 'model name'),
                                          os.cpu_count())),
        ('memory', '%.1f GB' % (mem_kb / 1024 / 1024)),
        ('kernel', '%s %s' % (platform.system(), platform.release())),
        ('system', 'Debian %s' % _cmd(['cat', '/etc/debian_version'])),
        ('packages', ', '.join(versions)),
        ('wavorbit', 'commit %s' % _cmd(['git', '-C', here, 'describe',
                                          '--always', '--dirty'])),
        ('date', time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())),
    ]


def markdown(roster, runs, kinds, tables, args, host, load, path):
    lines = [
        '# Benchmarks',
        '',
        'Generated by `%s`; do not edit by hand.' % args.command,
        '',
        'wavorbit and the players people use instead loop the same 1 s WAV',
        '(44.1 kHz, 16-bit stereo noise) for %g s each, one after another, %d runs'
        % (args.seconds, args.runs),
        'each, through each sound route in turn: a private headless PulseAudio',
        '(null sink recorded with `parec`) and a private headless PipeWire with',
        'WirePlumber (null sink recorded with `pw-record`; ALSA\'s `default` goes',
        'through PipeWire\'s own ALSA plugin, as on a desktop that runs PipeWire,',
        'with the desktop\'s default graph quantum of 1024 frames, up to 2048).',
        'Both routes are the ones the tests use (`test/sound_route.py`). Each',
        'player is then run for 5 s on a 1 GB WAV for its peak resident memory.',
        '',
        'Each peer runs at its best: without progress display or terminal',
        'chatter (sox `-q`, whose default progress line costs CPU several times a',
        'second; mpv `--really-quiet`; ffplay `-nostats -loglevel quiet`).',
        '`aplay` is the route\'s floor, not a peer: it plays a 30 s WAV once with',
        'a 2 s buffer, which is what ALSA and the sound server\'s client cost by',
        'themselves.',
        '',
        '- CPU: the sum over all threads of `/proc/PID/task/*/schedstat` (user +',
        '  system, in ns) from process start to the stop.',
        '- Steady CPU and wakeups: what an endless loop costs once started, from',
        '  3 s after the start to the stop: CPU seconds per minute, and context',
        '  switches (voluntary + involuntary, summed over',
        '  `/proc/PID/task/*/status`) per second. The server\'s wakeups are its',
        '  own over the same window (PulseAudio; PipeWire and WirePlumber).',
        '- Graph quantum (PipeWire): the block the sink drives the graph with, the',
        '  block the player\'s stream asks for, and the stream\'s xruns, as',
        '  `pw-top` shows them halfway through each run.',
        '- Peak RSS: `VmHWM` of `/proc/PID/status` just before the stop.',
        '- Start: from just before the process is spawned to the arrival of the',
        '  first sounding frame from the sink\'s recorder (the sink hands over',
        '  blocks: 10 ms on PulseAudio, a quantum on PipeWire, so this is up to a',
        '  block after the player handed the frame over); for wavorbit also to its',
        '  prompt on standard output.',
        '- Stop: from the Return byte (or the peer\'s own stop) to the arrival of',
        '  the last sounding frame (negative: the block mixed after the stop was',
        '  already silent), and to the process exit.',
        '- Seams: the recording from its first to its last sounding frame is',
        '  compared, sample for sample, with the input repeated.',
        '',
        '## Players',
        '',
    ]
    for p in roster:
        lines.append('- %s: %s' % (p.name, p.describe()))
    lines += ['', '## Machine', '']
    host = host + [('load average (1 min) before and after the runs',
                    '%.2f, %.2f (the cores are shared with other work)' % load)]
    for k, v in host:
        lines.append('- %s: %s' % (k, v))
    lines += ['', '## Results', '']
    for k in kinds:
        lines += ['### %s' % ROUTE_NAMES.get(k, k), '', '```', tables[k], '```', '']
    lines += ['### Where the cost goes', '',
              'Per thread from 3 s after the start to the stop, and resident memory',
              'per mapped file just before the stop: what holds a target that',
              'wavorbit misses against the floor. Threads that share a name are',
              'told apart by the order they started in (`wavorbit#2`); the sound',
              'server\'s client library runs the thread that answers the server',
              '(`threaded-ml` for PulseAudio, an unnamed one for PipeWire).', '']
    for k in kinds:
        lines += ['```', holding(roster, runs[k], k), '```', '']
    if 'quanta' in tables:
        lines += ['### PipeWire: what the graph quantum does', '',
                  'On PipeWire a client hands the graph one block (the quantum) per',
                  'cycle, and a stopped stream\'s last block still plays: the quantum',
                  'sets both how often the client wakes and how long sound goes on after',
                  'a stop. The graph runs at the smallest block any stream asks for,',
                  'within 1024 to 2048 frames by default. Here wavorbit and the floor',
                  'again, with the quantum pinned (`clock.force-quantum`):', '',
                  '```', tables['quanta'], '```', '']
    lines += ['![steady CPU, wakeups and memory per player and route](benchmarks.png)', '']
    with open(path, 'w') as f:
        f.write('\n'.join(lines))

"""The table, the plot and docs/benchmarks.md, from the runs."""
import os
import platform
import statistics
import subprocess
import time

# (key, label, format, players it applies to or None for all)
METRICS = [
    ('cpu_s', 'CPU s (user+sys, all threads)', '%.3f', None),
    ('rss_mb', 'peak RSS MB, 1 s WAV', '%.2f', None),
    ('rss1g_mb', 'peak RSS MB, 1 GB WAV', '%.2f', None),
    ('prompt_ms', 'prompt on stdout, ms', '%.1f', ('wavorbit',)),
    ('first_ms', 'first sample at sink, ms', '%.1f', None),
    ('silence_ms', 'stop to last sample, ms', '%.1f', None),
    ('exit_ms', 'stop to process exit, ms', '%.1f', None),
]
PACKAGES = ['pulseaudio', 'libasound2', 'libasound2-plugins', 'libsndfile1',
            'sox', 'mpv', 'ffmpeg', 'libsdl2-2.0-0']


def values(runs, key):
    return [r[key] for r in runs if key in r]


def stats(runs, key):
    v = values(runs, key)
    return (statistics.median(v), min(v), max(v)) if v else None


def table(roster, runs, seconds):
    n = min(len(r) for r in runs.values())
    lines = ['%g s of a 1 s WAV, %d runs each: median, min, max' % (seconds, n),
             '',
             '%-31s %-9s %9s %9s %9s' % ('figure', 'player', 'median', 'min', 'max')]
    for key, label, fmt, only in METRICS:
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
    lines += ['', 'targets for wavorbit (medians, same run):']
    lines += ['  %-52s %s' % t for t in targets(roster, runs)]
    return '\n'.join(lines)


def targets(roster, runs):
    def med(name, key):
        s = stats(runs[name], key)
        return s[0] if s else float('nan')

    def verdict(ok):
        return 'holds' if ok else 'MISSED'

    w = 'wavorbit'
    peers = [p.name for p in roster if p.name != w and not p.reference]
    out = []
    if w not in runs or 'sox' not in runs or not peers:
        return [('(needs wavorbit, sox and the other peers in the run)', '')]
    cpu, sox_cpu = med(w, 'cpu_s'), med('sox', 'cpu_s')
    out.append(('CPU <= sox / 5: %.3f <= %.3f' % (cpu, sox_cpu / 5),
                verdict(cpu <= sox_cpu / 5)))
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


def plot(roster, runs, datfile, png):
    with open(datfile, 'w') as f:
        f.write('# player cpu(med min max) rss1s(med min max) rss1g(med min max)\n')
        for p in roster:
            cells = []
            for key in ('cpu_s', 'rss_mb', 'rss1g_mb'):
                cells += ['%.4f' % x for x in stats(runs[p.name], key)]
            f.write('%s %s\n' % (p.name, ' '.join(cells)))
    script = '''
set terminal pngcairo size 1000,420 font "sans,10"
set output "{png}"
set multiplot layout 1,2 title "wavorbit and peers, looping a 1 s WAV (median, bars: min-max)"
set style data histogram
set style histogram errorbars gap 1 lw 1
set style fill solid 0.6 border -1
set grid ytics
set yrange [0:*]
set key top left
set title "CPU seconds over 20 s (user+sys, all threads)"
plot "{dat}" using 2:3:4:xtic(1) title "CPU s" lc rgb "#4878a8", \
     "" using 0:4:(sprintf("%.3f", $2)) with labels offset 0,0.8 notitle
set title "peak resident memory, MB"
plot "{dat}" using 5:6:7:xtic(1) title "1 s WAV" lc rgb "#58a060", \
     "" using 8:9:10 title "1 GB WAV" lc rgb "#c07840", \
     "" using ($0-0.17):6:(sprintf("%.1f", $5)) with labels offset 0,0.8 font ",8" notitle, \
     "" using ($0+0.17):9:(sprintf("%.1f", $8)) with labels offset 0,0.8 font ",8" notitle
unset multiplot
'''.format(png=png, dat=datfile)
    subprocess.run(['gnuplot'], input=script.encode(), check=True)


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


def markdown(roster, runs, table_text, args, host, load, path):
    lines = [
        '# Benchmarks',
        '',
        'Generated by `%s`; do not edit by hand.' % args.command,
        '',
        'wavorbit and the players people use instead loop the same 1 s WAV',
        '(44.1 kHz, 16-bit stereo noise) for %g s each, one after another, %d runs'
        % (args.seconds, args.runs),
        'each, through a private headless PulseAudio daemon whose null sink is',
        'recorded with `parec`. Each player is then run for 5 s on a 1 GB WAV for',
        'its peak resident memory. `aplay` is a reference, not a peer: it plays a',
        '30 s WAV once, which shows what ALSA and PulseAudio (whose client loads',
        'libsndfile too) cost on their own.',
        '',
        '- CPU: the sum over all threads of `/proc/PID/task/*/schedstat` (user +',
        '  system, in ns) from process start to the stop.',
        '- Peak RSS: `VmHWM` of `/proc/PID/status` just before the stop.',
        '- Start: from just before the process is spawned to the arrival of the',
        '  first sounding frame from the sink monitor (the sink mixes in 10 ms',
        '  blocks, so this is up to 10 ms after the player handed the frame over);',
        '  for wavorbit also to its prompt on standard output.',
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
    lines += ['', '## Results', '', '```', table_text, '```', '',
              '![CPU and memory per player](benchmarks.png)', '']
    with open(path, 'w') as f:
        f.write('\n'.join(lines))

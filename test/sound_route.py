#!/usr/bin/env python3
"""The sound routes that tests and the benchmark play through: a private,
headless sound server (PulseAudio, or PipeWire with WirePlumber) under a
short temporary folder, with one null sink "cap" (44100 Hz, s16le, stereo,
never resampled), a raw recording of that sink, and the private ALSA
configuration that sends ALSA's "default" of a client to that server.
Nothing of the machine's own sound setup is read or changed.

As a module:

    route = sound_route.open_route('pipewire', '/tmp/x')
    env = dict(os.environ, **route.client_env())   # for a player
    rec = route.record('cap', open('/tmp/x/c.raw', 'wb'))
    ...
    route.close()

As a controller (for the C++ tests):

    python3 test/sound_route.py ROUTE DIR        # ROUTE: pulse | pipewire

starts the server, records "cap" to DIR/capture.raw, prints NAME=VALUE
for each variable a client needs, then "ready" (or "error TEXT" and exits
with status 1).  Then it reads commands, one a line, and answers each with
"ok", "ok PATH" or "error TEXT" once the action has fully taken effect:

    kill              SIGKILL the server (and session manager) and the
                      recorders; remove the socket and lock they leave
    start             start them again at the same address and record
                      "cap" to a new file: "ok PATH"
    freeze / thaw     SIGSTOP / SIGCONT the server (and session manager)
    add-sink NAME     another null sink
    default NAME      make sink NAME the default
    remove-sink NAME  destroy sink NAME
    record NAME       record sink NAME to a new file: "ok PATH"
    quantum N         PipeWire only: run the graph in blocks of N frames
                      (0: the default, 1024 and up to 2048)

End of input or SIGTERM stops everything it started; the recordings stay.
"""
import ctypes
import glob
import json
import os
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PIPEWIRE_CONF = os.path.join(HERE, 'pipewire')
# Where scripts/install-deps.sh unpacks the pipewire-alsa package (which
# is not installed: it conflicts with PulseAudio and would make PipeWire
# the machine's ALSA default).
PIPEWIRE_ALSA_DIR = os.environ.get('WAVORBIT_PIPEWIRE_ALSA_DIR',
                                   '/usr/local/lib/wavorbit-test/pipewire-alsa')
SINK = 'cap'
RATE = 44100
CHANNELS = 2
# Generous: only a server that hangs takes this long.
DEADLINE = 10.0

# The ALSA file route, for tests and scripts that need no sound server:
# ALSA's "default" writes what is played to the file or "|command" named
# in WAVORBIT_TEST_SINK.
ALSA_FILE_ROUTE = os.path.join(HERE, 'alsa-file-route.conf')


def file_route_env(sink):
    """The variables that send a client's sound to |sink|."""
    return {'ALSA_CONFIG_PATH': ALSA_FILE_ROUTE, 'WAVORBIT_TEST_SINK': sink}


class RouteError(Exception):
    pass


def _die_with_parent():
    # A helper killed outright must not leave daemons behind.
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def _wait_for(what, check, procs=()):
    deadline = time.monotonic() + DEADLINE
    while True:
        if check():
            return
        for p in procs:
            if p.poll() is not None:
                raise RouteError('%s: %s exited with status %d'
                                 % (what, os.path.basename(p.args[0]), p.returncode))
        if time.monotonic() > deadline:
            raise RouteError('%s: not after %g s' % (what, DEADLINE))
        time.sleep(0.01)


def _stop(proc, sig=signal.SIGTERM):
    if proc is None or proc.poll() is not None:
        return
    proc.send_signal(sig)
    if sig != signal.SIGKILL:
        proc.send_signal(signal.SIGCONT)  # a frozen server takes it too
    try:
        proc.wait(5)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def _remove(path):
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


class Route:
    """One private server; subclasses say which."""

    def __init__(self, root):
        self.root = os.path.abspath(root)
        os.makedirs(self.root, exist_ok=True)
        self.home = os.path.join(self.root, 'home')
        os.makedirs(self.home, exist_ok=True)
        self.asound_conf = os.path.join(self.root, 'asound.conf')
        with open(self.asound_conf, 'w') as f:
            f.write(self.alsa_config())
        self.recorders = []
        self.serial = 0
        self.log = open(os.path.join(self.root, self.name + '.log'), 'ab')

    def run(self, argv, check=True):
        """Runs a control command of the server; its standard output."""
        r = subprocess.run(argv, env=self.env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if check and r.returncode != 0:
            raise RouteError('%s: %s' % (' '.join(argv),
                                         r.stderr.decode(errors='replace').strip()))
        return r.stdout.decode(errors='replace') if r.returncode == 0 else None

    def spawn(self, argv, stdout=None):
        return subprocess.Popen(argv, env=self.env, stdin=subprocess.DEVNULL,
                                stdout=stdout if stdout is not None else self.log,
                                stderr=self.log, preexec_fn=_die_with_parent)

    def record(self, sink, out):
        """Starts recording |sink| raw (s16le, 44100 Hz, stereo) to |out|
        (a file object, or subprocess.PIPE); returns the recorder's Popen
        once the server delivers to it."""
        self.serial += 1
        name = 'rec-%d' % self.serial
        proc = self.spawn(self.record_command(sink, name), stdout=out)
        self.recorders.append(proc)
        _wait_for('recorder of ' + sink, lambda: self.recording(name), [proc])
        return proc

    def stop_recorders(self, sig=signal.SIGTERM):
        for p in self.recorders:
            _stop(p, sig)
        self.recorders = []

    def client_env(self):
        """The variables a client needs, and only those."""
        return dict(self.client_vars, ALSA_CONFIG_PATH=self.asound_conf)

    def close(self):
        self.stop_recorders()
        self.stop_server(signal.SIGTERM)
        self.log.close()


class Pulse(Route):
    name = 'pulse'

    def __init__(self, root):
        super().__init__(root)
        self.runtime = os.path.join(self.root, 'pulse')
        os.makedirs(self.runtime, exist_ok=True)
        client_conf = os.path.join(self.root, 'pulse-client.conf')
        with open(client_conf, 'w') as f:
            f.write('autospawn = no\n')
        self.client_vars = {
            'PULSE_SERVER': 'unix:' + os.path.join(self.runtime, 'native'),
            'PULSE_CLIENTCONFIG': client_conf,
        }
        self.env = dict(os.environ, HOME=self.home, PULSE_RUNTIME_PATH=self.runtime,
                        PULSE_STATE_PATH=self.runtime, **self.client_vars)
        for v in ('DISPLAY', 'WAYLAND_DISPLAY', 'DBUS_SESSION_BUS_ADDRESS'):
            self.env.pop(v, None)
        self.daemon = None
        self.modules = {}  # sink name -> module index, for sinks added later

    @staticmethod
    def alsa_config():
        return 'pcm.!default { type pulse }\nctl.!default { type pulse }\n'

    @staticmethod
    def sink_args(name):
        return ('module-null-sink sink_name=%s norewinds=1 format=s16le rate=%d '
                'channels=%d' % (name, RATE, CHANNELS))

    def start_server(self):
        self.daemon = self.spawn(
            ['pulseaudio', '-n', '--daemonize=no', '--exit-idle-time=-1',
             '--disallow-exit', '--realtime=no', '--high-priority=no',
             '--log-target=stderr',
             '-L', 'module-native-protocol-unix auth-anonymous=1',
             '-L', self.sink_args(SINK)])
        self.modules = {}
        _wait_for('pulseaudio', lambda: SINK in self.sinks(), [self.daemon])

    def sinks(self):
        out = self.run(['pactl', 'list', 'short', 'sinks'], check=False)
        return [line.split('\t')[1] for line in (out or '').splitlines()]

    def stop_server(self, sig):
        _stop(self.daemon, sig)
        self.daemon = None
        # What a killed daemon leaves behind and a new one trips over.
        _remove(os.path.join(self.runtime, 'native'))
        _remove(os.path.join(self.runtime, 'pid'))

    def server_pids(self):
        return [self.daemon.pid] if self.daemon else []

    def add_sink(self, name):
        args = self.sink_args(name).split(' ', 1)
        self.modules[name] = self.run(['pactl', 'load-module'] + args).strip()

    def set_default(self, name):
        self.run(['pactl', 'set-default-sink', name])
        _wait_for('default sink ' + name,
                  lambda: (self.run(['pactl', 'get-default-sink']) or '').strip() == name)

    def remove_sink(self, name):
        index = self.modules.pop(name, None)
        if index is None:  # one the daemon was started with
            for line in self.run(['pactl', 'list', 'short', 'modules']).splitlines():
                fields = line.split('\t')
                if len(fields) > 2 and 'sink_name=%s ' % name in fields[2] + ' ':
                    index = fields[0]
        if index is None:
            raise RouteError('no sink ' + name)
        self.run(['pactl', 'unload-module', index])

    def record_command(self, sink, name):
        return ['parec', '--raw', '-d', sink + '.monitor', '--format=s16le',
                '--rate=%d' % RATE, '--channels=%d' % CHANNELS,
                '--latency-msec=10', '--stream-name=' + name]

    def recording(self, name):
        out = self.run(['pactl', 'list', 'source-outputs'], check=False) or ''
        return 'media.name = "%s"' % name in out


class PipeWire(Route):
    name = 'pipewire'

    def __init__(self, root):
        super().__init__(root)
        # A socket's path holds at most 107 bytes.
        self.socket = os.path.join(self.root, 'pipewire-0')
        if len(self.socket.encode()) > 107:
            raise RouteError('folder name too long for a socket: ' + self.root)
        self.client_vars = {
            'PIPEWIRE_REMOTE': self.socket,
            # The client configuration without the real-time module, which
            # as root gives every client a SCHED_FIFO thread.
            'PIPEWIRE_CONFIG_DIR': PIPEWIRE_CONF,
        }
        self.env = dict(os.environ, HOME=self.home, XDG_RUNTIME_DIR=self.root,
                        PIPEWIRE_RUNTIME_DIR=self.root,
                        XDG_CONFIG_HOME=os.path.join(self.home, 'config'),
                        XDG_STATE_HOME=os.path.join(self.home, 'state'),
                        WIREPLUMBER_CONFIG_DIR=os.path.join(PIPEWIRE_CONF, 'wireplumber'),
                        **self.client_vars)
        for v in ('DISPLAY', 'WAYLAND_DISPLAY', 'DBUS_SESSION_BUS_ADDRESS'):
            self.env.pop(v, None)
        self.daemon = None
        self.session = None

    @staticmethod
    def alsa_config():
        plugins = glob.glob(os.path.join(PIPEWIRE_ALSA_DIR, '**',
                                         'libasound_module_pcm_pipewire.so'),
                            recursive=True)
        if not plugins:
            raise RouteError('no PipeWire ALSA plugin under %s: run '
                             'scripts/install-deps.sh --pipewire' % PIPEWIRE_ALSA_DIR)
        lib = os.path.dirname(plugins[0])
        return ('pcm_type.pipewire { lib "%s/libasound_module_pcm_pipewire.so" }\n'
                'ctl_type.pipewire { lib "%s/libasound_module_ctl_pipewire.so" }\n'
                'pcm.!default { type pipewire }\n'
                'ctl.!default { type pipewire }\n' % (lib, lib))

    def start_server(self):
        # An absolute path: a relative one is looked up in the system's
        # folders, and the daemon then runs without a socket.
        self.daemon = self.spawn(['pipewire', '-c',
                                  os.path.join(PIPEWIRE_CONF, 'pipewire.conf')])
        _wait_for('pipewire', lambda: self.run(['pw-cli', 'info', '0'], check=False),
                  [self.daemon])
        # WirePlumber quits when the socket is not there yet.
        self.session = self.spawn(['wireplumber'])
        _wait_for('wireplumber', lambda: self.default_sink() == SINK,
                  [self.daemon, self.session])

    def default_sink(self):
        out = self.run(['pw-metadata', '-n', 'default', '0', 'default.audio.sink'],
                       check=False) or ''
        for line in out.splitlines():
            if "key:'default.audio.sink'" in line:
                value = line.split("value:'", 1)[1].split("'", 1)[0]
                try:
                    return json.loads(value).get('name')
                except ValueError:
                    return None
        return None

    def stop_server(self, sig):
        _stop(self.session, sig)
        _stop(self.daemon, sig)
        self.session = self.daemon = None
        _remove(self.socket)
        _remove(self.socket + '.lock')

    def server_pids(self):
        return [p.pid for p in (self.daemon, self.session) if p]

    def nodes(self):
        """node.name -> id of the graph's nodes."""
        objects = json.loads(self.run(['pw-dump']) or '[]')
        return {o['info']['props'].get('node.name'): o['id'] for o in objects
                if o.get('type') == 'PipeWire:Interface:Node'}

    def add_sink(self, name):
        self.run(['pw-cli', 'create-node', 'adapter',
                  '{ factory.name = support.null-audio-sink node.name = "%s" '
                  'media.class = Audio/Sink audio.rate = %d audio.position = [ FL FR ] '
                  'monitor.channel-volumes = false object.linger = true }' % (name, RATE)])
        _wait_for('sink ' + name, lambda: name in self.nodes())

    def set_default(self, name):
        self.run(['pw-metadata', '-n', 'default', '0', 'default.configured.audio.sink',
                  '{ "name": "%s" }' % name, 'Spa:String:JSON'])
        _wait_for('default sink ' + name, lambda: self.default_sink() == name)

    def remove_sink(self, name):
        node = self.nodes().get(name)
        if node is None:
            raise RouteError('no sink ' + name)
        self.run(['pw-cli', 'destroy', str(node)])
        _wait_for('removal of ' + name, lambda: name not in self.nodes())

    def settings(self):
        out = self.run(['pw-metadata', '-n', 'settings', '0'], check=False) or ''
        found = {}
        for line in out.splitlines():
            if "key:'" in line and "value:'" in line:
                key = line.split("key:'", 1)[1].split("'", 1)[0]
                found[key] = line.split("value:'", 1)[1].split("'", 1)[0]
        return found

    def set_quantum(self, frames):
        # The default graph runs in blocks of 1024 frames, and of up to 2048
        # when every client asks for that much latency.
        want = {'clock.max-quantum': str(max(frames, 2048)),
                'clock.force-quantum': str(frames)}
        for key, value in want.items():
            self.run(['pw-metadata', '-n', 'settings', '0', key, value])
        _wait_for('quantum %d' % frames,
                  lambda: all(self.settings().get(k) == v for k, v in want.items()))

    def record_command(self, sink, name):
        return ['pw-record', '--target', sink,
                '-P', '{ stream.capture.sink = true node.name = %s }' % name,
                '--format', 's16', '--rate', str(RATE), '--channels', str(CHANNELS), '-']

    def recording(self, name):
        # Both of its input ports linked.
        out = self.run(['pw-link', '-l'], check=False) or ''
        lines = out.splitlines()
        linked = 0
        for i, line in enumerate(lines[:-1]):
            if line.startswith(name + ':input_') and lines[i + 1].lstrip().startswith('|<-'):
                linked += 1
        return linked == CHANNELS


ROUTES = {'pulse': Pulse, 'pipewire': PipeWire}


def open_route(kind, root):
    """Starts the private server of route |kind| under |root|."""
    route = ROUTES[kind](root)
    try:
        route.start_server()
    except BaseException:
        route.close()
        raise
    return route


class Controller:
    def __init__(self, route):
        self.route = route
        self.files = 0

    def record_to_file(self, sink):
        self.files += 1
        suffix = '' if self.files == 1 else '-%d' % self.files
        path = os.path.join(self.route.root, 'capture%s.raw' % suffix)
        with open(path, 'ab') as out:
            self.route.record(sink, out)
        return path

    def command(self, line):
        words = line.split()
        if not words:
            raise RouteError('empty command')
        verb, args = words[0], words[1:]
        route = self.route
        arity = {'kill': 0, 'start': 0, 'freeze': 0, 'thaw': 0, 'add-sink': 1,
                 'default': 1, 'remove-sink': 1, 'record': 1, 'quantum': 1}
        if verb not in arity:
            raise RouteError('unknown command ' + verb)
        if len(args) != arity[verb]:
            raise RouteError('%s takes %d argument(s)' % (verb, arity[verb]))
        if verb == 'kill':
            route.stop_recorders(signal.SIGKILL)
            route.stop_server(signal.SIGKILL)
        elif verb == 'start':
            route.stop_server(signal.SIGKILL)
            route.start_server()
            return self.record_to_file(SINK)
        elif verb in ('freeze', 'thaw'):
            pids = route.server_pids()
            if not pids:
                raise RouteError('no server running')
            for pid in pids:
                os.kill(pid, signal.SIGSTOP if verb == 'freeze' else signal.SIGCONT)
            if verb == 'freeze':
                _wait_for('freeze', lambda: all(_state(p) == 'T' for p in pids))
        elif verb == 'add-sink':
            route.add_sink(args[0])
        elif verb == 'default':
            route.set_default(args[0])
        elif verb == 'remove-sink':
            route.remove_sink(args[0])
        elif verb == 'record':
            return self.record_to_file(args[0])
        elif verb == 'quantum':
            if not hasattr(route, 'set_quantum'):
                raise RouteError('%s has no graph quantum' % route.name)
            if not args[0].isdigit():
                raise RouteError('quantum takes a number of frames')
            route.set_quantum(int(args[0]))
        return None


def _state(pid):
    with open('/proc/%d/stat' % pid) as f:
        return f.read().rsplit(')', 1)[1].split()[0]


def _say(text):
    sys.stdout.write(text + '\n')
    sys.stdout.flush()


def main(argv):
    if len(argv) != 3 or argv[1] not in ROUTES:
        sys.stderr.write('usage: sound_route.py pulse|pipewire DIR\n')
        return 2
    # SIGTERM ends the input loop the way end of input does.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    route = None
    try:
        try:
            route = open_route(argv[1], argv[2])
            control = Controller(route)
            control.record_to_file(SINK)
        except (RouteError, OSError) as e:
            _say('error %s' % e)
            return 1
        for name, value in sorted(route.client_env().items()):
            _say('%s=%s' % (name, value))
        _say('ready')
        for line in sys.stdin:
            try:
                path = control.command(line)
                _say('ok' if path is None else 'ok ' + path)
            except (RouteError, OSError) as e:
                _say('error %s' % str(e).replace('\n', ' '))
        return 0
    finally:
        if route is not None:
            route.close()


if __name__ == '__main__':
    sys.exit(main(sys.argv))

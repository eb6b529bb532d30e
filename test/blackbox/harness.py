"""What the black-box tests of a built wavorbit share: the project's
version and the texts the program prints, running a program with chosen
standard streams and environment, following a looped sound in a
recording, and a unittest runner that prints one line per check and
closes with "N passed, N failed".

Also puts test/ on the module path, for sound_route and wavfile.
"""
import collections
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import traceback
import unittest

TEST_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROOT = os.path.dirname(TEST_DIR)
sys.path.insert(0, TEST_DIR)

from wavfile import FRAME_BYTES  # noqa: E402


def _project_version():
    with open(os.path.join(ROOT, 'CMakeLists.txt')) as f:
        found = re.search(r'^project\(wavorbit VERSION ([0-9.]+)', f.read(), re.M)
    if not found:
        raise RuntimeError('no version in CMakeLists.txt')
    return found.group(1)


# The version every artefact must carry: CMakeLists.txt's, read once here.
VERSION = _project_version()

# What the program prints, byte for byte, on every platform.
CRLF = b'\r\n'
BANNER = b'wavorbit ' + VERSION.encode()
HELP_TEXT = (BANNER + CRLF + b'wavorbit - waveaudio loop playback' + CRLF +
             b'  usage : wavorbit foo.wav')
NO_FILE_TEXT = BANNER + CRLF + b'***ERROR : please specify playback file name'
PLAY_ERROR_TEXT = BANNER + CRLF + b'***ERROR : file open or playback error'
PROMPT = b'hit return key to stop...'
# The status of a program that could not write its text or read its input.
CONSOLE_FAILURE = 217

# Only a hang takes this long.
DEADLINE = 60.0

CLOSED = 'closed'  # a standard input that is not open at all
PIPE = subprocess.PIPE

Ran = collections.namedtuple('Ran', 'status out err')


class Running:
    """A started program; |proc| is its Popen."""

    def __init__(self, proc, out, err):
        self.proc = proc
        self._out = out
        self._err = err

    def running(self):
        return self.proc.poll() is None

    def output(self):
        """Its standard output so far (when that goes to the default
        file)."""
        if self._out is None:
            return b''
        self._out.seek(0)
        return self._out.read()

    def finish(self, timeout=DEADLINE):
        """Waits for the end; a program still running after |timeout|
        seconds is killed and the wait fails."""
        try:
            status = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError('still running after %g s' % timeout)
        return self._result(status)

    def kill(self):
        if self.running():
            self.proc.kill()
        status = self.proc.wait()
        self._close()
        return status

    def _result(self, status):
        # A signal reads as a shell shows it: 128 + its number.
        if status < 0:
            status = 128 - status
        ran = Ran(status, self.output(), self._read(self._err))
        self._close()
        return ran

    @staticmethod
    def _read(f):
        f.seek(0)
        return f.read()

    def _close(self):
        for f in (self._out, self._err):
            if f is not None:
                f.close()
        if self.proc.stdin is not None:
            self.proc.stdin.close()


def start(argv, stdin=None, stdout=None, env=None, cwd=None):
    """Starts |argv| with the given standard streams.
    stdin: None for /dev/null, CLOSED, PIPE, or a file object or descriptor.
    stdout: None for a temporary file (read by output() and finish()), or a
    file object or descriptor.  Standard error goes to a temporary file.
    env: variables set over this process's environment; a value of None
    removes the variable."""
    full_env = dict(os.environ)
    for name, value in (env or {}).items():
        if value is None:
            full_env.pop(name, None)
        else:
            full_env[name] = value
    out = tempfile.TemporaryFile() if stdout is None else None
    err = tempfile.TemporaryFile()
    closed = stdin is CLOSED
    proc = subprocess.Popen(
        argv, stdin=subprocess.DEVNULL if stdin is None or closed else stdin,
        stdout=out if stdout is None else stdout, stderr=err, env=full_env,
        cwd=cwd, preexec_fn=(lambda: os.close(0)) if closed else None)
    return Running(proc, out, err)


def run(argv, stdin=None, stdout=None, env=None, cwd=None, timeout=DEADLINE):
    """start() and finish(): the program's status, output and error
    output."""
    return start(argv, stdin, stdout, env, cwd).finish(timeout)


def wait_for(condition, seconds, interval=0.05):
    """Polls |condition| until it holds or |seconds| pass; whether it
    held."""
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(interval)
    return True


def shown(data, limit=300):
    """Bytes as a failure message shows them."""
    text = repr(bytes(data[:limit]))
    return text + ('...' if len(data) > limit else '')


def assert_ran(test, ran, status, out, err=b''):
    """|ran| ended with |status|, printed |out| exactly and |err| on
    standard error."""
    test.assertEqual(ran.status, status, 'status %d, expected %d; output %s, '
                     'error output %s' % (ran.status, status, shown(ran.out),
                                          shown(ran.err)))
    test.assertEqual(ran.out, out, 'standard output %s, expected %s'
                     % (shown(ran.out), shown(out)))
    test.assertEqual(ran.err, err, 'standard error %s' % shown(ran.err))


def assert_console_failure(test, ran):
    """|ran| ended with the console failure's status and one report line."""
    test.assertEqual(ran.status, CONSOLE_FAILURE, 'status %d, expected %d'
                     % (ran.status, CONSOLE_FAILURE))
    lines = ran.err.splitlines(keepends=True)
    test.assertTrue(len(lines) == 1 and lines[0].startswith(b'wavorbit: ')
                    and lines[0].endswith(b'\n'),
                    'standard error %s, expected one line "wavorbit: ..."'
                    % shown(ran.err))


# What reached a sink while a loop played.
SILENT_FRAME = b'\0' * FRAME_BYTES

LoopHeard = collections.namedtuple('LoopHeard', 'frames captured bad seamless')


def follow_loop(capture, loop):
    """Walks |capture| (raw frames recorded from a sink) as |loop| played
    over and over from its frame 0, silent frames aside (|loop| has none).
    frames: how many frames of sound followed the loop; captured: the
    frames in the capture; bad: the first capture frame that did not
    follow it, or None; seamless: whether some turn ran into the next
    with no silence between."""
    period = len(loop) // FRAME_BYTES
    captured = len(capture) // FRAME_BYTES
    expected = heard = sounding = 0
    seamless = False
    for index in range(captured):
        frame = capture[index * FRAME_BYTES:(index + 1) * FRAME_BYTES]
        if frame == SILENT_FRAME:
            sounding = 0
            continue
        if frame != loop[expected * FRAME_BYTES:(expected + 1) * FRAME_BYTES]:
            return LoopHeard(heard, captured, index, seamless)
        heard += 1
        sounding += 1
        expected += 1
        if expected == period:
            expected = 0
        elif expected == 1 and sounding > 1:
            seamless = True
    return LoopHeard(heard, captured, None, seamless)


def loop_problems(capture, loop, silent_tail_frames):
    """What is wrong with |capture| as the recording of |loop| looped and
    then stopped: any frame that is not the loop's next, fewer than two
    full turns, no turn joined to the next without a gap, or sound in its
    last |silent_tail_frames| frames.  Returns (summary, problems)."""
    period = len(loop) // FRAME_BYTES
    heard = follow_loop(capture, loop)
    problems = []
    if heard.bad is not None:
        problems.append('frame %d is not frame %d of the loop'
                        % (heard.bad, heard.frames % period))
    if heard.frames < 2 * period:
        problems.append('only %d frames of sound, a turn is %d' % (heard.frames, period))
    if not heard.seamless:
        problems.append('no turn ran into the next without a gap')
    recorded = capture[:heard.captured * FRAME_BYTES]
    tail = recorded[len(recorded) - silent_tail_frames * FRAME_BYTES:]
    if heard.captured < silent_tail_frames or tail.strip(b'\0'):
        problems.append('the last %d frames of the capture are not silent'
                        % silent_tail_frames)
    summary = ('%d frames captured, %d of them the loop (%.2f turns)'
               % (heard.captured, heard.frames, heard.frames / period))
    return summary, problems


# The runner.
class TestCase(unittest.TestCase):
    """A table's base: its docstring heads its section of the output."""
    # A failure shows the message its check gives, not the values compared.
    longMessage = False

    @classmethod
    def setUpClass(cls):
        # Here, not in startTest: the steps of a subclass's set-up belong
        # to its section.
        if cls.__doc__:
            print('== %s' % cls.__doc__.strip().split('\n')[0], flush=True)


class _Checks(unittest.TestResult):
    """Prints "ok", "FAIL" or "skip" and a name for each check: each
    subtest, each test without subtests, and each step() of a class or
    module set-up."""

    def __init__(self):
        super().__init__()
        self.passed = self.failed = self.skipped = 0
        self._with_subtests = set()

    @staticmethod
    def _name(test):
        if isinstance(test, unittest.case._SubTest):
            return test._message if isinstance(test._message, str) else test.params_str()
        if hasattr(test, 'description'):  # a set-up or tear-down that failed
            return test.description
        return test.shortDescription() or test.id().rsplit('.', 1)[-1]

    @staticmethod
    def _reason(test, err):
        kind, value, tb = err
        if issubclass(kind, AssertionError):
            return str(value).split('\n\n')[0].replace('\n', ' ')
        # An error: what it was, and the line of the tests that met it.
        here = os.path.dirname(os.path.abspath(__file__))
        ours = [f for f in traceback.extract_tb(tb) if f.filename.startswith(here)]
        where = ' (%s:%d)' % (os.path.basename(ours[-1].filename), ours[-1].lineno) if ours else ''
        return '%s: %s%s' % (kind.__name__, value, where)

    def ok(self, name):
        self.passed += 1
        print('ok    %s' % name, flush=True)

    def fail(self, name, reason):
        self.failed += 1
        print('FAIL  %s: %s' % (name, reason), flush=True)

    def addSubTest(self, test, subtest, err):
        super().addSubTest(test, subtest, err)
        self._with_subtests.add(test.id())
        if err is None:
            self.ok(self._name(subtest))
        else:
            self.fail(self._name(subtest), self._reason(subtest, err))

    def addSuccess(self, test):
        super().addSuccess(test)
        if test.id() not in self._with_subtests:
            self.ok(self._name(test))

    def addFailure(self, test, err):
        super().addFailure(test, err)
        self.fail(self._name(test), self._reason(test, err))

    def addError(self, test, err):
        super().addError(test, err)
        if isinstance(err[1], StepFailed):  # a set-up that failed at a step
            self.fail(err[1].name, err[1].reason)
        else:
            self.fail(self._name(test), self._reason(test, err))

    def addSkip(self, test, reason):
        super().addSkip(test, reason)
        self.skipped += 1
        print('skip  %s: %s' % (self._name(test), reason), flush=True)


_checks = None


class StepFailed(AssertionError):
    def __init__(self, name, reason):
        super().__init__('%s: %s' % (name, reason))
        self.name = name
        self.reason = reason


def step(name, action, *args, **kwargs):
    """A step the checks after it cannot do without, in a set-up: runs
    action(*args, **kwargs), which raises when it fails.  Counted as a check; when it
    fails nothing after it runs."""
    try:
        result = action(*args, **kwargs)
    except Exception as e:
        if _checks is not None:
            _checks.stop()
        reason = str(e) if isinstance(e, AssertionError) else '%s: %s' % (type(e).__name__, e)
        raise StepFailed(name, reason) from e
    if _checks is not None:
        _checks.ok(name)
    return result


def checked_run(argv, what=None, **kwargs):
    """run() for a step: fails with the tail of its output unless the
    status is 0; returns the output."""
    ran = run(argv, **kwargs)
    if ran.status != 0:
        tail = b'\n'.join((ran.out + ran.err).splitlines()[-20:])
        raise AssertionError('%s: status %d: %s' % (what or ' '.join(argv), ran.status,
                                                  tail.decode(errors='replace')))
    return ran.out


def _interrupt(signum, frame):
    raise KeyboardInterrupt


def main(*classes):
    """Runs the tests of |classes| in the order they are written, each
    class's tests in the order they are written; prints the closing line;
    returns the process's exit status.  What the tests start for all of
    them the caller stops in a finally: an interrupted run skips the
    tear-downs."""
    global _checks
    suite = unittest.TestSuite()
    for cls in classes:
        for name, value in vars(cls).items():
            if name.startswith('test') and callable(value):
                suite.addTest(cls(name))
    _checks = _Checks()
    # SIGTERM ends the run the way Ctrl+C does: out of the tests at once,
    # through the caller's clean-up.
    signal.signal(signal.SIGTERM, _interrupt)
    try:
        suite.run(_checks)
    except KeyboardInterrupt:
        print('interrupted after %d passed, %d failed' % (_checks.passed, _checks.failed),
              flush=True)
        return 130
    line = '%d passed, %d failed' % (_checks.passed, _checks.failed)
    if _checks.skipped:
        line += ', %d skipped' % _checks.skipped
    print(line, flush=True)
    return 1 if _checks.failed or not _checks.wasSuccessful() else 0

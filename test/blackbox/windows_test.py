#!/usr/bin/env python3
"""The cross-built wavorbit.exe and its zip under Wine, as a black box: the
version resource and manifest as Windows reads them, the zip's contents,
texts and statuses byte for byte, console failures, the wait for the line
end, and the looped sound reaching a private PulseAudio null sink sample
for sample.

    windows_test.py BUILD

BUILD holds wavorbit.exe, the zip cpack made of it, and version_info.exe
(test/version_info.cpp).  Headless, reads no standard input; its Wine
prefix, wineserver and sound server are private to a temporary folder and
stopped at the end.
"""
import fnmatch
import os
import re
import shutil
import sys
import tempfile
import time
import zipfile

import harness
from harness import (BANNER, CLOSED, HELP_TEXT, NO_FILE_TEXT, PROMPT, ROOT, VERSION,
                     assert_console_failure, assert_ran, checked_run, step)
import sound_route
import wavfile

WINE = '/usr/lib/wine/wine64'
WINESERVER = '/usr/lib/wine/wineserver64'
FOLDER = 'wavorbit-%s-win64' % VERSION

BUILD = None
WORK = None
EXE = None
ENV = None     # Wine's: a private prefix and home, the private sound server
ROUTE = None
# The sound fixture: 6615 frames (0.15 s) of noise, no silent frame.
LOOP = wavfile.noise_frames(6615)
WAV = None
# The runs that reach the wait name a file that is not there: under Wine
# the asynchronous sound call still reports success, so the program
# prompts and waits, and no stream reaches the sound server.  Wine 8 with
# a live Pulse stream dies of SIGSEGV at process exit now and then (see
# Sound), so only the sound test plays the fixture.
ABSENT = None


def wine(args, exe=None, **kwargs):
    return harness.run([WINE, exe or EXE] + args, env=ENV, **kwargs)


def wine_start(args, **kwargs):
    return harness.start([WINE, EXE] + args, env=ENV, **kwargs)


def windows_path(path):
    return 'Z:' + path.replace('/', '\\')


def setUpModule():
    global WORK, ENV, ROUTE, WAV, ABSENT
    WORK = tempfile.mkdtemp(prefix='wavorbit-wine.')
    print('== a private sound server and Wine prefix', flush=True)
    ROUTE = step('a private PulseAudio with a null sink', sound_route.open_route,
                 'pulse', os.path.join(WORK, 'sound'))
    ROUTE.set_default(sound_route.SINK)
    os.makedirs(os.path.join(WORK, 'home'))
    ENV = dict(ROUTE.client_env(), HOME=os.path.join(WORK, 'home'),
               WINEPREFIX=os.path.join(WORK, 'prefix'), WINEDEBUG='-all',
               WINEDLLOVERRIDES='winemenubuilder.exe=d',
               DISPLAY=None, WAYLAND_DISPLAY=None)

    step('a private Wine prefix', checked_run, [WINE, 'wineboot', '-i'], env=ENV, timeout=300)
    harness.run([WINESERVER, '-w'], env=ENV, timeout=300)
    # A server kept up between the runs, and Wine's own helper processes
    # started once with nothing of the tests' open.  Only to get them
    # going: what the tests need of them the tests check.
    harness.run([WINESERVER, '-p'], env=ENV)
    harness.run([WINE, 'cmd', '/c', 'exit'], env=ENV)
    WAV = os.path.join(WORK, 'loop.wav')
    wavfile.write_wav(WAV, LOOP)
    ABSENT = os.path.join(WORK, 'absent.wav')


def clean_up():
    if WORK is None:
        return
    if ENV is not None:
        harness.run([WINESERVER, '-k'], env=ENV)
    if ROUTE is not None:
        ROUTE.close()
    shutil.rmtree(WORK, ignore_errors=True)


class Imports(harness.TestCase):
    """what the exe needs"""

    def test_imports(self):
        """imports only KERNEL32, msvcrt and WINMM"""
        dump = checked_run(['x86_64-w64-mingw32-objdump', '-p', EXE]).decode()
        dlls = sorted(re.findall(r'^\s*DLL Name: (\S+)', dump, re.M))
        self.assertEqual(dlls, ['KERNEL32.dll', 'WINMM.dll', 'msvcrt.dll'],
                         'imports %s' % ' '.join(dlls))


class Resources(harness.TestCase):
    """version resource and manifest, read back by Windows' own calls"""

    def test_resources(self):
        ran = harness.run([WINE, os.path.join(BUILD, 'version_info.exe'), EXE], env=ENV)
        self.assertEqual(ran.status, 0, 'version_info.exe: status %d: %s'
                         % (ran.status, harness.shown(ran.out + ran.err, 600)))
        lines = ran.out.decode(errors='replace').replace('\r', '').split('\n')
        with open(os.path.join(ROOT, 'LICENSE')) as f:
            copyright = next(line for line in f.read().splitlines()
                             if line.startswith('Copyright '))
        # The version comes from CMakeLists.txt, the copyright from LICENSE.
        for want in ['FixedFileVersion=%s.0' % VERSION, 'FixedProductVersion=%s.0' % VERSION,
                     'FileVersion=' + VERSION, 'ProductVersion=' + VERSION,
                     'ProductName=wavorbit', 'OriginalFilename=wavorbit.exe',
                     'LegalCopyright=' + copyright, 'FileDescription=?*',
                     '*level="asInvoker"*',
                     '*<supportedOS Id="{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"/>*',
                     '*<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>*']:
            with self.subTest('resource: ' + want):
                self.assertTrue(any(fnmatch.fnmatchcase(line, want) for line in lines),
                                harness.shown(ran.out, 600))


class Zip(harness.TestCase):
    """the zip"""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.zip = os.path.join(BUILD, FOLDER + '.zip')
        with zipfile.ZipFile(cls.zip) as z:
            cls.names = sorted(z.namelist())
            cls.bad_member = z.testzip()
            z.extractall(os.path.join(WORK, 'unzipped'))
        cls.unzipped = os.path.join(WORK, 'unzipped', FOLDER)

    def test_contents(self):
        with self.subTest('%s holds %s/ with wavorbit.exe, LICENSE.txt, README.txt'
                          % (os.path.basename(self.zip), FOLDER)):
            self.assertEqual(self.names, [FOLDER + '/LICENSE.txt', FOLDER + '/README.txt',
                                          FOLDER + '/wavorbit.exe'], ' '.join(self.names))
            self.assertIsNone(self.bad_member, '%s fails its CRC' % self.bad_member)
        with self.subTest('LICENSE.txt is LICENSE with CR LF line ends'):
            with open(os.path.join(ROOT, 'LICENSE'), 'rb') as f:
                want = f.read().replace(b'\n', b'\r\n')
            with open(os.path.join(self.unzipped, 'LICENSE.txt'), 'rb') as f:
                self.assertEqual(f.read(), want, 'differs')
        with self.subTest("unpacked wavorbit.exe -h shows '%s'" % BANNER.decode()):
            assert_ran(self, wine(['-h'], exe=os.path.join(self.unzipped, 'wavorbit.exe')),
                       0, HELP_TEXT)

    def test_readme_statuses(self):
        # Every exit status README.md lists, in the Windows README's list.
        with open(os.path.join(ROOT, 'README.md')) as f:
            statuses = re.findall(r'^\| ([0-9]+) \|', f.read(), re.M)
        self.assertTrue(statuses, 'README.md lists no exit status')
        with open(os.path.join(self.unzipped, 'README.txt'), errors='replace') as f:
            readme = f.read()
        for status in statuses:
            with self.subTest('README.txt explains exit status ' + status):
                self.assertRegex(readme, re.compile('^  %s +[a-z]' % status, re.M),
                                 'not in its list')


class Texts(harness.TestCase):
    """texts and statuses"""

    def test_arguments(self):
        cases = [('help: ' + arg, [arg], 0, HELP_TEXT)
                 for arg in ['-h', '/h', '-H', '/H', '-?', '/?', '-help', '/Hz.wav', '-?x']]
        cases += [
            ('no argument', [], 1, NO_FILE_TEXT),
            # Wine hands each argument on, quoted when it holds a blank, so
            # the raw line here reads "-h x": the quotes open before the
            # prefix and are dropped.
            ('quoted: "-h x"', ['-h x'], 0, HELP_TEXT),
            # Raw line " -h": the blank inside the quotes comes first, so no
            # help; the name " -h.wav" then goes to the sound call.
            ('quoted: " -h"', [' -h'], 0, PROMPT),
            # Raw line "": one empty argument, not none; ".wav" goes to the
            # sound call.
            ('empty argument ""', [''], 0, PROMPT),
        ]
        cases += [('not help: ' + arg, [arg], 0, PROMPT) for arg in ['--help', 'h', '?']]
        # Trailing words are ignored.
        cases.append(('second argument ignored', ['-h', ABSENT], 0, HELP_TEXT))
        for name, args, status, text in cases:
            with self.subTest(name):
                assert_ran(self, wine(args), status, text)
        # The failed start (banner and "***ERROR : file open or playback
        # error", status 1) is not shown: under Wine the asynchronous
        # sndPlaySoundA returns non-zero even for a missing file, as the
        # not-help cases show.
        print('note  the failed start cannot be shown under Wine (its asynchronous '
              'sndPlaySoundA reports success for a missing file)', flush=True)

    def test_raw_lines(self):
        # Raw lines exactly as typed: cmd.exe runs a batch file, which hands
        # its line on untouched.  The C runtime's argv would read """-h" as
        # "-h.
        batch = os.path.join(WORK, 'raw.bat')
        for raw in ['"-h"', '"""-h"', '-""h']:
            with self.subTest('raw line ' + raw):
                with open(batch, 'w', newline='') as f:
                    f.write('@"%s" %s\r\n' % (windows_path(EXE), raw))
                ran = harness.run([WINE, 'cmd', '/c', windows_path(batch)], env=ENV)
                assert_ran(self, ran, 0, HELP_TEXT)


class ConsoleFailures(harness.TestCase):
    """console failures"""

    def test_unwritable_output(self):
        # A pipe whose reader has gone: both ends open, then the reading
        # one closed.
        gone_r, gone_w = os.pipe()
        os.close(gone_r)
        try:
            with open('/dev/full', 'wb') as full:
                for name, args, out in [('help to /dev/full', ['-h'], full),
                                        ('prompt to /dev/full', [ABSENT], full),
                                        ('help to a pipe whose reader has gone', ['-h'], gone_w)]:
                    with self.subTest(name):
                        assert_console_failure(self, wine(args, stdout=out))
        finally:
            os.close(gone_w)

    def test_closed_input(self):
        """closed standard input"""
        ran = wine([ABSENT], stdin=CLOSED)
        self.assertEqual(ran.out, PROMPT, 'standard output ' + harness.shown(ran.out))
        assert_console_failure(self, ran)


class Wait(harness.TestCase):
    """the wait for the line end"""

    def test_null_input(self):
        """standard input /dev/null"""
        assert_ran(self, wine([ABSENT]), 0, PROMPT)

    def test_file_input(self):
        """file carrying "abc\\nxyz", "\\nxyz" left unread"""
        # From a file the line end and what follows it stay unread for the
        # next reader of the same open file.
        path = os.path.join(WORK, 'input')
        with open(path, 'wb') as f:
            f.write(b'abc\nxyz')
        with open(path, 'rb') as f:
            ran = wine([ABSENT], stdin=f)
            rest = f.read()
        assert_ran(self, ran, 0, PROMPT)
        self.assertEqual(rest, b'\nxyz', 'left unread: ' + harness.shown(rest))

    def test_pipes(self):
        # A pipe carries the bytes and its writer stays open.  ends: the
        # program must end with 0 while the writer is still there; or else
        # it must still be waiting a second after its prompt, and end with 0
        # once the writer closes the pipe.
        for name, data, ends in [
                ('pipe carrying "abc\\n"', b'abc\n', True),
                ('pipe carrying "abc\\r"', b'abc\r', True),
                ('pipe carrying Ctrl+Z', b'abc\x1a', True),
                ('pipe carrying "abc" until it closes', b'abc', False),
                # More than one 256-byte piece before the line end.
                ('pipe carrying 1000 bytes then "\\n"', b'0' * 1000 + b'\n', True)]:
            with self.subTest(name):
                read_end, write_end = os.pipe()
                try:
                    os.write(write_end, data)
                    prog = wine_start([ABSENT], stdin=read_end)
                    os.close(read_end)
                    read_end = None
                    if not ends:
                        # Once the prompt is out the program is at its
                        # read; give it a second.
                        harness.wait_for(lambda: prog.output() == PROMPT, 15)
                        time.sleep(1)
                        if not prog.running():
                            os.close(write_end)
                            write_end = None
                            self.fail('ended before its input did, status %d'
                                      % prog.finish().status)
                        os.close(write_end)
                        write_end = None
                    assert_ran(self, prog.finish(15), 0, PROMPT)
                finally:
                    for fd in (read_end, write_end):
                        if fd is not None:
                            os.close(fd)


class Sound(harness.TestCase):
    """looped sound on the null sink"""

    def sound_run(self, attempt):
        """Plays the fixture while the sink is recorded, ends the wait with
        a line end, records a second more.  Returns "crash" or the list of
        problems and a summary."""
        turn = len(LOOP) // wavfile.FRAME_BYTES
        path = os.path.join(WORK, 'capture-%d.raw' % attempt)
        with open(path, 'wb') as out:
            recorder = ROUTE.record(sound_route.SINK, out)

        def capture():
            with open(path, 'rb') as f:
                return f.read()

        read_end, write_end = os.pipe()
        prog = wine_start([WAV], stdin=read_end)
        os.close(read_end)
        try:
            if not harness.wait_for(
                    lambda: harness.follow_loop(capture(), LOOP).frames >= 3 * turn, 20, 0.1):
                return ['no sound: waited 20 s for 3 turns, heard %d frames'
                        % harness.follow_loop(capture(), LOOP).frames], ''
            if not prog.running():
                return ['the program ended before the line end'], ''
            os.write(write_end, b'\n')
            try:
                ran = prog.finish(10)
            except AssertionError:
                return ['still playing 10 s after the line end'], ''
            # A second of capture after the end: it must be silent.
            size = os.path.getsize(path)
            harness.wait_for(lambda: os.path.getsize(path) >= size + wavfile.RATE *
                             wavfile.FRAME_BYTES, 5, 0.1)
            if ran.status == 139:
                return 'crash', ''
            if ran.status != 0 or ran.out != PROMPT or ran.err:
                return ['status %d, output %s, error output %s' % (
                    ran.status, harness.shown(ran.out), harness.shown(ran.err))], ''
            summary, problems = harness.loop_problems(
                capture(), LOOP, int(0.8 * wavfile.RATE))
            return problems, summary
        finally:
            os.close(write_end)
            prog.kill()
            recorder.terminate()
            recorder.wait()

    def test_sound(self):
        # Wine 8 itself dies of SIGSEGV (status 139) at process exit after
        # a live Pulse stream in about 1 run of 100; a five-line program
        # that only starts and stops sndPlaySoundA does the same.  Such a
        # run is played once more.
        problems, summary = self.sound_run(1)
        if problems == 'crash':
            print('note  Wine died of SIGSEGV at exit after the sound run; '
                  'running it once more', flush=True)
            problems, summary = self.sound_run(2)
        name = 'three turns heard, then stopped by the line end'
        with self.subTest(name + (': ' + summary if summary and not problems else '')):
            self.assertNotEqual(problems, 'crash', 'Wine died of SIGSEGV at exit twice')
            self.assertFalse(problems, '; '.join(([summary] if summary else []) + problems))


def main(argv):
    global BUILD, EXE
    if len(argv) != 2:
        sys.stderr.write(__doc__)
        return 2
    BUILD = os.path.abspath(argv[1])
    EXE = os.path.join(BUILD, 'wavorbit.exe')
    try:
        return harness.main(Imports, Resources, Zip, Texts, ConsoleFailures, Wait, Sound)
    finally:
        clean_up()


if __name__ == '__main__':
    sys.exit(main(sys.argv))

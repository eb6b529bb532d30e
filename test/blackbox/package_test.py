#!/usr/bin/env python3
"""The Debian package of a build, tried on this machine: lints the manual
page, checks the install target and the package's contents, dependencies,
copyright file and changelog, runs lintian on it, installs the package
with dpkg, runs the installed program, renders its manual page, removes
the package and checks nothing is left.

    package_test.py BUILD

BUILD is a Release build holding wavorbit, wavorbit.1 and the package
cpack -G DEB made.  Run as root on a Debian machine: it installs and
removes the package "wavorbit" (one already installed is replaced, then
removed).  Reads no standard input.
"""
import glob
import os
import re
import shutil
import struct
import sys
import tempfile
import unittest

import harness
from harness import (BANNER, HELP_TEXT, NO_FILE_TEXT, PLAY_ERROR_TEXT, PROMPT, PIPE,
                     ROOT, VERSION, assert_ran, checked_run, step)
import wavfile

BUILD = None
TMP = None
DEB = None
PAGE = None            # the built manual page
INSTALLED_PAGE = '/usr/share/man/man1/wavorbit.1.gz'
DOC = './usr/share/doc/wavorbit'
installed_by_us = False
ENV = {'DEBIAN_FRONTEND': 'noninteractive', 'LC_ALL': 'C.UTF-8'}


def run(argv, **kwargs):
    return harness.run(argv, env=dict(ENV, **kwargs.pop('env', {})), **kwargs)


def text(argv):
    """The standard output of a command that must succeed."""
    return checked_run(argv, env=ENV).decode()


def field(name):
    return text(['dpkg-deb', '-f', DEB, name]).strip()


def lint_mandoc(test, page):
    # mandoc may add a note about its own database, which names no file.
    ran = run(['mandoc', '-T', 'lint', '-W', 'all', page])
    report = (ran.out + ran.err).decode(errors='replace')
    test.assertTrue(ran.status == 0 and page not in report,
                    'status %d: %s' % (ran.status, report))


def installed():
    ran = run(['dpkg-query', '-W', '-f=${Status}', 'wavorbit'])
    return ran.status == 0 and b'ok installed' in ran.out


def setUpModule():
    global TMP, DEB, PAGE
    TMP = tempfile.mkdtemp(prefix='wavorbit-package.')
    PAGE = os.path.join(BUILD, 'wavorbit.1')
    arch = text(['dpkg', '--print-architecture']).strip()
    DEB = os.path.join(BUILD, 'wavorbit_%s_%s.deb' % (VERSION, arch))

    def built():
        if not os.path.isfile(DEB):
            found = glob.glob(os.path.join(BUILD, '*.deb'))
            raise AssertionError('not there; the build holds %s' % (found or 'no package'))
    step('cpack built %s' % os.path.basename(DEB), built)


def clean_up():
    if installed_by_us and installed():
        run(['dpkg', '-r', 'wavorbit'])
    if TMP is not None:
        shutil.rmtree(TMP, ignore_errors=True)


class ManualPage(harness.TestCase):
    """manual page"""

    def test_mandoc(self):
        """manual page lints clean with mandoc -T lint"""
        lint_mandoc(self, PAGE)

    def test_groff(self):
        """manual page lints clean with groff -ww -z -man"""
        ran = run(['groff', '-ww', '-z', '-man', PAGE])
        assert_ran(self, ran, 0, b'', b'')

    def test_version(self):
        with open(PAGE) as f:
            page = f.read()
        with self.subTest('manual page names version ' + VERSION):
            self.assertIn('"wavorbit %s"' % VERSION, page, 'not in its .TH line')


class InstallTarget(harness.TestCase):
    """install target"""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.prefix = os.path.join(TMP, 'prefix')
        step('cmake --install into a scratch prefix', checked_run,
             ['cmake', '--install', BUILD, '--prefix', cls.prefix])

    def test_program(self):
        """install puts bin/wavorbit"""
        program = os.path.join(self.prefix, 'bin', 'wavorbit')
        self.assertTrue(os.path.isfile(program) and os.access(program, os.X_OK),
                        'no executable ' + program)

    def test_page(self):
        """install puts share/man/man1/wavorbit.1"""
        with open(PAGE, 'rb') as built, \
                open(os.path.join(self.prefix, 'share/man/man1/wavorbit.1'), 'rb') as put:
            self.assertEqual(put.read(), built.read(), 'differs from the built page')


class Package(harness.TestCase):
    """package"""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.unpacked = os.path.join(TMP, 'unpacked')
        checked_run(['dpkg-deb', '-x', DEB, cls.unpacked])

    def test_control(self):
        for name, want in [('Package', 'wavorbit'), ('Version', VERSION),
                           ('Section', 'sound'), ('Priority', 'optional')]:
            with self.subTest('control %s=%s' % (name, want)):
                got = field(name)
                self.assertEqual(got, want, "got '%s'" % got)
        for name, label in [('Maintainer', 'names a Maintainer'),
                            ('Description', 'has a Description')]:
            with self.subTest('control ' + label):
                self.assertTrue(field(name), 'empty')
        # Names of the packages in the Depends field, without versions.
        depends = [re.sub(r'\(.*\)|\s', '', d) for d in field('Depends').split(',')]
        for lib in ['libsndfile1', 'libasound2', 'libc6']:
            with self.subTest('Depends names ' + lib):
                self.assertIn(lib, depends, 'Depends: ' + ', '.join(depends))

    def test_contents(self):
        contents = [line.split()[-1] for line in
                    text(['dpkg-deb', '-c', DEB]).splitlines() if line.strip()]
        for path in ['./usr/bin/wavorbit', './usr/share/man/man1/wavorbit.1.gz',
                     DOC + '/copyright', DOC + '/changelog.gz']:
            with self.subTest('package holds ' + path):
                self.assertIn(path, contents, 'not in dpkg-deb -c')

    def test_changelog(self):
        changelog = os.path.join(self.unpacked, DOC, 'changelog.gz')
        for name, want, label in [
                ('Version', VERSION, "changelog.gz's newest entry is " + VERSION),
                ('Maintainer', field('Maintainer'), "changelog.gz names the package's Maintainer")]:
            with self.subTest(label):
                ran = run(['dpkg-parsechangelog', '-l', changelog, '-S', name])
                got = (ran.out + ran.err).decode(errors='replace').strip()
                self.assertEqual(got, want, "got '%s'" % got)

    def test_copyright(self):
        """copyright carries LICENSE's text"""
        # The copyright file's license paragraph, unindented, is LICENSE's
        # text from "Permission" on.
        with open(os.path.join(self.unpacked, DOC, 'copyright')) as f:
            lines = f.read().split('\n')
        start = lines.index('License: Expat')
        end = lines.index('', start) if '' in lines[start:] else len(lines)
        paragraph = ['' if line == ' .' else line[1:]
                     for line in lines[start + 1:end] if line.startswith(' ')]
        with open(os.path.join(ROOT, 'LICENSE')) as f:
            license_lines = f.read().split('\n')
        first = next(i for i, line in enumerate(license_lines) if line.startswith('Permission'))
        want = license_lines[first:]
        if want and want[-1] == '':
            want.pop()
        self.assertEqual(paragraph, want, 'differs')

    def test_lintian(self):
        """lintian reports no error and no warning"""
        # Debian's own checker; its output is shown either way.
        ran = run(['lintian', '--fail-on', 'error,warning', DEB])
        for line in ran.out.decode(errors='replace').splitlines():
            print('  lintian: ' + line)
        self.assertEqual(ran.status, 0, 'status %d: %s' % (ran.status, harness.shown(ran.err)))
        self.assertFalse(re.search(rb'^[EW]: ', ran.out, re.M), 'an error or warning')


class Installed(harness.TestCase):
    """installed"""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        global installed_by_us
        if installed():
            print('note  replacing the wavorbit package already installed', flush=True)
        installed_by_us = True
        step('dpkg -i installs the package', checked_run, ['dpkg', '-i', DEB], env=ENV)

    def test_listed(self):
        """dpkg reports it installed"""
        status = text(['dpkg-query', '-W', '-f=${Status} ${Version}', 'wavorbit'])
        self.assertEqual(status, 'install ok installed ' + VERSION)

    def test_on_path(self):
        """wavorbit on the PATH is /usr/bin/wavorbit"""
        self.assertEqual(shutil.which('wavorbit'), '/usr/bin/wavorbit')

    def test_answers(self):
        # The installed program answers as the built one does, byte for byte,
        # and with the texts it must print.
        for args, status, out, err in [
                (['-h'], 0, HELP_TEXT, b''), (['/?'], 0, HELP_TEXT, b''),
                ([], 1, NO_FILE_TEXT, b''),
                (['missing.wav'], 1, PLAY_ERROR_TEXT,
                 b'wavorbit: missing.wav: No such file or directory\n')]:
            name = 'installed wavorbit %s' % (args[0] if args else '(no argument)')
            with self.subTest('%s: status %d, same bytes as the build\'s binary' % (name, status)):
                ran = run(['/usr/bin/wavorbit'] + args, cwd=TMP)
                built = run([os.path.join(BUILD, 'wavorbit')] + args, cwd=TMP)
                self.assertEqual(ran, built, "differs from the build's binary: %s, %s"
                                 % (ran, built))
                assert_ran(self, ran, status, out, err)
        with self.subTest("banner of the installed wavorbit -h is '%s'" % BANNER.decode()):
            ran = run(['/usr/bin/wavorbit', '-h'])
            self.assertEqual(ran.out.split(b'\n')[0], BANNER + b'\r',
                             'first line ' + harness.shown(ran.out.split(b'\n')[0]))

    def test_plays(self):
        """installed wavorbit plays tone(.wav) through a device from ALSA_CONFIG_PATH: 320 exact loops"""
        # A device picked the way the manual page says: ALSA_CONFIG_PATH
        # naming alsa.conf and a file of one's own.  The device is ALSA's
        # file plugin on its null device; the file is a pipe to head, which
        # keeps the first bytes played, then cat, which takes the rest (a
        # sink that stops reading is a lost device).  The turn is 100 frames of a mono
        # 8 kHz ramp; 320 turns are 64,000 bytes: several writes, many seams.
        turn = b''.join(struct.pack('<H', (i * 613 + 1) & 0xFFFF) for i in range(100))
        loops = 320
        wavfile.write_wav(os.path.join(TMP, 'tone.wav'), turn, rate=8000, channels=1)
        played = os.path.join(TMP, 'played.raw')
        conf = os.path.join(TMP, 'file-device.conf')
        with open(conf, 'w') as f:
            f.write('pcm.!default {\n  type file\n  slave.pcm null\n'
                    '  file "|(head -c %d >%s; cat >/dev/null)"\n  format "raw"\n}\n'
                    % (loops * len(turn), played))
        prog = harness.start(
            ['/usr/bin/wavorbit', 'tone'], stdin=PIPE, cwd=TMP,
            env=dict(ENV, ALSA_CONFIG_PATH='/usr/share/alsa/alsa.conf:' + conf))
        harness.wait_for(lambda: os.path.exists(played) and
                         os.path.getsize(played) == loops * len(turn), 20)
        prog.proc.stdin.write(b'\n')
        prog.proc.stdin.close()
        ran = prog.finish()
        self.assertEqual(ran.status, 0, 'status %d: %s' % (ran.status, harness.shown(ran.err)))
        self.assertEqual(ran.out, PROMPT, 'printed ' + harness.shown(ran.out))
        with open(played, 'rb') as f:
            got = f.read()
        self.assertEqual(got, turn * loops, 'played %d bytes, not %d exact loops'
                         % (len(got), loops))


class InstalledPage(harness.TestCase):
    """installed manual page"""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # Slimmed Debian images tell dpkg not to unpack manual pages at all.
        for path in ['/etc/dpkg/dpkg.cfg'] + glob.glob('/etc/dpkg/dpkg.cfg.d/*'):
            try:
                with open(path) as f:
                    if re.search(r'^path-exclude\s*/usr/share/man', f.read(), re.M):
                        raise unittest.SkipTest(
                            'dpkg is told not to install manual pages here (path-exclude)')
            except (OSError, UnicodeDecodeError):
                pass

    def test_found(self):
        """man -w wavorbit finds /usr/share/man/man1/wavorbit.1.gz"""
        ran = run(['man', '-w', 'wavorbit'])
        self.assertEqual(ran.out.decode().strip(), INSTALLED_PAGE,
                         'found %s' % harness.shown(ran.out + ran.err))

    def test_rendered(self):
        ran = run(['man', '-l', INSTALLED_PAGE], env={'MANWIDTH': '80', 'MANROFFOPT': '-ww'})
        with self.subTest('man -l renders the installed page without a warning'):
            self.assertEqual(ran.status, 0, 'status %d' % ran.status)
            self.assertEqual(ran.err, b'', harness.shown(ran.err))
        for shows in ['EXIT STATUS', 'SOUND DEVICE', 'SUPPORTED FORMATS', 'WINDOWS',
                      'wavorbit ' + VERSION]:
            with self.subTest("rendered page shows '%s'" % shows):
                self.assertIn(shows, ran.out.decode(errors='replace'))

    def test_lint(self):
        """mandoc lints the installed page clean"""
        lint_mandoc(self, INSTALLED_PAGE)


class Removed(harness.TestCase):
    """removed"""

    def test_removed(self):
        """dpkg -r removes the package"""
        global installed_by_us
        ran = run(['dpkg', '-r', 'wavorbit'])
        if ran.status == 0:
            installed_by_us = False
        self.assertEqual(ran.status, 0, (ran.out + ran.err).decode(errors='replace')[-2000:])

    def test_gone(self):
        with self.subTest('dpkg no longer lists it installed'):
            self.assertFalse(installed())
        for path in ['/usr/bin/wavorbit', INSTALLED_PAGE, '/usr/share/doc/wavorbit']:
            with self.subTest(path + ' is gone'):
                self.assertFalse(os.path.lexists(path))
        with self.subTest('man -w wavorbit finds nothing'):
            ran = run(['man', '-w', 'wavorbit'])
            self.assertNotEqual(ran.status, 0, 'found ' + harness.shown(ran.out))


def main(argv):
    global BUILD
    if len(argv) != 2:
        sys.stderr.write(__doc__)
        return 2
    BUILD = os.path.abspath(argv[1])
    try:
        return harness.main(ManualPage, InstallTarget, Package, Installed, InstalledPage,
                            Removed)
    finally:
        clean_up()


if __name__ == '__main__':
    sys.exit(main(sys.argv))

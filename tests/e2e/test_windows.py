"""The Windows program under Wine: what only the Windows build has. Its
imports, the port names it accepts and how it opens them, the line settings
the Win32 configuration leaves on the wire, the C runtime's wildcard expansion
of the argument list and the CR LF line ends of the Windows text mode.

The rest of the suite runs against the Windows program too (ORVELAN_TARGET=wine);
these checks need it, so the native run skips them."""

import os
import pty
import re
import shutil
import subprocess
import tempfile
import termios
import unittest

import harness
from harness import E2ETestCase, Sim, run_tool

FAST = ("--delay", "5")
HELP_MARK = "\nUsage:\n"


def setUpModule():
    if harness.TARGET != "wine":
        raise unittest.SkipTest("checks of the Windows program under Wine")


def open_failure(name):
    return "Unable to open port %s.\n" % name


def dosdevice(name):
    return os.path.join(harness.WINEPREFIX, "dosdevices", name)


def remove_dosdevice(name):
    try:
        os.unlink(dosdevice(name))
    except FileNotFoundError:
        pass


class ImportedLibraries(E2ETestCase):
    # What a bare Windows installation has; the MinGW runtime DLLs
    # (libstdc++-6, libgcc_s_seh-1, libwinpthread-1) are not among them.
    SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "winmm.dll", "user32.dll", "advapi32.dll",
                   "ucrtbase.dll", "ntdll.dll"}
    SYSTEM_DLL_PATTERN = re.compile(r"^api-ms-win-[a-z0-9-]+\.dll$")

    def test_only_windows_system_dlls(self):
        objdump = shutil.which("x86_64-w64-mingw32-objdump")
        if objdump is None:
            self.skipTest("x86_64-w64-mingw32-objdump is not installed")
        dump = subprocess.run([objdump, "-p", harness.TOOL], capture_output=True, text=True,
                              check=True).stdout
        dlls = [name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)]
        self.assertIn("kernel32.dll", dlls, dump)
        foreign = [name for name in dlls
                   if name not in self.SYSTEM_DLLS and not self.SYSTEM_DLL_PATTERN.match(name)]
        self.assertEqual(foreign, [], "imports beyond Windows: %s" % dlls)


class PortNames(E2ETestCase):
    # Names no device answers to in the test prefix.
    MISSING = ["COM9", "\\\\.\\COM9", "COM42", "\\\\.\\COM42", "nosuchport", "com9"]

    def setUp(self):
        remove_dosdevice("com9")
        remove_dosdevice("com42")

    def test_missing_port_is_reported(self):
        for name in self.MISSING:
            with self.subTest(name=name):
                result = run_tool(["-i"], name)
                self.assertRun(result, 1, stdout="", stderr=open_failure(name))

    # name -> every name CreateFile is asked to open, in order: a second try
    # inside the device namespace unless the name starts with "\\.\COM"
    # exactly (bytes, case-sensitive).
    ATTEMPTS = [
        ("COM9", ["COM9", "\\\\.\\COM9"]),
        ("nosuchport", ["nosuchport", "\\\\.\\nosuchport"]),
        ("\\\\.\\COM9", ["\\\\.\\COM9"]),
        ("\\\\.\\COM", ["\\\\.\\COM"]),
        ("\\\\.\\com9", ["\\\\.\\com9", "\\\\.\\\\\\.\\com9"]),
        ("\\\\.\\CO", ["\\\\.\\CO", "\\\\.\\\\\\.\\CO"]),
        ("\\\\?\\COM9", ["\\\\?\\COM9", "\\\\.\\\\\\?\\COM9"]),
    ]
    TRACE_LINE = re.compile(r'trace:file:CreateFileW L"((?:[^"\\]|\\.)*)"')

    def opened_names(self, trace, wanted):
        """The names in Wine's CreateFileW trace lines that end in `wanted`
        (Wine's own start-up opens files too)."""
        names = [re.sub(r"\\(.)", r"\1", escaped) for escaped in self.TRACE_LINE.findall(trace)]
        return [name for name in names if name.endswith(wanted)]

    def test_second_attempt_in_the_device_namespace(self):
        env = dict(os.environ, WINEDEBUG="-all,trace+file")
        for name, expected in self.ATTEMPTS:
            with self.subTest(name=name):
                result = run_tool(["-i"], name, env=env)
                self.assertEqual(result.returncode, 1, repr(result))
                self.assertIn(open_failure(name), result.stderr)
                self.assertEqual(self.opened_names(result.stderr, name), expected)

    # Wine, like Windows, knows COM1 to COM9 as plain names; from COM10 on a
    # port is reached only as \\.\COMn, which the second attempt supplies.
    REACHABLE = [
        # dosdevices entry, name given to the tool
        ("com12", "COM12"),
        ("com12", "com12"),
        ("com12", "\\\\.\\COM12"),
        ("com7", "COM7"),
        ("com7", "\\\\.\\COM7"),
    ]

    def test_port_reached_by_name(self):
        for device, name in self.REACHABLE:
            with self.subTest(name=name):
                with Sim(*FAST) as sim:
                    os.symlink(sim.path, dosdevice(device))
                    try:
                        result = run_tool(["-i"], name)
                    finally:
                        remove_dosdevice(device)
                self.assertRun(result, 0, stderr="",
                               stdout_pattern=r"Initializing\.\.\. succeeded in \d+\.\d\d seconds\.\n")
                self.assertEqual(sim.commands, ["di 0x8"])


class LineSettings(E2ETestCase):
    """The Win32 configuration as Wine puts it on the pty. The line starts out
    set the opposite way in every respect, so each check can fail."""

    WRONG_IFLAG = termios.IXON | termios.IXOFF | termios.ICRNL | termios.INLCR | termios.ISTRIP
    WRONG_CFLAG = termios.CS7 | termios.PARENB | termios.PARODD | termios.CSTOPB | termios.CRTSCTS
    WRONG_LFLAG = termios.ICANON | termios.ECHO | termios.ISIG
    WRONG_OFLAG = termios.OPOST | termios.ONLCR

    CHECKS = [
        # what, test on the attributes [iflag, oflag, cflag, lflag, ispeed, ospeed, cc]
        ("input speed 921600", lambda a: a[4] == termios.B921600),
        ("output speed 921600", lambda a: a[5] == termios.B921600),
        ("8 data bits", lambda a: a[2] & termios.CSIZE == termios.CS8),
        ("no parity", lambda a: not a[2] & termios.PARENB),
        ("one stop bit", lambda a: not a[2] & termios.CSTOPB),
        ("no RTS/CTS flow control", lambda a: not a[2] & termios.CRTSCTS),
        ("receiver on", lambda a: a[2] & termios.CREAD),
        ("no XON/XOFF on output", lambda a: not a[0] & termios.IXON),
        ("no XON/XOFF on input", lambda a: not a[0] & termios.IXOFF),
        ("8-bit input", lambda a: not a[0] & termios.ISTRIP),
        ("CR and LF untranslated", lambda a: not a[0] & (termios.ICRNL | termios.INLCR)),
        ("no line editing", lambda a: not a[3] & termios.ICANON),
        ("no echo", lambda a: not a[3] & termios.ECHO),
        ("no signal characters", lambda a: not a[3] & termios.ISIG),
        ("output unprocessed", lambda a: not a[1] & termios.OPOST),
    ]

    def spoil(self, fd):
        attrs = termios.tcgetattr(fd)
        attrs[0] |= self.WRONG_IFLAG
        attrs[1] |= self.WRONG_OFLAG
        attrs[2] = (attrs[2] & ~(termios.CSIZE | termios.CREAD)) | self.WRONG_CFLAG
        attrs[3] |= self.WRONG_LFLAG
        attrs[4] = attrs[5] = termios.B9600
        termios.tcsetattr(fd, termios.TCSANOW, attrs)
        return attrs

    def test_line_after_configure(self):
        # A bare pty rather than the simulator: nothing answers, so the run
        # ends in a sync time-out after the configuration, and the slave
        # held open here keeps the settings after the tool has gone.
        master, slave = pty.openpty()
        os.symlink(os.ttyname(slave), dosdevice("com8"))
        try:
            before = self.spoil(slave)
            result = run_tool(["-t", "1", "-i"], "COM8")
            after = termios.tcgetattr(slave)
        finally:
            remove_dosdevice("com8")
            os.close(slave)
            os.close(master)
        self.assertRun(result, 1, stdout="", stderr="Timeout synchronizing with device.\n")
        for what, check in self.CHECKS:
            with self.subTest(what):
                self.assertFalse(check(before), "the spoiled line already has it")
                self.assertTrue(check(after), "attributes after the run: %r" % (after,))


class WildcardExpansion(E2ETestCase):
    """The C runtime expands wildcards that match files before the scan sees
    the arguments; a pattern that matches nothing stays as typed."""

    FILES = ["a1.txt", "a2.txt", "b1.d64"]
    HELP = "help screen"
    # A file given as the port opens, but is no serial line.
    NO_LINE = "Unable to reconfigure port %s.\n"
    NO_PORT = "Unable to open port %s.\n"
    CASES = [
        # arguments, then HELP or the message the port element leads to
        (["-i", "a*.txt"], HELP),                    # two names: the port is not the last element
        (["-i", "a?.txt"], HELP),
        (["-i", "a1*"], NO_LINE % "a1.txt"),         # one name replaces the pattern
        (["-i", "b?.d64"], NO_LINE % "b1.d64"),
        (["-i", "z*"], NO_PORT % "z*"),              # no match: the pattern stays
        (["-i", "a1.txt"], NO_LINE % "a1.txt"),      # no wildcard
        (["-c", "a*.txt", "COM9"], HELP),            # -c takes a1.txt; a2.txt ends the scan early
        (["-c", "z*.txt", "COM9"], NO_PORT % "COM9"),
        (["-w", "a*.txt", "COM9"], HELP),
        (["-w", "z?.d64", "COM9"], NO_PORT % "COM9"),
    ]

    def setUp(self):
        remove_dosdevice("com9")
        self.workdir = tempfile.mkdtemp(prefix="orvelan-wild-")
        for name in self.FILES:
            with open(os.path.join(self.workdir, name), "wb") as f:
                f.write(b"keep")

    def tearDown(self):
        shutil.rmtree(self.workdir)

    def test_expansion_before_the_scan(self):
        for args, outcome in self.CASES:
            with self.subTest(args=args):
                result = run_tool(args, cwd=self.workdir)
                self.assertEqual(result.returncode, 1, repr(result))
                if outcome == self.HELP:
                    self.assertIn(HELP_MARK, result.stderr, repr(result))
                else:
                    self.assertEqual(result.stderr, outcome, repr(result))
                self.assertEqual(sorted(os.listdir(self.workdir)), self.FILES)
                for name in self.FILES:
                    with open(os.path.join(self.workdir, name), "rb") as f:
                        self.assertEqual(f.read(), b"keep", name)


class TextMode(E2ETestCase):
    """Standard output and error in the Windows text mode: every line ends in
    CR LF, written once; the suite's other checks compare them as LF."""

    def raw_run(self, args):
        return subprocess.run(harness.tool_command(args), stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=harness.TOOL_TIMEOUT)

    def assertCrLfLines(self, data, what):
        self.assertTrue(data.endswith(b"\r\n"), "%s\n%s" % (what, harness.hexdump(data[-32:])))
        bare_lf = [i for i, byte in enumerate(data) if byte == 0x0A and data[i - 1:i] != b"\r"]
        doubled = [m.start() for m in re.finditer(rb"\r\r\n", data)]
        self.assertEqual((bare_lf, doubled), ([], []), "%s\n%s" % (what, harness.hexdump(data)))

    def test_line_ends(self):
        with Sim(*FAST) as sim:
            port = sim.port
            runs = [
                # what, the run, its streams that hold lines
                ("success", self.raw_run(["-i", port]), ["stdout"]),
                ("help screen", self.raw_run([]), ["stdout", "stderr"]),
                ("open failure", self.raw_run(["-i", "COM42"]), ["stdout", "stderr"]),
            ]
        for what, process, streams in runs:
            for stream in streams:
                with self.subTest(what=what, stream=stream):
                    self.assertCrLfLines(getattr(process, stream), "%s, %s" % (what, stream))


if __name__ == "__main__":
    unittest.main()

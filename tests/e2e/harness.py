"""End-to-end harness: the real tool against the stand-in adapter orvelan-sim.

Environment (set by ctest; defaults for running by hand from tests/e2e):
  ORVELAN_TARGET      native (default) or wine
  ORVELAN_BIN         the tool          (default <repo>/build/orvelan)
  ORVELAN_SIM         the stand-in      (default <repo>/build/orvelan-sim)
  ORVELAN_SOURCE      the repository root
  ORVELAN_WINEPREFIX  Wine's prefix for the wine target

Typical use:

    with Sim("--reply", "NP") as sim:
        result = run_tool(["-i"], sim.port)
    self.assertEqual(sim.commands, ["di 0x8"])
"""

import atexit
import fcntl
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get("ORVELAN_SOURCE") or os.path.dirname(os.path.dirname(HERE))
TARGET = os.environ.get("ORVELAN_TARGET", "native")
TOOL = os.environ.get("ORVELAN_BIN") or os.path.join(SOURCE, "build", "orvelan")
SIM = os.environ.get("ORVELAN_SIM") or os.path.join(SOURCE, "build", "orvelan-sim")
WINEPREFIX = os.environ.get("ORVELAN_WINEPREFIX", "")

BANNER_FIRST_PREFIX = "Orvelan utilities, rel 1.9.1 - "
BANNER_SECOND = "Communicate with an Orvelan device to perform common tasks"
SUCCESS_LINE = re.compile(r"succeeded in \d+\.\d\d seconds\.")
SKIP_EXIT_CODE = 77  # ctest's SKIP_RETURN_CODE for the e2e suites

SIM_START_TIMEOUT = 5.0
SIM_STOP_TIMEOUT = 3.0
TOOL_TIMEOUT = 30.0


# ---- The Windows build under Wine: one prefix under the build tree, made
# once; the simulator's pty appears as a COM port through a dosdevices link.

WINE = shutil.which("wine") or shutil.which("wine64")
WINESERVER = shutil.which("wineserver")
WINEBOOT = shutil.which("wineboot")
WINE_FIRST_COM = 5          # the simulator is COM5 (then COM6, ... for more at once)
WINE_BOOT_TIMEOUT = 300.0   # wineboot -i takes about 10 s on an idle machine
WINE_READY_MARK = ".orvelan-prefix-ready"
_wine_ports = {}            # COM number -> the Sim linked to it


def _skip_module_when_unavailable():
    """A Windows build or a Wine that is not there is no failure outside CI;
    in CI the Wine suite is never skipped."""
    if TARGET != "wine":
        return
    missing = []
    if not os.path.exists(TOOL):
        missing.append("no Windows build at %s" % TOOL)
    if not (WINE and WINESERVER and WINEBOOT):
        missing.append("no wine, wineserver or wineboot on PATH")
    if not WINEPREFIX:
        missing.append("ORVELAN_WINEPREFIX is not set")
    if not missing:
        return
    if os.environ.get("CI"):
        sys.stderr.write("Wine suite cannot run in CI: %s\n" % "; ".join(missing))
        sys.exit(1)
    sys.stderr.write("skipped: %s\n" % "; ".join(missing))
    sys.exit(SKIP_EXIT_CODE)


def _wine_run(args, timeout):
    """A Wine helper program, silent. Its output must not go to a pipe: the
    wineserver and Wine's service processes it may start inherit it and would
    hold the pipe open long after the helper ends."""
    return subprocess.run(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=timeout).returncode


def _make_wine_prefix():
    """Creates the prefix once. The lock keeps two test programs from both
    running wineboot; the mark tells a finished prefix from one whose
    creation was cut short, which is made again."""
    parent = os.path.dirname(os.path.abspath(WINEPREFIX))
    os.makedirs(parent, exist_ok=True)
    with open(os.path.abspath(WINEPREFIX) + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if os.path.exists(os.path.join(WINEPREFIX, WINE_READY_MARK)):
            return
        shutil.rmtree(WINEPREFIX, ignore_errors=True)
        status = _wine_run([WINEBOOT, "-i"], WINE_BOOT_TIMEOUT)
        _wine_run([WINESERVER, "-w"], WINE_BOOT_TIMEOUT)
        if status != 0 or not os.path.isdir(os.path.join(WINEPREFIX, "dosdevices")):
            raise RuntimeError("wineboot -i failed (%s) for %s" % (status, WINEPREFIX))
        open(os.path.join(WINEPREFIX, WINE_READY_MARK), "w").close()


def _start_wine():
    """Prefix, then one wineserver kept alive for the whole test program
    (each tool run would otherwise start and stop its own), then one quiet
    run that starts Wine's service processes away from any test's pipes."""
    os.environ["WINEPREFIX"] = os.path.abspath(WINEPREFIX)
    os.environ["WINEDEBUG"] = "-all"
    os.environ["WINEDLLOVERRIDES"] = "mscoree,mshtml="  # no Mono or Gecko prompts
    _make_wine_prefix()
    _wine_run([WINESERVER, "-p"], 30.0)
    atexit.register(_stop_wine)
    _wine_run([WINE, TOOL], 60.0)


def _stop_wine():
    for number in list(_wine_ports):
        _unlink_wine_port(number)
    _wine_run([WINESERVER, "-k"], 30.0)


def _wine_port_link(number):
    return os.path.join(WINEPREFIX, "dosdevices", "com%d" % number)


def _unlink_wine_port(number):
    _wine_ports.pop(number, None)
    try:
        os.unlink(_wine_port_link(number))
    except FileNotFoundError:
        pass


def _link_wine_port(sim):
    """COM5 for the simulator, or the next free number while another running
    simulator holds it; the link is (re)pointed at the simulator's pty."""
    number = next((n for n, s in _wine_ports.items() if s is sim), None)
    if number is None:
        number = WINE_FIRST_COM
        while number in _wine_ports and _wine_ports[number].process is not None:
            number += 1
    _wine_ports[number] = sim
    link = _wine_port_link(number)
    temporary = link + ".new"
    if os.path.lexists(temporary):
        os.unlink(temporary)
    os.symlink(sim.path, temporary)
    os.replace(temporary, link)
    return "COM%d" % number


_skip_module_when_unavailable()
if TARGET == "wine":
    _start_wine()


# ---- How the tool reaches the simulated adapter, per target.

def port_name_for(sim):
    """The port name to give the tool for this simulator."""
    if TARGET == "wine":
        return _link_wine_port(sim)
    return sim.path


def tool_command(args):
    """The process command line that runs the tool with these arguments."""
    if TARGET == "wine":
        return [WINE, TOOL] + list(args)
    return [TOOL] + list(args)


def normalise_output(data):
    """The tool's output as the native build writes it."""
    if TARGET == "wine":
        return data.replace(b"\r\n", b"\n")
    return data


# ---- The simulator.

class Sim:
    """Runs orvelan-sim for the span of a with-block.

    Every received command line is logged, so a test can check what the host
    sent: `commands` (text) and `commands_bytes` (raw).
    """

    def __init__(self, *args, start_timeout=SIM_START_TIMEOUT):
        self.args = [str(a) for a in args]
        self.start_timeout = start_timeout
        self.process = None
        self.path = None
        self.returncode = None
        self._dir = None
        self._stderr_file = None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def start(self):
        self._dir = tempfile.mkdtemp(prefix="orvelan-e2e-")
        self.log_path = os.path.join(self._dir, "commands.log")
        # A file, not a pipe: a pipe nobody drains would stall the simulator.
        self._stderr_file = open(os.path.join(self._dir, "stderr.txt"), "w+b")
        self.process = subprocess.Popen(
            [SIM] + self.args + ["--log", self.log_path],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=self._stderr_file)
        self.path = self._read_path()
        return self

    def _read_path(self):
        out = self.process.stdout
        ready, _, _ = select.select([out], [], [], self.start_timeout)
        line = out.readline() if ready else b""
        if not line.strip():
            self.stop()
            raise RuntimeError("orvelan-sim printed no pty path; stderr:\n" + self.stderr)
        return line.decode().strip()

    @property
    def port(self):
        return port_name_for(self)

    def stop(self):
        """SIGTERM, then SIGKILL; keeps the log and stderr readable."""
        if self.process is None:
            return
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(SIM_STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.returncode = self.process.returncode
        self.process.stdout.close()
        self._collect()
        self.process = None

    def _collect(self):
        self._stderr_file.seek(0)
        self._stderr_text = self._stderr_file.read().decode("utf-8", "replace")
        self._stderr_file.close()
        self._log_bytes = self._read_log()
        shutil.rmtree(self._dir, ignore_errors=True)

    def _read_log(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""

    def wait_exit(self, timeout):
        """The simulator's exit status once it ended by itself, else None."""
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def wait_for_commands(self, count, timeout=5.0):
        """Waits until `count` command lines arrived; returns them."""
        deadline = time.monotonic() + timeout
        while len(self.commands) < count and time.monotonic() < deadline:
            time.sleep(0.02)
        return self.commands

    @property
    def commands_bytes(self):
        data = self._read_log() if self.process is not None else self._log_bytes
        return data.split(b"\n")[:-1]

    @property
    def commands(self):
        return [line.decode("utf-8", "surrogateescape") for line in self.commands_bytes]

    @property
    def stderr(self):
        if self.process is None and hasattr(self, "_stderr_text"):
            return self._stderr_text
        self._stderr_file.flush()
        with open(self._stderr_file.name, "rb") as f:
            return f.read().decode("utf-8", "replace")


# ---- The tool.

class ToolResult:
    def __init__(self, args, returncode, stdout_bytes, stderr_bytes, elapsed):
        self.args = args
        self.returncode = returncode
        self.stdout_bytes = stdout_bytes
        self.stderr_bytes = stderr_bytes
        self.stdout = stdout_bytes.decode("utf-8", "surrogateescape")
        self.stderr = stderr_bytes.decode("utf-8", "surrogateescape")
        self.elapsed = elapsed

    def __repr__(self):
        return "ToolResult(args=%r, returncode=%r, %.2f s)\n--- stdout:\n%s--- stderr:\n%s" % (
            self.args, self.returncode, self.elapsed, self.stdout, self.stderr)


def run_tool(args, port=None, timeout=TOOL_TIMEOUT, cwd=None, env=None):
    """Runs the tool with `args`, and `port` as the last element if given.

    Never hangs: a tool still running after `timeout` seconds is killed and
    the test fails with what it printed so far.
    """
    args = [str(a) for a in args] + ([port] if port is not None else [])
    start = time.monotonic()
    process = subprocess.Popen(tool_command(args), stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=cwd, env=env)
    try:
        out, err = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        out, err = process.communicate()
        raise AssertionError("tool %r still running after %s s\nstdout:\n%s\nstderr:\n%s" % (
            args, timeout, out.decode("utf-8", "replace"), err.decode("utf-8", "replace")))
    elapsed = time.monotonic() - start
    return ToolResult(args, process.returncode, normalise_output(out), normalise_output(err), elapsed)


def start_tool(args, port=None, cwd=None):
    """Starts the tool without waiting; the caller ends it (finish_tool)."""
    args = [str(a) for a in args] + ([port] if port is not None else [])
    process = subprocess.Popen(tool_command(args), stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=cwd)
    process.started_at = time.monotonic()
    process.tool_args = args
    return process


def finish_tool(process, timeout=TOOL_TIMEOUT):
    """Waits for a tool from start_tool; kills it after `timeout`."""
    try:
        out, err = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        out, err = process.communicate()
    elapsed = time.monotonic() - process.started_at
    return ToolResult(process.tool_args, process.returncode, normalise_output(out),
                      normalise_output(err), elapsed)


# ---- Output checks.

def hexdump(data, start=0, width=16):
    """Offset, hex bytes and printable characters, one row per `width` bytes."""
    rows = []
    for offset in range(0, len(data), width):
        chunk = data[offset:offset + width]
        hex_part = " ".join("%02x" % b for b in chunk)
        text = "".join(chr(b) if 0x20 <= b < 0x7f else "." for b in chunk)
        rows.append("%08x  %-*s  %s" % (start + offset, width * 3 - 1, hex_part, text))
    return "\n".join(rows)


def bytes_diff(expected, actual, context=32):
    """Where two byte strings part, with hex dumps of both around that place."""
    if expected == actual:
        return ""
    first = next((i for i, (a, b) in enumerate(zip(expected, actual)) if a != b),
                 min(len(expected), len(actual)))
    start = max(0, first - context) // 16 * 16
    end = first + context
    return ("lengths: expected %d, actual %d; first difference at offset %d (0x%x)\n"
            "expected:\n%s\nactual:\n%s" % (
                len(expected), len(actual), first, first,
                hexdump(expected[start:end], start), hexdump(actual[start:end], start)))


def split_banner(stdout):
    """Returns (banner problem or None, the rest of stdout after the banner)."""
    lines = stdout.split("\n", 3)
    if len(lines) < 3:
        return "stdout too short for the banner: %r" % stdout, ""
    if not lines[0].startswith(BANNER_FIRST_PREFIX):
        return "first line %r lacks %r" % (lines[0], BANNER_FIRST_PREFIX), ""
    if lines[1] != BANNER_SECOND or lines[2] != "":
        return "banner lines 2-3 are %r" % lines[1:3], ""
    return None, lines[3] if len(lines) > 3 else ""


class E2ETestCase(unittest.TestCase):
    maxDiff = None

    def assertBytesEqual(self, expected, actual, what="bytes"):
        if expected != actual:
            self.fail("%s differ\n%s" % (what, bytes_diff(expected, actual)))

    def after_banner(self, result):
        """Checks the banner and returns stdout after it."""
        problem, rest = split_banner(result.stdout)
        if problem:
            self.fail("%s\n%r" % (problem, result))
        return rest

    def assertRun(self, result, returncode, stdout=None, stderr=None, stdout_pattern=None):
        """Checks the exit status, and stdout after the banner and stderr
        exactly where given (stdout_pattern: a regular expression that must
        match the whole of stdout after the banner)."""
        rest = self.after_banner(result)
        self.assertEqual(result.returncode, returncode, repr(result))
        if stdout is not None:
            self.assertEqual(rest, stdout, repr(result))
        if stdout_pattern is not None:
            self.assertRegex(rest, r"\A(?:%s)\Z" % stdout_pattern, repr(result))
        if stderr is not None:
            self.assertEqual(result.stderr, stderr, repr(result))
        return rest

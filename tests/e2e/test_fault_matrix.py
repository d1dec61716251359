"""Every task against every fault the stand-in adapter can inject.

For each pair the tool must end within its idle budget plus a small margin,
with the right message on the right stream and the right exit status, never
crash or hang, and leave nothing behind in its working folder except the D64
that the copy owns, holding exactly the sectors that arrived.

The firmware update has no prompt or echo: its faults are a line that takes
nothing (the write times out), a line that goes away while the tool writes
(the write fails), missing components and a programmer that fails.

ORVELAN_MATRIX_REPORT=FILE writes the outcome of every pair as a Markdown
table to FILE.
"""

import os
import re
import shutil
import stat
import tempfile
import time
import unittest

import harness
from harness import E2ETestCase, Sim, run_tool

SAMPLE = os.path.join(harness.SOURCE, "samples", "sample.d64")
REPORT = os.environ.get("ORVELAN_MATRIX_REPORT")

BUDGET_SECONDS = 1          # every run gets -t 1: 1000 empty polls
# Each empty poll waits at least 1 ms and a little more in practice; the
# margin covers starting the program and the simulator's hang-up drain.
POLL_SLACK = 1.3
MARGIN = 3.0 if harness.TARGET == "wine" else 1.5
BOOTLOADER_WAIT = 2.0       # the update waits this long before the programmer
PACKET = 324
SECTOR = 256
WINDOWS = harness.TARGET == "wine"

SYNC_TIMEOUT = "Timeout synchronizing with device.\n"
SYNC_ERROR = "Error synchronizing with device.\n"
SUCCESS = r"succeeded in \d+\.\d\d seconds\.\n"

# ---- The tasks.
#
# name -> (tool arguments, progress label or None, payload bytes after which a
# payload fault strikes or None when the task reads no payload).
TASKS = {
    "-c": (["-c", "i0"], "Executing", None),
    "-f": (["-f"], "Formatting", None),
    "-i": (["-i"], "Initializing", None),
    "-r": (["-r"], "Resetting", None),
    "-v": (["-v"], "Validating", None),
    "-s": (["-s"], "Fetching drive status", 3),         # length byte, 2 of 12 text bytes
    "-l": (["-l"], "Fetching directory listing", 100),  # in the middle of the first chunk
    "-w": (["-w", "copy.d64"], "Dumping disk contents", 30 * PACKET + 100),  # 21 + 9 sectors
    "-u": (["-u", "/dev/null"], None, None),
}
COMMAND_TASKS = [t for t in TASKS if t != "-u"]
REPLY_TASKS = [t for t in COMMAND_TASKS if t != "-w"]  # the copy reads no reply pair

REPLY_MESSAGES = {
    "NF": "file not found.", "NP": "device not present.", "FM": "missing filename.",
    "ID": "illegal device number.", "KO": "failed.", "BK": "failed.",
}


class Expect:
    """What a run must show: stdout after the banner (exact text or a
    pattern), stderr, exit status, and how many sectors the copy stored."""

    def __init__(self, status, stdout="", stderr="", pattern=None, sectors=0, complete=False):
        self.status = status
        self.stdout = stdout
        self.stderr = stderr
        self.pattern = pattern
        self.sectors = sectors
        self.complete = complete  # the copy's image is the whole sample disk


def sectors_on(track):
    return 21 if track <= 17 else 19 if track <= 24 else 18 if track <= 30 else 17


def track_offset(track):
    """Where a track's first sector lies in the image."""
    return sum(sectors_on(t) for t in range(1, track)) * SECTOR


def progress(task, text):
    return TASKS[task][1] + "... " + text + "\n"


def stored_before_cut(task):
    """Whole packets that arrived before a payload fault cut the stream."""
    return TASKS["-w"][2] // PACKET if task == "-w" else 0


def success_for(task):
    label = re.escape(TASKS[task][1]) + r"\.\.\. "
    if task == "-s":
        return Expect(0, pattern=label + SUCCESS + r"\n00, OK,00,00\n")
    if task == "-l":
        return Expect(0, pattern=label + SUCCESS + r"\n(?:\d+ [^\n]*\n)+")
    if task == "-w":
        return Expect(0, pattern=label + SUCCESS + r"\n", complete=True)
    return Expect(0, pattern=label + SUCCESS)


# ---- The faults of the stand-in adapter.
#
# name -> (simulator arguments, function of the task giving an Expect, or
# None where the fault cannot strike that task).

def on_sync(message):
    return lambda task: Expect(1, stderr=message)


def on_progress(text, payload_only=False):
    def expect(task):
        if payload_only and TASKS[task][2] is None:
            return None
        return Expect(1, stdout=progress(task, text),
                      sectors=stored_before_cut(task) if payload_only else 0)
    return expect


def on_reply(code):
    def expect(task):
        if task not in REPLY_TASKS:
            return None
        return Expect(1, stdout=progress(task, REPLY_MESSAGES[code]))
    return expect


def listing_only(expect):
    return lambda task: expect(task) if task == "-l" else None


AFTER = object()  # stands for the task's payload cut in a fault's arguments

SIM_FAULTS = {
    "no prompt": (["--no-prompt"], on_sync(SYNC_TIMEOUT)),
    "garbage within the sync buffer": (["--garbage", "150", "--seed", "7"], success_for),
    "garbage past the sync buffer": (["--garbage", "4096", "--seed", "7"], on_sync(SYNC_TIMEOUT)),
    "split prompt": (["--split-prompt"], success_for),
    "wrong echo": (["--wrong-echo"], on_progress("failed.")),
    "short echo": (["--short-echo"], on_progress("timed out.")),
}
for _code in REPLY_MESSAGES:
    SIM_FAULTS["reply " + _code] = (["--reply", _code], on_reply(_code))
SIM_FAULTS.update({
    "silent at start": (["--silent-at", "start"], on_progress("timed out.")),
    "silent at echo": (["--silent-at", "echo"], on_progress("timed out.")),
    "silent at reply": (["--silent-at", "reply"], on_progress("timed out.")),
    "silent in payload": (["--silent-at", "payload", "--after", AFTER], on_progress("timed out.", payload_only=True)),
    "hang-up at start": (["--hangup-at", "start"], on_sync(SYNC_ERROR)),
    "hang-up at echo": (["--hangup-at", "echo"], on_progress("failed.")),
    "hang-up at reply": (["--hangup-at", "reply"], on_progress("failed.")),
    "hang-up in payload": (["--hangup-at", "payload", "--after", AFTER], on_progress("failed.", payload_only=True)),
    "oversize listing": (["--dir-fault", "overflow"],
                         listing_only(lambda task: Expect(1, stdout=progress(task, "failed.")))),
    "empty listing": (["--dir-fault", "zero-length"],
                      listing_only(lambda task: Expect(1, pattern=re.escape(progress(task, "")[:-1]) +
                                                       SUCCESS + r"\n"))),
})

# The firmware update's own faults, set up in its working folder and port.
UPDATE_FAULTS = {
    "missing components": Expect(1, stdout="Some update components are missing.\n"),
    "failing programmer": Expect(1, stdout="Update started.\nFirmware update failed.\n"),
    "line takes nothing": Expect(1, stdout="Update started.\nFirmware update timed out.\n"),
    "line goes away": Expect(1, stdout="Update started.\nFirmware update failed.\n"),
}

# ---- The report.

_outcomes = []  # (task, fault, status, stdout, stderr, seconds, limit)


def closing_message(text):
    """The line a reader looks for: the last non-empty one, without the
    progress label and the variable time."""
    lines = [line for line in text.split("\n") if line]
    if not lines:
        return ""
    line = lines[-1]
    line = re.sub(r"^.*\.\.\. ", "", line)
    return re.sub(r"\d+\.\d\d seconds", "N.NN seconds", line)


def stream_of(stdout, stderr):
    if stdout and stderr:
        return "both"
    return "stdout" if stdout else "stderr" if stderr else "none"


def message_of(task, stdout, stderr):
    if task == "-l" and stdout.count("\n") > 3 and "succeeded" in stdout:
        return "succeeded in N.NN seconds. + listing"
    if task == "-s" and "succeeded" in stdout:
        return "succeeded in N.NN seconds. + status text"
    return closing_message(stderr) if stderr and not stdout else closing_message(stdout)


def write_report(path):
    """A grid, one row per fault and one column per task; each cell holds the
    closing message, its stream, the exit status and the seconds taken, or
    a dash where the fault cannot strike the task."""
    cells = {}
    for task, fault, status, stdout, stderr, seconds, limit in _outcomes:
        cells[(fault, task)] = "%s [%s, %s, %.2f s]" % (
            message_of(task, stdout, stderr).replace("|", "\\|"),
            stream_of(stdout, stderr), status, seconds)
    tasks = list(TASKS)
    rows = ["| Fault | " + " | ".join(tasks) + " |", "|---" * (len(tasks) + 1) + "|"]
    for fault in list(SIM_FAULTS) + list(UPDATE_FAULTS):
        if not any((fault, task) in cells for task in tasks):
            continue
        rows.append("| %s | %s |" % (fault, " | ".join(cells.get((fault, task), "—") for task in tasks)))
    rows.append("")
    rows.append("Idle budget %d s (-t %d) for every run; each must end within %.1f s, the update "
                "within %.1f s (it waits %.0f s for the bootloader)." % (
                    BUDGET_SECONDS, BUDGET_SECONDS, FaultMatrix.limit_for("-i"),
                    FaultMatrix.limit_for("-u"), BOOTLOADER_WAIT))
    with open(path, "w") as f:
        f.write("\n".join(rows) + "\n")


def tearDownModule():
    if REPORT:
        write_report(REPORT)


# ---- A line the test plays itself (for the firmware update).

class StuckLine:
    """A pseudo-terminal whose adapter end reads nothing: the queue towards
    it is filled before the tool opens the port, so every write the tool
    makes finds no room. `hang_up` closes the adapter end, as an unplugged
    adapter would."""

    def __init__(self):
        import pty
        import fcntl
        import termios
        self.master, slave = pty.openpty()
        self.path = os.ttyname(slave)
        attributes = termios.tcgetattr(slave)
        attributes[3] = 0  # no echo, no canonical mode: bytes pass as they are
        termios.tcsetattr(slave, termios.TCSANOW, attributes)
        fcntl.fcntl(slave, fcntl.F_SETFL, fcntl.fcntl(slave, fcntl.F_GETFL) | os.O_NONBLOCK)
        self.slave = slave  # held open: the queue stays full and the path valid
        self._fill()

    def _fill(self):
        """The kernel moves queued bytes between its buffers a moment after
        a write, which may make room again: fill until a pause leaves none."""
        settled = 0
        while settled < 3:
            moved = 0
            try:
                while True:
                    moved += os.write(self.slave, b"x" * 4096)
            except BlockingIOError:
                pass
            settled = settled + 1 if moved == 0 else 0
            time.sleep(0.05)

    def wait_until_opened_by(self, pid, timeout=10.0):
        """Waits until the process `pid` holds the line open."""
        deadline = time.monotonic() + timeout
        folder = "/proc/%d/fd" % pid
        while time.monotonic() < deadline:
            try:
                for fd in os.listdir(folder):
                    if os.readlink(os.path.join(folder, fd)) == self.path:
                        return True
            except OSError:
                pass
            time.sleep(0.01)
        return False

    def hang_up(self):
        if self.master is not None:
            os.close(self.master)
            self.master = None

    def close(self):
        self.hang_up()
        os.close(self.slave)


FAKE_PROGRAMMER = "#!/bin/sh\nexit 1\n"


def place_update_components(folder, programmer=FAKE_PROGRAMMER):
    path = os.path.join(folder, "avrdude")
    with open(path, "w") as f:
        f.write(programmer)
    os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR)
    open(os.path.join(folder, "avrdude.conf"), "w").close()
    return {"avrdude", "avrdude.conf"}


# ---- The matrix.

class FaultMatrix(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        with open(SAMPLE, "rb") as f:
            cls.source = f.read()

    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="orvelan-matrix-")
        self.addCleanup(shutil.rmtree, self.workdir, True)

    @staticmethod
    def limit_for(task):
        limit = BUDGET_SECONDS * POLL_SLACK + MARGIN
        return limit + BOOTLOADER_WAIT if task == "-u" else limit

    def tool_args(self, task):
        return ["-t", str(BUDGET_SECONDS)] + TASKS[task][0]

    def check(self, task, fault, result, expect, owned=frozenset()):
        limit = self.limit_for(task)
        rest = self.after_banner(result)
        _outcomes.append((task, fault, result.returncode, rest, result.stderr, result.elapsed, limit))
        self.assertEqual(result.returncode, expect.status, repr(result))
        if expect.pattern is not None:
            self.assertRegex(rest, r"\A(?:%s)\Z" % expect.pattern, repr(result))
        else:
            self.assertEqual(rest, expect.stdout, repr(result))
        self.assertEqual(result.stderr, expect.stderr, repr(result))
        self.assertLessEqual(result.elapsed, limit, "took too long\n%r" % result)
        left = set(os.listdir(self.workdir)) - set(owned)
        wanted = {"copy.d64"} if task == "-w" else set()
        self.assertEqual(left, wanted, "files left behind")
        if task == "-w":
            self.assertImageHolds(expect)

    def assertImageHolds(self, expect):
        """A complete copy is the whole sample disk. A cut one holds the
        sectors of the packets that arrived: tracks come in order, the
        sectors of a track in the stand-in's interleave, so the tracks before
        the cut are whole, the track of the cut has that many of its sectors
        in their places and the others zero, and the file ends with the
        highest sector stored. (The sample disk has no all-zero sector.)"""
        with open(os.path.join(self.workdir, "copy.d64"), "rb") as f:
            image = f.read()
        if expect.complete:
            self.assertBytesEqual(self.source, image, "copied image")
            return
        track, left = 1, expect.sectors
        while left >= sectors_on(track):
            left -= sectors_on(track)
            track += 1
        whole = track_offset(track)
        self.assertBytesEqual(self.source[:whole], image[:whole], "tracks before the cut")
        stored = 0
        for sector in range(sectors_on(track)):
            at = whole + sector * SECTOR
            got = image[at:at + SECTOR]
            if got == self.source[at:at + SECTOR]:
                stored += 1
            else:
                self.assertIn(got, (b"", bytes(SECTOR)), "track %d sector %d" % (track, sector))
        self.assertEqual(stored, left, "sectors of track %d stored" % track)
        self.assertLessEqual(len(image), track_offset(track + 1), "nothing after the cut track")
        self.assertEqual(len(image) % SECTOR, 0)

    def run_sim_fault(self, task, fault):
        sim_args, expect_of = SIM_FAULTS[fault]
        expect = expect_of(task)
        sim_args = [TASKS[task][2] if arg is AFTER else arg for arg in sim_args]
        with Sim("--disk", SAMPLE, *sim_args) as sim:
            result = run_tool(self.tool_args(task), sim.port, cwd=self.workdir)
        self.check(task, fault, result, expect)
        # Under the sanitizers the stand-in is checked as well.
        self.assertNotRegex(sim.stderr, r"Sanitizer|runtime error")

    # The firmware update's faults.

    def test_update_missing_components(self):
        with Sim() as sim:
            result = run_tool(self.tool_args("-u"), sim.port, cwd=self.workdir)
        self.check("-u", "missing components", result, UPDATE_FAULTS["missing components"])
        self.assertEqual(sim.commands, [], "nothing may reach the adapter")

    @unittest.skipIf(WINDOWS, "the stand-in programmer is a shell script")
    def test_update_failing_programmer(self):
        owned = place_update_components(self.workdir)
        with Sim() as sim:
            result = run_tool(self.tool_args("-u"), sim.port, cwd=self.workdir)
        self.check("-u", "failing programmer", result, UPDATE_FAULTS["failing programmer"], owned)
        self.assertEqual(sim.commands, ["j"])

    @unittest.skipIf(WINDOWS, "the line is a pseudo-terminal of this test, not a COM port")
    def test_update_line_takes_nothing(self):
        owned = place_update_components(self.workdir)
        line = StuckLine()
        self.addCleanup(line.close)
        result = run_tool(self.tool_args("-u"), line.path, cwd=self.workdir)
        self.check("-u", "line takes nothing", result, UPDATE_FAULTS["line takes nothing"], owned)

    @unittest.skipIf(WINDOWS, "the line is a pseudo-terminal of this test, not a COM port")
    def test_update_line_goes_away(self):
        owned = place_update_components(self.workdir)
        line = StuckLine()
        self.addCleanup(line.close)
        # A long budget: the write must fail on the hang-up, not time out.
        args = ["-t", "20"] + TASKS["-u"][0]
        process = harness.start_tool(args, line.path, cwd=self.workdir)
        opened = line.wait_until_opened_by(process.pid)
        time.sleep(0.2)  # the tool is in its write loop by now
        line.hang_up()
        result = harness.finish_tool(process)
        self.assertTrue(opened, "the tool never opened the line\n%r" % result)
        self.check("-u", "line goes away", result, UPDATE_FAULTS["line goes away"], owned)


def _add_sim_cases():
    """One test per task and adapter fault that can strike it."""
    for fault, (_, expect_of) in SIM_FAULTS.items():
        for task in COMMAND_TASKS:
            if expect_of(task) is None:
                continue
            name = "test_%s_%s" % (task.strip("-"), re.sub(r"\W+", "_", fault))
            setattr(FaultMatrix, name,
                    lambda self, task=task, fault=fault: self.run_sim_fault(task, fault))


_add_sim_cases()

if __name__ == "__main__":
    unittest.main()

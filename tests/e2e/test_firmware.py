"""The firmware update (-u) end to end.

- With the real avrdude (native only): the tool sends the stand-in adapter
  into its bootloader, avrdude writes the carried image through the
  bootloader's pty, and the stand-in's flash model must hold exactly the
  image's data.
- With a fake programmer (natively a shell script, under Wine a small
  Windows program built here) that records its arguments and the image file
  it finds and ends with a chosen status: the argument list, the messages, the
  image file's life, missing components, hostile and over-long port names.
- The build's image checker and the placeholder generator (native only).
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from harness import SOURCE, TARGET, TOOL, E2ETestCase, Sim, run_tool

IMAGE_FILE = "orvelan32u4.hex"
WINDOWS = TARGET == "wine"
COMPONENTS = ["avrdude.exe", "avrdude.conf", "libusb0.dll"] if WINDOWS else ["avrdude", "avrdude.conf"]
PLACEHOLDER = os.path.join(SOURCE, "firmware", "placeholder.hex")
PLACEHOLDER_SCRIPT = os.path.join(SOURCE, "scripts", "make_placeholder_firmware.py")
CHECKER_SCRIPT = os.path.join(SOURCE, "scripts", "embed_firmware_image.py")
FLASH_SIZE = 32768
BOOT_SECTION = 0x7000
REAL_AVRDUDE = shutil.which("avrdude")
REAL_AVRDUDE_CONF = "/etc/avrdude.conf"
# Bootloader start (2 s) plus a Wine start or a whole avrdude run.
UPDATE_TIMEOUT = 60.0

# ---- The image the tool carries.


def carried_hex_path():
    """ORVELAN_FIRMWARE_HEX of the build the tool comes from."""
    cache = os.path.join(os.path.dirname(os.path.abspath(TOOL)), "CMakeCache.txt")
    try:
        with open(cache, encoding="utf-8", errors="replace") as f:
            for line in f:
                if line.startswith("ORVELAN_FIRMWARE_HEX:"):
                    return line.split("=", 1)[1].strip()
    except FileNotFoundError:
        pass
    return PLACEHOLDER


def carried_image():
    """What the tool writes to its image file: the text and a NUL."""
    with open(carried_hex_path(), "rb") as f:
        return f.read() + b"\0"


def program_memory(hex_text):
    """(start address, bytes) of the data records of contiguous Intel HEX."""
    data = bytearray()
    start = None
    for line in hex_text.decode("ascii").split():
        body = bytes.fromhex(line[1:])
        if body[3] != 0:
            continue
        address = body[1] << 8 | body[2]
        if start is None:
            start = address
        if address != start + len(data):
            raise ValueError("gap before address 0x%04X" % address)
        data += body[4:-1]
    return start, bytes(data)


# ---- The fake programmer.

FAKE_SCRIPT = """#!/bin/sh
printf '%s\\n' "$@" > args.txt
if [ -f orvelan32u4.hex ]; then cp orvelan32u4.hex seen.hex; fi
echo 'fake programmer ran'
exit "$(cat status.txt 2>/dev/null || echo 0)"
"""

# The Windows fake also records argv[0], as the runtime split the command line.
FAKE_WINDOWS_SOURCE = r"""
#include <stdio.h>
int main(int argc, char** argv) {
    FILE* args = fopen("args.txt", "wb");
    for (int i = 1; i < argc; ++i) fprintf(args, "%s\n", argv[i]);
    fclose(args);
    FILE* name = fopen("argv0.txt", "wb");
    fprintf(name, "%s", argv[0]);
    fclose(name);
    FILE* in = fopen("orvelan32u4.hex", "rb");
    if (in) {
        FILE* out = fopen("seen.hex", "wb");
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, in)) > 0) fwrite(buffer, 1, n, out);
        fclose(out);
        fclose(in);
    }
    puts("fake programmer ran");
    fflush(stdout);
    int status = 0;
    FILE* wanted = fopen("status.txt", "rb");
    if (wanted) {
        if (fscanf(wanted, "%d", &status) != 1) status = 99;
        fclose(wanted);
    }
    return status;
}
"""

_fake_windows_program = None


def fake_windows_program():
    """Builds the Windows fake once per test program."""
    global _fake_windows_program
    if _fake_windows_program is None:
        compiler = shutil.which("x86_64-w64-mingw32-gcc")
        if compiler is None:
            raise unittest.SkipTest("no x86_64-w64-mingw32-gcc for the fake avrdude.exe")
        directory = tempfile.mkdtemp(prefix="orvelan-fake-avrdude-")
        source = os.path.join(directory, "fake.c")
        with open(source, "w") as f:
            f.write(FAKE_WINDOWS_SOURCE)
        program = os.path.join(directory, "avrdude.exe")
        subprocess.run([compiler, "-O1", "-static", "-o", program, source], check=True)
        _fake_windows_program = program
    return _fake_windows_program


def expected_arguments(boot_port):
    return ["-Cavrdude.conf", "-v", "-pm32u4", "-cavr109", "-P" + boot_port,
            "-b57600", "-D", "-Uflash:w:orvelan32u4.hex:i"]


class ScratchDir:
    """A current directory for one tool run, with the update's components."""

    def __init__(self, components=COMPONENTS, status=0):
        self.path = tempfile.mkdtemp(prefix="orvelan-fw-")
        for name in components:
            target = os.path.join(self.path, name)
            if name == "avrdude":
                with open(target, "w") as f:
                    f.write(FAKE_SCRIPT)
                os.chmod(target, 0o755)
            elif name == "avrdude.exe":
                shutil.copy(fake_windows_program(), target)
            else:
                open(target, "wb").close()
        with open(self.file("status.txt"), "w") as f:
            f.write("%d\n" % status)

    def file(self, name):
        return os.path.join(self.path, name)

    def exists(self, name):
        return os.path.lexists(self.file(name))

    def read(self, name):
        with open(self.file(name), "rb") as f:
            return f.read()

    def arguments(self):
        return self.read("args.txt").decode("utf-8", "surrogateescape").split("\n")[:-1]

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)


class FirmwareCase(E2ETestCase):
    def scratch(self, **kwargs):
        scratch = ScratchDir(**kwargs)
        self.addCleanup(scratch.remove)
        return scratch

    def update(self, scratch, boot_port, sim):
        return run_tool(["-u", boot_port], sim.port, cwd=scratch.path, timeout=UPDATE_TIMEOUT)

    def assertSentBootloaderLineOnly(self, sim):
        # "j" and CR, nothing else: one logged line and no LF after it.
        self.assertEqual(sim.commands, ["j"], sim.stderr)
        self.assertNotIn("ignored LF", sim.stderr)

    def assertImageSeenAndRemoved(self, scratch):
        self.assertBytesEqual(carried_image(), scratch.read("seen.hex"), "image file seen by the programmer")
        self.assertFalse(scratch.exists(IMAGE_FILE), "image file left behind")


class UpdateWithFakeProgrammer(FirmwareCase):
    BOOT_PORT = "COM7" if WINDOWS else "/dev/ttyACM1"

    def test_programmer_status_decides_the_outcome(self):
        cases = [
            # programmer status, tool status, last line
            (0, 0, "Firmware update succeeded.\n"),
            (1, 1, "Firmware update failed.\n"),
            (42, 1, "Firmware update failed.\n"),
        ]
        for programmer_status, tool_status, last in cases:
            with self.subTest(programmer_status=programmer_status):
                scratch = self.scratch(status=programmer_status)
                with Sim() as sim:
                    result = self.update(scratch, self.BOOT_PORT, sim)
                self.assertRun(result, tool_status,
                               stdout="Update started.\nfake programmer ran\n" + last)
                self.assertSentBootloaderLineOnly(sim)
                self.assertEqual(scratch.arguments(), expected_arguments(self.BOOT_PORT))
                if WINDOWS:
                    self.assertEqual(scratch.read("argv0.txt"), b"avrdude")
                self.assertImageSeenAndRemoved(scratch)

    def test_existing_image_file_is_overwritten_then_deleted(self):
        scratch = self.scratch()
        stale = b":10000000STALE AND LONGER THAN NOTHING\r\n" * 3000
        with open(scratch.file(IMAGE_FILE), "wb") as f:
            f.write(stale)
        with Sim() as sim:
            result = self.update(scratch, self.BOOT_PORT, sim)
        self.assertRun(result, 0, stdout="Update started.\nfake programmer ran\nFirmware update succeeded.\n")
        self.assertImageSeenAndRemoved(scratch)

    def test_missing_component_sends_nothing(self):
        for missing in COMPONENTS:
            with self.subTest(missing=missing):
                scratch = self.scratch(components=[c for c in COMPONENTS if c != missing])
                with Sim() as sim:
                    result = self.update(scratch, self.BOOT_PORT, sim)
                self.assertRun(result, 1, stdout="Some update components are missing.\n", stderr="")
                self.assertEqual(sim.commands, [])
                self.assertFalse(scratch.exists(IMAGE_FILE))
                self.assertFalse(scratch.exists("args.txt"), "the programmer ran")

    def test_shell_syntax_in_the_port_name_runs_nothing(self):
        names = (["x&echo PWNED>PWNED", "x|echo PWNED>PWNED", "x\"&echo PWNED>PWNED&\""] if WINDOWS
                 else ["x;touch PWNED", "$(touch PWNED)", "`touch PWNED`", "x' && touch 'PWNED"])
        for name in names:
            with self.subTest(name=name):
                scratch = self.scratch()
                with Sim() as sim:
                    result = self.update(scratch, name, sim)
                self.assertRun(result, 0,
                               stdout="Update started.\nfake programmer ran\nFirmware update succeeded.\n")
                self.assertFalse(scratch.exists("PWNED"), "a command ran from the port name")
                self.assertEqual(scratch.arguments(), expected_arguments(name))

    def test_port_name_length_limit(self):
        for length, accepted in [(171, True), (172, False)]:
            name = ("COM" if WINDOWS else "/dev/") + "p" * (length - (3 if WINDOWS else 5))
            with self.subTest(length=length):
                scratch = self.scratch()
                with Sim() as sim:
                    result = self.update(scratch, name, sim)
                if accepted:
                    self.assertRun(result, 0, stdout="Update started.\nfake programmer ran\n"
                                   "Firmware update succeeded.\n")
                    self.assertEqual(scratch.arguments(), expected_arguments(name))
                else:
                    self.assertRun(result, 1, stdout="Bootloader port name is too long "
                                   "(at most 171 characters).\n")
                    self.assertEqual(sim.commands, [])
                    self.assertFalse(scratch.exists("args.txt"), "the programmer ran")
                self.assertFalse(scratch.exists(IMAGE_FILE))


@unittest.skipIf(WINDOWS, "the real avrdude runs natively")
class UpdateWithRealAvrdude(FirmwareCase):
    def test_avrdude_writes_the_carried_image_into_the_bootloader(self):
        if not REAL_AVRDUDE or not os.path.exists(REAL_AVRDUDE_CONF):
            if os.environ.get("CI"):
                self.fail("avrdude or %s is not installed" % REAL_AVRDUDE_CONF)
            self.skipTest("avrdude is not installed")
        scratch = self.scratch(components=[])
        os.symlink(REAL_AVRDUDE, scratch.file("avrdude"))
        os.symlink(REAL_AVRDUDE_CONF, scratch.file("avrdude.conf"))
        boot_link = scratch.file("bootloader")
        flash_out = scratch.file("flash.bin")
        with Sim("--boot-link", boot_link, "--flash-out", flash_out) as sim:
            result = self.update(scratch, boot_link, sim)
        rest = self.assertRun(result, 0)
        # avrdude's own report goes to standard error, between the two lines.
        self.assertEqual(rest, "Update started.\nFirmware update succeeded.\n", repr(result))
        self.assertIn("bytes of flash verified", result.stderr)
        closing = [line for line in result.stderr.strip().split("\n") if line.strip()][-4:]
        sys.stderr.write("\navrdude's closing lines:\n%s\n" % "\n".join(closing))
        self.assertSentBootloaderLineOnly(sim)
        self.assertFalse(scratch.exists(IMAGE_FILE), "image file left behind")

        start, data = program_memory(carried_image()[:-1])
        flash = scratch.read("flash.bin")
        self.assertEqual(len(flash), FLASH_SIZE)
        self.assertBytesEqual(data, flash[start:start + len(data)], "flashed program memory")
        untouched = flash[:start] + flash[start + len(data):BOOT_SECTION]
        self.assertBytesEqual(b"\xff" * len(untouched), untouched, "flash outside the image")


@unittest.skipIf(WINDOWS, "the stand-in runs natively; once is enough")
class StandInBootloader(E2ETestCase):
    """The stand-in's bootloader pty, spoken to directly in AVR109."""

    SIGNATURE_REPLY = b"\x87\x95\x1e"  # low byte first
    CASES = [
        # name, request, reply
        ("software_id", b"S", b"ORVBOOT"),
        ("signature", b"s", SIGNATURE_REPLY),
        ("block_support", b"b", b"Y\x00\x80"),
        ("device_codes", b"t", b"\x44\x00"),
        ("own_device_code", b"T\x44", b"\r"),
        ("other_device_code", b"T\x01", b"?"),
        ("unknown_command", b"Z", b"?"),
        ("wake_up_is_not_answered", b"\x1bs", SIGNATURE_REPLY),
        ("block_written_reads_back",
         b"A\x00\x10" + b"B\x00\x04F\x01\x02\x03\x04" + b"A\x00\x10" + b"g\x00\x04F",
         b"\r\r\r\x01\x02\x03\x04"),
        ("auto_increment_in_words",
         b"A\x00\x00" + b"B\x00\x02F\xaa\xbb" + b"B\x00\x02F\xcc\xdd" + b"A\x00\x00" + b"g\x00\x04F",
         b"\r\r\r\r\xaa\xbb\xcc\xdd"),
        ("erased_flash_reads_ff", b"A\x01\x00" + b"g\x00\x02F", b"\r\xff\xff"),
        ("bootloader_section_is_not_written", b"A\x38\x00" + b"B\x00\x02F\x01\x02", b"\r?"),
        # The refused block's data must not be taken for commands ("s").
        ("oversized_block_refused_whole", b"B\x01\x00F" + b"s" * 256 + b"s", b"?" + SIGNATURE_REPLY),
        ("eeprom_block", b"A\x00\x05" + b"B\x00\x01E\x5a" + b"A\x00\x05" + b"g\x00\x01E", b"\r\r\r\x5a"),
    ]

    def open_raw(self, path):
        import termios
        import tty
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, fd)
        tty.setraw(fd, termios.TCSANOW)  # TCSAFLUSH would drop what is waiting
        return fd

    def read_reply(self, fd, count, timeout=3.0):
        import select
        import time
        data = b""
        deadline = time.monotonic() + timeout
        while len(data) < count and time.monotonic() < deadline:
            ready, _, _ = select.select([fd], [], [], 0.05)
            if ready:
                data += os.read(fd, count - len(data))
        return data

    def enter_bootloader(self, sim, link):
        import time
        adapter = self.open_raw(sim.path)
        os.write(adapter, b"j\r")
        deadline = time.monotonic() + 5.0
        while not os.path.exists(link) and time.monotonic() < deadline:
            time.sleep(0.02)
        return self.open_raw(link)

    def test_commands(self):
        for name, request, reply in self.CASES:
            for pieces in (False, True):
                with self.subTest(name=name, pieces=pieces):
                    scratch = ScratchDir(components=[])
                    self.addCleanup(scratch.remove)
                    link = scratch.file("boot")
                    with Sim("--boot-link", link) as sim:
                        boot = self.enter_bootloader(sim, link)
                        if pieces:  # every byte on its own, as a slow line delivers
                            for byte in request:
                                os.write(boot, bytes([byte]))
                                self.read_reply(boot, 0, 0.002)
                        else:
                            os.write(boot, request)
                        answer = self.read_reply(boot, len(reply))
                        answer += self.read_reply(boot, 1, 0.2)  # nothing more may come
                    self.assertBytesEqual(reply, answer, "reply to %s" % name)

    def test_exit_writes_the_flash_out(self):
        scratch = ScratchDir(components=[])
        self.addCleanup(scratch.remove)
        link, flash_out = scratch.file("boot"), scratch.file("flash.bin")
        with Sim("--boot-link", link, "--flash-out", flash_out) as sim:
            boot = self.enter_bootloader(sim, link)
            os.write(boot, b"A\x00\x02" + b"B\x00\x02F\xab\xcd" + b"E")
            self.assertBytesEqual(b"\r\r\r", self.read_reply(boot, 3), "replies")
            # The flash is out before the answer to E, as avrdude ends on it.
            flash = scratch.read("flash.bin")
        expected = b"\xff" * 4 + b"\xab\xcd" + b"\xff" * (FLASH_SIZE - 6)
        self.assertBytesEqual(expected, flash, "flash written at exit")


# ---- The build's image check and the placeholder (native only).

def hex_record(kind, address, payload):
    body = bytes([len(payload), address >> 8, address & 0xFF, kind]) + payload
    return ":" + (body + bytes([(-sum(body)) & 0xFF])).hex().upper()


GOOD_DATA = hex_record(0, 0, bytes(range(16)))
GOOD_END = ":00000001FF"


@unittest.skipIf(WINDOWS, "build scripts run on the build machine")
class ImageCheck(unittest.TestCase):
    BROKEN = [
        # name, file text, part of the message
        ("bad_checksum", GOOD_DATA[:-2] + "00\r\n" + GOOD_END + "\r\n", "line 1 checksum"),
        ("end_record_not_last", GOOD_END + "\r\n" + GOOD_DATA + "\r\n", "line 1: end-of-file record before"),
        ("no_end_record", GOOD_DATA + "\r\n", "last record is not the end-of-file record"),
        ("end_record_twice", GOOD_DATA + "\r\n" + GOOD_END + "\r\n" + GOOD_END + "\r\n", "line 2: end-of-file"),
        ("odd_digit_count", GOOD_DATA + "0\r\n" + GOOD_END + "\r\n", "line 1 has an odd number"),
        ("count_mismatch", ":0F" + GOOD_DATA[3:] + "\r\n" + GOOD_END + "\r\n", "line 1 byte count 15"),
        ("not_hex", GOOD_DATA[:5] + "G" + GOOD_DATA[6:] + "\r\n" + GOOD_END + "\r\n", "line 1 holds characters"),
        ("no_colon", GOOD_DATA[1:] + "\r\n" + GOOD_END + "\r\n", "line 1 does not start with ':'"),
        ("blank_line", GOOD_DATA + "\r\n\r\n" + GOOD_END + "\r\n", "line 2 does not start"),
        ("no_final_line_end", GOOD_DATA + "\r\n" + GOOD_END, "no line end"),
        ("unknown_type", hex_record(6, 0, b"") + "\r\n" + GOOD_END + "\r\n", "unknown record type 0x06"),
        ("end_record_with_data", hex_record(1, 0, b"\x01") + "\r\n", "end-of-file record with address or data"),
        ("empty", "", "empty"),
        ("nul_inside", GOOD_DATA + "\r\n\0" + GOOD_END + "\r\n", "NUL"),
        ("too_short", ":0000\r\n" + GOOD_END + "\r\n", "shorter than a record"),
    ]

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="orvelan-image-check-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def check(self, text):
        source = os.path.join(self.dir, "in.hex")
        output = os.path.join(self.dir, "out.cpp")
        with open(source, "w", newline="") as f:
            f.write(text)
        if os.path.exists(output):
            os.unlink(output)
        run = subprocess.run([sys.executable, CHECKER_SCRIPT, source, output],
                             capture_output=True, text=True)
        return run, output

    def test_broken_files_are_refused(self):
        for name, text, message in self.BROKEN:
            with self.subTest(name=name):
                run, output = self.check(text)
                self.assertEqual(run.returncode, 1, run.stderr)
                self.assertIn(message, run.stderr)
                self.assertFalse(os.path.exists(output))

    def test_sound_file_is_embedded_byte_for_byte_with_a_nul(self):
        for line_end in ["\r\n", "\n"]:
            with self.subTest(line_end=repr(line_end)):
                text = line_end.join([GOOD_DATA, hex_record(4, 0, b"\x00\x01"), GOOD_END]) + line_end
                run, output = self.check(text)
                self.assertEqual(run.returncode, 0, run.stderr)
                with open(output) as f:
                    generated = f.read()
                array = generated.split("FIRMWARE_IMAGE[] = {", 1)[1].split("};", 1)[0]
                embedded = bytes(int(v, 16) for v in array.replace("\n", "").split(",") if v.strip())
                self.assertEqual(embedded, text.encode() + b"\0")

    def test_broken_image_fails_the_build(self):
        # The real build wiring: configure with a firmware file of our own and
        # build only the generated source, first broken, then mended.
        cmake = shutil.which("cmake")
        ninja = shutil.which("ninja")
        if not cmake or not ninja:
            self.skipTest("cmake or ninja missing")
        firmware = os.path.join(self.dir, "firmware.hex")
        build = os.path.join(self.dir, "build")
        with open(firmware, "w", newline="") as f:
            f.write(GOOD_DATA[:-2] + "00\r\n" + GOOD_END + "\r\n")
        configure = subprocess.run(
            [cmake, "-S", SOURCE, "-B", build, "-G", "Ninja", "-DORVELAN_TESTS=OFF",
             "-DORVELAN_SIM=OFF", "-DORVELAN_FIRMWARE_HEX=" + firmware],
            capture_output=True, text=True)
        self.assertEqual(configure.returncode, 0, configure.stdout + configure.stderr)
        target = ["ninja", "-C", build, "generated/firmware_image.cpp"]
        broken = subprocess.run(target, capture_output=True, text=True)
        self.assertNotEqual(broken.returncode, 0, broken.stdout)
        self.assertIn("line 1 checksum", broken.stdout + broken.stderr)
        with open(firmware, "w", newline="") as f:
            f.write(GOOD_DATA + "\r\n" + GOOD_END + "\r\n")
        mended = subprocess.run(target, capture_output=True, text=True)
        self.assertEqual(mended.returncode, 0, mended.stdout + mended.stderr)


@unittest.skipIf(WINDOWS, "build scripts run on the build machine")
class Placeholder(unittest.TestCase):
    def test_script_makes_the_file_in_the_repository(self):
        with tempfile.TemporaryDirectory() as directory:
            made = os.path.join(directory, "placeholder.hex")
            subprocess.run([sys.executable, PLACEHOLDER_SCRIPT, made], check=True)
            with open(made, "rb") as f, open(PLACEHOLDER, "rb") as g:
                self.assertEqual(f.read(), g.read())

    def test_placeholder_keeps_an_adapter_in_its_bootloader(self):
        with open(PLACEHOLDER, "rb") as f:
            start, data = program_memory(f.read())
        self.assertEqual(start, 0)
        # jmp k: 1001 010k kkkk 110k, then the low 16 bits of the word address.
        first, second = data[0] | data[1] << 8, data[2] | data[3] << 8
        self.assertEqual(first & 0xFE0E, 0x940C, "reset vector is no jmp: %s" % data[:4].hex())
        word = ((first >> 4 & 0x1F) << 1 | (first & 1)) << 16 | second
        self.assertEqual(word * 2, BOOT_SECTION)
        # Every interrupt vector goes there too.
        for vector in range(43):
            self.assertEqual(data[vector * 4:vector * 4 + 4], data[:4], "vector %d" % vector)


if __name__ == "__main__":
    unittest.main()

#!/usr/bin/env python3
"""Checks an Intel HEX firmware file and writes it as the tool's carried image.

The output is a C++ source defining FIRMWARE_IMAGE (the file's text byte for
byte plus a terminating NUL) and FIRMWARE_IMAGE_SIZE. A file that is not sound
Intel HEX fails with a message naming the line, so a broken image fails the
build instead of being flashed into an adapter:
  - every line is one record, ':' followed by an even number of hex digits,
    ended by CR LF or LF, with no blank lines;
  - the byte count matches the record's length and the checksum adds up;
  - the record types are 00 to 05 and the end-of-file record ':00000001FF'
    is present exactly once, as the last record.

Usage: embed_firmware_image.py INPUT.hex OUTPUT.cpp
"""
import os
import sys

HEX_DIGITS = set("0123456789ABCDEFabcdef")


def check_record(line):
    """Returns an error text for one record without its line end, or None."""
    if not line.startswith(":"):
        return "does not start with ':'"
    digits = line[1:]
    if not digits or any(c not in HEX_DIGITS for c in digits):
        return "holds characters other than hex digits"
    if len(digits) % 2:
        return "has an odd number of hex digits"
    body = bytes.fromhex(digits)
    if len(body) < 5:
        return "is shorter than a record header and checksum"
    if body[0] != len(body) - 5:
        return "byte count %d does not match its %d data bytes" % (body[0], len(body) - 5)
    if sum(body) & 0xFF:
        return "checksum 0x%02X is wrong (expected 0x%02X)" % (body[-1], (body[-1] - sum(body)) & 0xFF)
    if body[3] > 5:
        return "has unknown record type 0x%02X" % body[3]
    if body[3] == 1 and (body[0] != 0 or body[1] or body[2]):
        return "is an end-of-file record with address or data"
    return None


def check_text(text):
    """Returns an error text for the whole file, or None."""
    if not text:
        return "the file is empty"
    if "\0" in text:
        return "the file holds a NUL byte"
    if not text.endswith("\n"):
        return "the last record has no line end"
    lines = text[:-1].split("\n")
    for number, raw in enumerate(lines, 1):
        line = raw[:-1] if raw.endswith("\r") else raw
        error = check_record(line)
        if error:
            return "line %d %s" % (number, error)
        if line[7:9] == "01" and number != len(lines):
            return "line %d: end-of-file record before the last line" % number
    if lines[-1].rstrip("\r")[7:9] != "01":
        return "the last record is not the end-of-file record"
    return None


def cpp_source(data, origin):
    stored = data + b"\0"
    rows = []
    for start in range(0, len(stored), 16):
        rows.append("    " + ",".join("0x%02X" % b for b in stored[start:start + 16]) + ",")
    return (
        "// Generated at build time from %s; do not edit.\n"
        '#include "firmware/image.h"\n\n'
        "// The Intel HEX text byte for byte, then a NUL.\n"
        "extern const char FIRMWARE_IMAGE[] = {\n%s\n};\n\n"
        "extern const std::uint32_t FIRMWARE_IMAGE_SIZE = sizeof(FIRMWARE_IMAGE);\n"
        % (os.path.basename(origin), "\n".join(rows))
    )


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    try:
        with open(argv[1], "rb") as source:
            data = source.read()
    except OSError as error:
        sys.stderr.write("firmware image %s: %s\n" % (argv[1], error.strerror))
        return 1
    try:
        text = data.decode("ascii")
    except UnicodeDecodeError:
        text = None
    error = check_text(text) if text is not None else "the file holds bytes that are not ASCII"
    if error:
        sys.stderr.write("firmware image %s: %s\n" % (argv[1], error))
        return 1
    source = cpp_source(data, argv[1])
    # Rewrite only on change, so that an unchanged image recompiles nothing.
    try:
        with open(argv[2], "r", newline="") as old:
            if old.read() == source:
                return 0
    except OSError:
        pass
    with open(argv[2], "w", newline="") as out:
        out.write(source)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

#!/usr/bin/env python3
"""Writes the placeholder adapter firmware carried by builds without the real one.

The placeholder has the exact form of the real image (58952 bytes stored with the
terminating NUL, 1310 data records covering 0x0000..0x51D9, a 10-byte record at
0x51B0, CR LF line ends, upper-case hex, ":00000001FF" last) so that everything
around it is exercised as with the real image. It is harmless on a real adapter:
every 4-byte slot, the reset vector first, is a JMP to the bootloader at byte
address 0x7000, so an adapter flashed with it stays in its bootloader, ready for
a real image. A readable tag after the interrupt vectors names it in a dump.

Usage: make_placeholder_firmware.py OUTPUT.hex
"""
import sys

IMAGE_SIZE = 0x51DA                        # 20954 bytes of program memory
SHORT_RECORD_ADDRESS = 0x51B0              # the one record of 10 bytes
SHORT_RECORD_LENGTH = 10
RECORD_LENGTH = 16
JMP_BOOTLOADER = bytes([0x0C, 0x94, 0x00, 0x38])  # jmp 0x7000 (word address 0x3800)
TAG_ADDRESS = 0x0100                       # past the 43 vectors of the ATmega32U4
TAG = b"ORVELAN PLACEHOLDER FIRMWARE 2.4.0.0.0 - STAYS IN BOOTLOADER, FLASH THE REAL IMAGE\x00"


def program_memory():
    data = bytearray(JMP_BOOTLOADER * (IMAGE_SIZE // 4 + 1))[:IMAGE_SIZE]
    data[TAG_ADDRESS:TAG_ADDRESS + len(TAG)] = TAG
    return bytes(data)


def record_spans():
    """(address, length) of each data record, ascending and without gaps."""
    spans = []
    address = 0
    while address < IMAGE_SIZE:
        length = SHORT_RECORD_LENGTH if address == SHORT_RECORD_ADDRESS else RECORD_LENGTH
        length = min(length, IMAGE_SIZE - address)
        spans.append((address, length))
        address += length
    return spans


def record(kind, address, payload):
    body = bytes([len(payload), address >> 8, address & 0xFF, kind]) + payload
    checksum = (-sum(body)) & 0xFF
    return ":" + (body + bytes([checksum])).hex().upper() + "\r\n"


def hex_text():
    data = program_memory()
    lines = [record(0, a, data[a:a + n]) for a, n in record_spans()]
    lines.append(record(1, 0, b""))
    return "".join(lines)


def main(argv):
    if len(argv) != 2:
        sys.stderr.write(__doc__)
        return 2
    with open(argv[1], "w", newline="") as out:
        out.write(hex_text())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

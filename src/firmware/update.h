#pragma once
#include <cstdint>

#include "link/port.h"

// The firmware update (-u): the adapter is sent into its bootloader over its
// normal port, the carried image is written to a file in the current
// directory, and the programmer avrdude, found in the current directory with
// its files, writes it into the adapter through the bootloader port.

inline constexpr char FIRMWARE_FILE_NAME[] = "orvelan32u4.hex";

// The longest bootloader port name taken: the programmer's command line,
// 84 fixed characters plus the name, must fit 256 bytes with its NUL.
inline constexpr std::uint32_t BOOT_PORT_MAX_LENGTH = 171;

// The programmer's argument list for one bootloader port, each argument
// separate: "-P" and the name share the one buffer, nothing else is composed.
// argv points into the record itself, so it is passed by pointer, never copied.
struct programmer_command {
    char port_argument[BOOT_PORT_MAX_LENGTH + 3];
    const char* argv[10];
};

// The whole task. Returns 1 when avrdude reported success, else 0; every
// message goes to standard output.
int update_firmware(serial_port* port, const char* boot_port, int timeout_seconds);

// Creates or empties FIRMWARE_FILE_NAME and writes the whole carried block,
// text and NUL; true only when all of it reached the file.
bool write_firmware_file();

// Removes FIRMWARE_FILE_NAME; the caller ignores the result.
int delete_firmware_file();

// The steps of update_firmware, for the tests.

// The name of the first missing component, or nullptr when all are present.
const char* missing_update_component();

// Fills `command` for `boot_port`; false when the name is longer than
// BOOT_PORT_MAX_LENGTH.
bool compose_programmer_command(const char* boot_port, programmer_command* command);

// Writes the image file, runs the programmer on it, deletes the file and
// reports: "Could not copy firmware.", "Firmware update succeeded." or
// "Firmware update failed.". Returns 1 on success, else 0.
int flash_firmware_image(const programmer_command* command);

#include "firmware/update.h"

#include <cstdio>
#include <cstring>

#include "firmware/image.h"
#include "firmware/process.h"
#include "link/protocol.h"
#include "link/transfer.h"

namespace {

// The adapter needs a moment to leave its command interpreter and show its
// bootloader port before the programmer opens it.
constexpr unsigned BOOTLOADER_START_SECONDS = 2;

// 256 bytes hold any line the adapter takes; the bootloader line is three.
constexpr std::uint32_t COMMAND_BUFFER_SIZE = 256;

// The budget is a signed 32-bit count of milliseconds; keep the product in it.
std::int32_t budget_of(int timeout_seconds) {
    if (timeout_seconds > TIMEOUT_MAX_SECONDS) timeout_seconds = TIMEOUT_MAX_SECONDS;
    if (timeout_seconds < 1) timeout_seconds = 1;
    return static_cast<std::int32_t>(timeout_seconds) * 1000;
}

// Sends "j" and CR; nothing comes back. Prints the failure message itself.
bool send_bootloader_line(serial_port* port, std::int32_t* budget) {
    char line[COMMAND_BUFFER_SIZE];
    std::snprintf(line, sizeof line, FORMAT_BOOTLOADER_COMMAND, LINE_TERMINATOR);
    const io_result result = write_line(port, line, budget);
    if (result == IO_OK) return true;
    std::puts(result == IO_TIMED_OUT ? "Firmware update timed out." : "Firmware update failed.");
    return false;
}

}  // namespace

const char* missing_update_component() {
    for (const char* name : UPDATE_COMPONENTS) {
        if (!file_exists(name)) return name;
    }
    return nullptr;
}

bool compose_programmer_command(const char* boot_port, programmer_command* command) {
    if (std::strlen(boot_port) > BOOT_PORT_MAX_LENGTH) return false;
    std::snprintf(command->port_argument, sizeof command->port_argument, "-P%s", boot_port);
    const char* const argv[] = {"avrdude", "-Cavrdude.conf", "-v", "-pm32u4", "-cavr109",
                                command->port_argument, "-b57600", "-D",
                                "-Uflash:w:orvelan32u4.hex:i", nullptr};
    static_assert(sizeof argv == sizeof command->argv);
    std::memcpy(command->argv, argv, sizeof argv);
    return true;
}

bool write_firmware_file() {
    std::FILE* file = std::fopen(FIRMWARE_FILE_NAME, "wb");
    if (file == nullptr) return false;
    const std::size_t written = std::fwrite(FIRMWARE_IMAGE, 1, FIRMWARE_IMAGE_SIZE, file);
    // The last buffered bytes reach the file only in fclose; a failure there
    // leaves a truncated image that must not be handed to the programmer.
    const bool closed = std::fclose(file) == 0;
    return closed && written == FIRMWARE_IMAGE_SIZE;
}

int delete_firmware_file() { return delete_file(FIRMWARE_FILE_NAME) ? 0 : -1; }

int flash_firmware_image(const programmer_command* command) {
    if (!write_firmware_file()) {
        std::puts("Could not copy firmware.");
        return 0;
    }
    // Our lines first, then whatever the programmer prints.
    std::fflush(stdout);
    const int status = run_program(PROGRAMMER_PATH, command->argv);
    delete_firmware_file();
    if (status != 0) {
        std::puts("Firmware update failed.");
        return 0;
    }
    std::puts("Firmware update succeeded.");
    return 1;
}

int update_firmware(serial_port* port, const char* boot_port, int timeout_seconds) {
    std::int32_t budget = budget_of(timeout_seconds);
    programmer_command command;
    // Refused before anything is sent, so the adapter is never left waiting in
    // its bootloader for a programmer that cannot be started.
    if (!compose_programmer_command(boot_port, &command)) {
        std::printf("Bootloader port name is too long (at most %u characters).\n",
                    static_cast<unsigned>(BOOT_PORT_MAX_LENGTH));
        return 0;
    }
    if (missing_update_component() != nullptr) {
        std::puts("Some update components are missing.");
        return 0;
    }
    std::puts("Update started.");
    if (!send_bootloader_line(port, &budget)) return 0;
    std::fflush(stdout);
    sleep_seconds(BOOTLOADER_START_SECONDS);
    return flash_firmware_image(&command);
}

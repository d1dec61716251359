#pragma once
#include <cstdint>

#include "firmware/version.h"  // FIRMWARE_VERSION, the version of this block

// The adapter firmware the tool carries for -u: Intel HEX text exactly as the
// build's firmware file holds it, followed by one NUL. The build generates the
// definition from ORVELAN_FIRMWARE_HEX and refuses a file whose records do not
// check out, so the block here is always well-formed.
extern const char FIRMWARE_IMAGE[];

// Bytes stored, text plus the NUL; all of them go into the image file.
extern const std::uint32_t FIRMWARE_IMAGE_SIZE;

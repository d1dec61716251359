#pragma once

// Version of the adapter firmware image this build carries for -u.
inline constexpr int FIRMWARE_VERSION[5] = {2, 4, 0, 0, 0};

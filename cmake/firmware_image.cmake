# The firmware image carried for -u is generated from ORVELAN_FIRMWARE_HEX at
# build time (filled in with the firmware update).

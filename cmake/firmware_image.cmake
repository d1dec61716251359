# The firmware image carried for -u, generated from ORVELAN_FIRMWARE_HEX at
# build time. The generator checks every record (format, byte count, checksum,
# type) and that the end-of-file record comes last; a broken file fails the
# build rather than ending up in an adapter.
find_package(Python3 COMPONENTS Interpreter REQUIRED)

set(firmware_image_cpp "${CMAKE_BINARY_DIR}/generated/firmware_image.cpp")
add_custom_command(
  OUTPUT "${firmware_image_cpp}"
  COMMAND "${CMAKE_COMMAND}" -E make_directory "${CMAKE_BINARY_DIR}/generated"
  COMMAND Python3::Interpreter "${CMAKE_SOURCE_DIR}/scripts/embed_firmware_image.py"
          "${ORVELAN_FIRMWARE_HEX}" "${firmware_image_cpp}"
  DEPENDS "${ORVELAN_FIRMWARE_HEX}" "${CMAKE_SOURCE_DIR}/scripts/embed_firmware_image.py"
  COMMENT "Checking and embedding firmware image ${ORVELAN_FIRMWARE_HEX}"
  VERBATIM)
target_sources(orvelan_firmware PRIVATE "${firmware_image_cpp}")

if(ORVELAN_FIRMWARE_HEX STREQUAL "${CMAKE_SOURCE_DIR}/firmware/placeholder.hex")
  message(STATUS "Firmware image: the placeholder (set ORVELAN_FIRMWARE_HEX to the real adapter firmware)")
else()
  message(STATUS "Firmware image: ${ORVELAN_FIRMWARE_HEX}")
endif()

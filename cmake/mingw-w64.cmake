# Cross-compiles the tool for 64-bit Windows with MinGW-w64 on Linux.
# Used by the `windows` preset: cmake --preset windows && cmake --build --preset windows
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ORVELAN_MINGW_TRIPLET x86_64-w64-mingw32)

# The posix thread model is the one Debian installs for C++20 (std::thread and
# friends); with -static its runtime ends up inside the executable.
find_program(ORVELAN_MINGW_CXX NAMES ${ORVELAN_MINGW_TRIPLET}-g++-posix ${ORVELAN_MINGW_TRIPLET}-g++
             REQUIRED)
find_program(ORVELAN_MINGW_CC NAMES ${ORVELAN_MINGW_TRIPLET}-gcc-posix ${ORVELAN_MINGW_TRIPLET}-gcc)
find_program(ORVELAN_MINGW_WINDRES NAMES ${ORVELAN_MINGW_TRIPLET}-windres)
set(CMAKE_CXX_COMPILER "${ORVELAN_MINGW_CXX}")
if(ORVELAN_MINGW_CC)
  set(CMAKE_C_COMPILER "${ORVELAN_MINGW_CC}")
endif()
if(ORVELAN_MINGW_WINDRES)
  set(CMAKE_RC_COMPILER "${ORVELAN_MINGW_WINDRES}")
endif()

# Headers and libraries come from the MinGW-w64 sysroot only; build-time
# programs (python, the firmware image generator) come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${ORVELAN_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows programs registered as tests or run at build time go through Wine.
find_program(ORVELAN_WINE NAMES wine wine64)
if(ORVELAN_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${ORVELAN_WINE}")
endif()

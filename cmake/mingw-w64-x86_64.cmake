# Cross-builds the Windows program on Debian with MinGW-w64. The posix thread
# model is the one whose runtime has std::mutex and std::thread; the win32
# model lacks them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VORBEX_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VORBEX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VORBEX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VORBEX_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VORBEX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One .exe that needs no MinGW runtime DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Runs the test programs (and gtest's discovery of their tests) under Wine,
# in a prefix of its own inside the build tree, with its debug chatter off.
find_program(VORBEX_WINE NAMES wine64 wine
             PATHS /usr/lib/wine /usr/bin NO_CMAKE_FIND_ROOT_PATH)
if(VORBEX_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      ${CMAKE_COMMAND} -E env WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix
      WINEDEBUG=-all ${VORBEX_WINE})
endif()

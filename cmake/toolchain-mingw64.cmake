# Cross build for 64-bit Windows with Debian's mingw-w64 (the posix thread model, which the C++ runtime's
# threads and GoogleTest need), tested under wine64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KESTRUM_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KESTRUM_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KESTRUM_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KESTRUM_MINGW_TRIPLE}-windres)

# Libraries and headers come from the cross sysroot only; programs (the emulator, objdump) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${KESTRUM_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program of the build (tests, the command, the server) carries the compiler's runtime inside, so it
# starts under Wine or on a bare Windows without libstdc++-6.dll, libgcc_s_seh-1.dll or
# libwinpthread-1.dll beside it. The DLL gets the same, see src/CMakeLists.txt.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# Debian installs wine64 outside PATH unless the wine wrapper package is there too.
find_program(KESTRUM_WINE64 NAMES wine64 wine HINTS /usr/lib/wine /usr/lib64/wine)
if(KESTRUM_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTRUM_WINE64})
endif()

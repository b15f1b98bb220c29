# Cross-builds for 64-bit Windows with Debian's MinGW-w64 (the posix-threads
# variant, whose libstdc++ has std::thread and std::mutex).
#
# Everything is linked statically, so velloran-update.exe and the test
# programs run with no MinGW DLL beside them. Libraries and headers are looked
# up only in the MinGW sysroot; programs (windres, wine) on the build host.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VELLORAN_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VELLORAN_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELLORAN_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VELLORAN_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VELLORAN_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")


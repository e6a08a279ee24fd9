# What the two Windows toolchain files share; each sets TAMBREL_MINGW_TRIPLET and
# TAMBREL_WINE (the Wine loader for its programs) first. Debian's MinGW-w64 compilers,
# posix thread model.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${TAMBREL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAMBREL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TAMBREL_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TAMBREL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C++ runtime, libgcc and winpthreads inside each program: an .exe needs only the
# system's own DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Test discovery and ctest run the programs under Wine, in a prefix of this build's own.
set(CMAKE_CROSSCOMPILING_EMULATOR
    "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run;${TAMBREL_WINE};${CMAKE_BINARY_DIR}/wineprefix")

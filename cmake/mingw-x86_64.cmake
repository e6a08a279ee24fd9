# 64-bit Windows: the same sources, for testing under a 64-bit-only Wine on machines
# whose kernel runs no 32-bit x86 code (scripts/run-tests-windows says when).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TAMBREL_MINGW_TRIPLET x86_64-w64-mingw32)
set(TAMBREL_WINE /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)

# 32-bit Windows, the program's home: `make windows` builds into build-win32/.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TAMBREL_MINGW_TRIPLET i686-w64-mingw32)
set(TAMBREL_WINE wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)

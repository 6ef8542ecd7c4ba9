# Cross toolchain: 64-bit Windows through MinGW-w64 (posix thread model), for 64-bit Office.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(TK_MINGW_PREFIX x86_64-w64-mingw32)
set(TK_WINE_RUNNER wine64-run.sh)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

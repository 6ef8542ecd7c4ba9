# Cross toolchain: 32-bit Windows through MinGW-w64 (posix thread model), for 32-bit Office.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(TK_MINGW_PREFIX i686-w64-mingw32)
set(TK_WINE_RUNNER wine-run.sh)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# SSE2 doubles everywhere: x87 extended precision would make sums that must be
# equal (the benchmark checksum) differ depending on register spills.
set(CMAKE_C_FLAGS_INIT   "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")

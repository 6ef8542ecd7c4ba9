# Cross toolchain: 32-bit Windows through MinGW-w64 (posix thread model).
# The DLL must load in a 32-bit spreadsheet process, so everything is i686.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(TK_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER   ${TK_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TK_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER  ${TK_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TK_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# SSE2 doubles everywhere: x87 extended precision would make sums that must be
# equal (the benchmark checksum) differ depending on register spills.
set(CMAKE_C_FLAGS_INIT   "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")

# Windows binaries run under Wine on the build machine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)

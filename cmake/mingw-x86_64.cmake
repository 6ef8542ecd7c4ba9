# Cross toolchain: 64-bit Windows through MinGW-w64 (posix thread model), for 64-bit Office.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(TK_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${TK_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TK_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER  ${TK_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TK_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Windows binaries run under Wine on the build machine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine64-run.sh)

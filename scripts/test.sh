#!/usr/bin/env bash
# Checks the formatting, builds tkselect and runs every test under Wine. Exit code non-zero
# on any failure.
#   scripts/test.sh              the default build (build/mingw)
#   TK_PRESET=ci scripts/test.sh warnings as errors (build/ci), as CI runs it
source "$(dirname "$0")/lib.sh"

tk_install
tk_check_format
tk_configure_and_build
tk_wine_ready
trap tk_wine_done EXIT
ctest --test-dir "$TK_BUILD" --output-on-failure -j 2 "$@"
# The release archive: DLL, macro module, runner, README, docs.
(cd "$TK_BUILD" && cpack -G ZIP >/dev/null) && tk_log "release archive: $(ls "$TK_BUILD"/tkselect-*-win32.zip)"

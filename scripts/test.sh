#!/usr/bin/env bash
# Checks the formatting, builds tkselect for 32-bit and 64-bit Windows, runs every test of
# both under Wine, the macro module's checks in the office suite's Basic and the sample
# workbook's (scripts/make_workbook.py, tests/workbook/). Exit code
# non-zero on any failure.
#   scripts/test.sh              the default builds (build/mingw and build/mingw64)
#   TK_PRESET=ci scripts/test.sh warnings as errors (build/ci and build/ci64), as CI runs it
# Arguments go to both ctest runs, e.g. scripts/test.sh -R dll_test
source "$(dirname "$0")/lib.sh"

tk_install
tk_check_format
tk_configure_and_build
tk_wine_ready
trap tk_wine_done EXIT
status=0
for build in "$TK_BUILD" "$TK_BUILD64"; do
  ctest --test-dir "$build" --output-on-failure -j 2 "$@" || status=1
done
# The macro module in the office suite's Basic (the system Python has its bridge).
tk_log "the macro module in the office suite's Basic"
/usr/bin/python3 "$TK_ROOT/tests/module/module_test.py" || status=1
# The sample workbook, built from the module and opened by other readers than its writer.
tk_log "the sample workbook"
workbook=$(tk_workbook) || status=1
[ -z "${workbook:-}" ] || /usr/bin/python3 "$TK_ROOT/tests/workbook/workbook_test.py" \
  "$workbook" || status=1
[ "$status" -eq 0 ] || exit 1
# The release archive: both DLLs and runners, the macro module, the sample workbook,
# README, licence, docs.
archive=$(tk_release_archive)
tk_log "release archive: $archive"

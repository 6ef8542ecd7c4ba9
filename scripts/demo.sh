#!/usr/bin/env bash
# Builds tkselect and runs the main job: the demo program loads the real tkselect.dll
# under Wine, the way a macro does, and prints what each call answers.
source "$(dirname "$0")/lib.sh"

tk_install
tk_configure_and_build >/dev/null
tk_wine_ready
trap tk_wine_done EXIT
cd "$TK_BIN"
wine tkdemo.exe tkselect.dll

#!/usr/bin/env bash
# Builds what the demo runs and runs the main job: tkrun64 sorts the bundled example tables
# through the real tkselect64.dll under Wine, as a macro would drive it, and the tables are
# shown before and after. The sorted tables are left in build/demo/. It says what it does as
# it goes: the first run installs packages and builds, which takes minutes (README).
source "$(dirname "$0")/lib.sh"

tk_log "checking the packages the demo needs (a first run installs them with apt-get)"
tk_install demo
tk_log "configuring the 64-bit build in $TK_BUILD64"
(cd "$TK_ROOT" && cmake --preset "$TK_PRESET64" >/dev/null)
tk_log "building tkselect64.dll and tkrun64.exe (a minute or two the first time)"
(cd "$TK_ROOT" && cmake --build --preset "$TK_PRESET64" --target tkselect tkrun >&2)
tk_log "starting Wine (the first start creates its prefix, a few seconds)"
tk_wine_ready
trap tk_wine_done EXIT

out="$TK_ROOT/build/demo"
mkdir -p "$out"
cp "$TK_ROOT"/examples/*.csv "$out/"
cd "$out"
tk_log "sorting the example tables in $out"
run() { "$TK_ROOT/cmake/wine64-run.sh" "$TK_BIN64/tkrun64.exe" "$@"; }
show() { printf '\n--- %s (first %s lines)\n' "$1" "$2"; head -n "$2" "$1" | tr -d '\r'; }

printf '=== 1. File names in natural order, compared by the library itself\n'
show files.csv 8
run --sort "1,TK_COMPASCNATURAL" --index files_order.txt --output files_sorted.csv files.csv
show files_sorted.csv 12
show files_order.txt 5

printf '\n=== 2. Staff by department (case-insensitive), then salary descending; stable\n'
show staff.csv 8
run --sort "2,TK_COMPASCAUTO 4,TK_COMPDESAUTO" --output staff_by_department.csv staff.csv
show staff_by_department.csv 12

printf '\n=== 3. By grade, then shortest name; name column moved and exported by this program\n'
run --sort "5,TK_COMPASCAUTO 1,TK_COMPBRKO" --compare 1=length \
    --export "1,1,TK_EXPORTAUTO 2,2,TK_EXPORTBRKO 4,3,TK_EXPORTAUTO" --export-to summary.csv \
    --export-out summary_by_grade.csv --output staff_by_grade.csv staff.csv
show summary_by_grade.csv 10
printf '\nSorted tables are in %s\n' "$out"

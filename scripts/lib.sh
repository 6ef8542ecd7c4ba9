# Shared by the scripts: paths, the Wine environment, and installing what is missing.
# Sourced, not run.
set -euo pipefail

TK_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# Two build trees per flavour: the preset for 32-bit Windows (tkselect.dll, tkrun.exe) and
# the same name with 64 for 64-bit Windows (tkselect64.dll, tkrun64.exe).
TK_PRESET=${TK_PRESET:-mingw}
TK_PRESET64="${TK_PRESET}64"
TK_BUILD="$TK_ROOT/build/$TK_PRESET"
TK_BIN="$TK_BUILD/bin"
TK_BUILD64="$TK_ROOT/build/$TK_PRESET64"
TK_BIN64="$TK_BUILD64/bin"

export DEBIAN_FRONTEND=noninteractive
# Our own Wine prefix inside the build tree: no dependence on HOME, and a clean clone
# gets a fresh one (its first start takes a few seconds). A 64-bit prefix, which runs the
# 32-bit programs as well.
export WINEPREFIX="${WINEPREFIX:-$TK_ROOT/build/wineprefix-wow64}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

tk_log() { printf '[tkselect] %s\n' "$*" >&2; }

# Installs the cross compilers, Wine (32- and 64-bit), CMake, clang-format, GoogleTest's
# sources, the office suite's Basic with its Python bridge (the module test) and the Python
# modules that write and read the sample workbook, each only when it is missing. With
# `demo`, only what the demo builds and runs: the 64-bit compiler, CMake, GoogleTest's sources
# (the configure step reads them) and Wine.
tk_install() {
  local only=${1:-all}
  local need=()
  command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || need+=(g++-mingw-w64-x86-64)
  command -v cmake >/dev/null 2>&1 || need+=(cmake)
  [ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
  command -v wine >/dev/null 2>&1 || need+=(wine)
  dpkg -s wine32:i386 >/dev/null 2>&1 || need+=(wine32:i386)
  dpkg -s wine64 >/dev/null 2>&1 || need+=(wine64)
  if [ "$only" != demo ]; then
    command -v i686-w64-mingw32-g++-posix >/dev/null 2>&1 || need+=(g++-mingw-w64-i686)
    command -v clang-format >/dev/null 2>&1 || need+=(clang-format)
    command -v soffice >/dev/null 2>&1 || need+=(libreoffice-calc-nogui)
    /usr/bin/python3 -c 'import uno' >/dev/null 2>&1 || need+=(python3-uno)
    # The sample workbook: written with xlsxwriter, its macro project read back by olefile.
    /usr/bin/python3 -c 'import xlsxwriter' >/dev/null 2>&1 || need+=(python3-xlsxwriter)
    /usr/bin/python3 -c 'import olefile' >/dev/null 2>&1 || need+=(python3-olefile)
  fi
  [ ${#need[@]} -eq 0 ] && return 0

  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  tk_log "installing: ${need[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  $sudo apt-get update -q
  $sudo apt-get install -y -q --no-install-recommends "${need[@]}"
}

# Builds both architectures; the 64-bit tree first, so that the 32-bit tree's release
# archive can take its binaries.
tk_configure_and_build() {
  (cd "$TK_ROOT" && cmake --preset "$TK_PRESET64" >/dev/null)
  (cd "$TK_ROOT" && cmake --build --preset "$TK_PRESET64")
  (cd "$TK_ROOT" && cmake --preset "$TK_PRESET" -DTK_WIN64_BIN="$TK_BIN64" >/dev/null)
  (cd "$TK_ROOT" && cmake --build --preset "$TK_PRESET")
}

# Creates the Wine prefix once, before programs run in parallel against it: with the 64-bit
# loader, so that it runs both kinds of program.
tk_wine_ready() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    tk_log "creating the Wine prefix in $WINEPREFIX"
    "$TK_ROOT/cmake/wine64-run.sh" wineboot --init >/dev/null 2>&1 || true
    wineserver -w || true
  fi
}

# Lets the Wine server end, so that nothing of ours outlives the script.
tk_wine_done() { wineserver -k >/dev/null 2>&1 || true; }

# The C++ sources as .clang-format lays them out: lists every file that differs and fails.
tk_check_format() {
  local unformatted=()
  local file
  while IFS= read -r file; do
    clang-format --dry-run -Werror "$TK_ROOT/$file" >/dev/null 2>&1 || unformatted+=("$file")
  done < <(cd "$TK_ROOT" && git ls-files -- 'src/*.cpp' 'src/*.h' 'tools/*.cpp' 'tools/*.h' \
                                             'tests/*.cpp' 'tests/*.h')
  if [ ${#unformatted[@]} -gt 0 ]; then
    tk_log "not formatted as .clang-format says (run clang-format -i on them):"
    printf '  %s\n' "${unformatted[@]}" >&2
    return 1
  fi
}

# The sample workbook TKselect-examples.xlsm, built from the modules of vba/ into the 32-bit
# tree (the system Python has Debian's xlsxwriter); prints its path.
tk_workbook() {
  local workbook="$TK_BUILD/TKselect-examples.xlsm"
  mkdir -p "$TK_BUILD"
  /usr/bin/python3 "$TK_ROOT/scripts/make_workbook.py" "$workbook" >&2 \
    || { tk_log "make_workbook.py failed"; return 1; }
  echo "$workbook"
}

# Builds the release archive in the 32-bit tree, with the sample workbook beside the DLLs,
# and checks that it holds what its README lists; prints the archive's path.
tk_release_archive() {
  # Called inside $(...), where set -e does not reach: every step says itself when it failed,
  # so that an older archive never passes for this one.
  local archive workbook
  rm -f "$TK_BUILD"/tkselect-*-windows.zip
  workbook=$(tk_workbook) || return 1
  (cd "$TK_BUILD" && cpack -G ZIP >/dev/null) || { tk_log "cpack failed"; return 1; }
  archive=$(ls -t "$TK_BUILD"/tkselect-*-windows.zip | head -n 1)
  [ -n "$archive" ] || { tk_log "cpack made no archive"; return 1; }
  /usr/bin/python3 - "$archive" "$workbook" <<'PY' || return 1
import os, sys, zipfile
# The workbook goes into the archive's top folder, where the DLLs are.
with zipfile.ZipFile(sys.argv[1], "a", zipfile.ZIP_DEFLATED) as archive:
    top = archive.namelist()[0].split("/", 1)[0]
    archive.write(sys.argv[2], top + "/" + os.path.basename(sys.argv[2]))
names = {n.split("/", 1)[1] for n in zipfile.ZipFile(sys.argv[1]).namelist() if "/" in n}
need = ["tkselect.dll", "tkselect64.dll", "tkrun.exe", "tkrun64.exe", "TKselect.bas",
        "TKselectExamples.bas",
        "TKselect-examples.xlsm", "README.md", "LICENSE", "docs/protocol.md",
        "examples/staff.csv"]
missing = [n for n in need if n not in names]
if missing:
    sys.exit("release archive lacks: " + ", ".join(missing))
PY
  echo "$archive"
}
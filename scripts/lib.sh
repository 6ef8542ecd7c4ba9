# Shared by the scripts: paths, the Wine environment, and installing what is missing.
# Sourced, not run.
set -euo pipefail

TK_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
TK_PRESET=${TK_PRESET:-mingw}
TK_BUILD="$TK_ROOT/build/$TK_PRESET"
TK_BIN="$TK_BUILD/bin"

export DEBIAN_FRONTEND=noninteractive
# Our own Wine prefix inside the build tree: no dependence on HOME, and a clean clone
# gets a fresh one (its first start takes a few seconds).
export WINEPREFIX="${WINEPREFIX:-$TK_ROOT/build/wineprefix}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

tk_log() { printf '[tkselect] %s\n' "$*" >&2; }

# Installs the cross compiler, Wine (32-bit), CMake, clang-format and GoogleTest's sources,
# each only when it is missing.
tk_install() {
  local need=()
  command -v i686-w64-mingw32-g++-posix >/dev/null 2>&1 || need+=(g++-mingw-w64-i686)
  command -v cmake >/dev/null 2>&1 || need+=(cmake)
  command -v clang-format >/dev/null 2>&1 || need+=(clang-format)
  [ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
  command -v wine >/dev/null 2>&1 || need+=(wine)
  dpkg -s wine32:i386 >/dev/null 2>&1 || need+=(wine32:i386)
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

tk_configure_and_build() {
  cmake --preset "$TK_PRESET" -S "$TK_ROOT" >/dev/null
  cmake --build --preset "$TK_PRESET"
}

# Creates the Wine prefix once, before programs run in parallel against it.
tk_wine_ready() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    tk_log "creating the Wine prefix in $WINEPREFIX"
    wine wineboot --init >/dev/null 2>&1 || true
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

#!/usr/bin/env bash
# Benchmarks: builds tkselect, runs tools/tkbench under Wine on tables of 10,000, 100,000
# and 1,000,000 rows (or the counts given: scripts/bench.sh 10000 50000), then on wide tables
# (500 rows x 4,096 and 16,384 mapped columns) and move lines of 8,000 and 32,000 entries;
# SELECT + MOVE against std::sort with VarCmp and the memory of one SELECT on both
# architectures; the four orders of a key at the largest count against the automatic one and
# against std::sort with their defining functions, their memory, texts with a long shared
# prefix, and ten times the largest count, on both architectures; then tkrun end to end on
# generated CSV files of 100,000, 1,000,000 and 10,000,000 rows (or the counts in
# TK_BENCH_RUN_ROWS, e.g. TK_BENCH_RUN_ROWS="20000 100000"), both builds against GNU sort.
# Writes the figures and a plot into docs/performance.md and docs/performance.png. Takes about
# 25 minutes on two cores, and needs about 2 GB of disk in the build tree for the largest CSV
# file and its sorted copy, deleted afterwards.
#
# scripts/bench.sh --runner measures tkrun end to end only (a few minutes): it rewrites the
# section "## tkrun end to end" of docs/performance.md and leaves the other sections as they
# are; the plot is drawn again with the engine's lines taken from the figures in those
# sections.
#
# scripts/bench.sh --floor measures SELECT against the floor only (a few minutes): on the table
# of the first section, at 1,000,000 and 10,000,000 rows, SELECT against std::sort of
# precomputed (key, row) pairs and of a row index reading scattered keys, on both
# architectures; with TK_BENCH_BEFORE set to a worktree whose build trees hold an earlier
# library (build/ci/bin/tkselect.dll, build/ci64/bin/tkselect64.dll for TK_PRESET=ci), also
# SELECT at 1,000,000 rows with that library and this one in turn, three times each. It
# rewrites the section "## SELECT against the floor" of docs/performance.md only.
#
# scripts/bench.sh --sheet measures the two routes of the macro module's TKSortRange on the
# sheet (values only, and rows moved with their formulas and formats) in the office suite, at
# 100,000 and 1,000,000 cells (scripts/sheet_bench.py, a few minutes), and rewrites the section
# "## TKSortRange on the sheet" of docs/performance.md only. A full run keeps that section.
#
# scripts/bench.sh --keys measures tkrun64's orders of a key on one generated CSV file of
# 300,000 rows (or TK_BENCH_KEY_ROWS): the automatic order, :ordinal, --compare's exact rule
# and a --locale whose texts tkrun ranks itself (a minute or two), and rewrites the section
# "## tkrun's orders of a key" of docs/performance.md only.
#
# gnuplot and GNU time (for the peak memory of a run) are installed when missing.
source "$(dirname "$0")/lib.sh"

runner_only=false
sheet_only=false
keys_only=false
floor_only=false
if [ "${1:-}" = --runner ]; then
  runner_only=true
  shift
elif [ "${1:-}" = --floor ]; then
  floor_only=true
  shift
elif [ "${1:-}" = --sheet ]; then
  sheet_only=true
  shift
elif [ "${1:-}" = --keys ]; then
  keys_only=true
  runner_only=true  # built as for --runner, then measured apart
  shift
fi

# Writes the file $2 in place of the section of docs/performance.md headed $1: everything
# before the heading and from the next heading on stays as it is; a file without the section
# gets it at its end.
replace_doc_section() {
  awk -v heading="$1" -v section="$2" '
    function put() { while ((getline line < section) > 0) print line; done = 1 }
    $0 == heading { put(); skip = 1; next }
    skip && /^## / { skip = 0; print "" }
    !skip { print }
    END { if (!done) { print ""; put() } }' "$TK_ROOT/docs/performance.md" >"$2.md"
  mv "$2.md" "$TK_ROOT/docs/performance.md"
}

# Runs the function $2, which prints a section of docs/performance.md headed $1, shows it and
# writes it in place of that section; stops the script when the function fails.
rewrite_section() {
  local section
  section=$(mktemp)
  if ! "$2" >"$section"; then
    tk_log "$2 failed: docs/performance.md is left as it was"
    rm -f "$section"
    exit 1
  fi
  cat "$section"
  replace_doc_section "$1" "$section"
  rm -f "$section"
  tk_log "rewrote the section \"$1\" of docs/performance.md"
}

# The section of docs/performance.md headed $1 as it stands, from its heading to the next.
doc_section() {
  awk -v heading="$1" '$0 == heading { keep = 1; print; next }
    keep && /^## / { exit }
    keep { print }' "$TK_ROOT/docs/performance.md"
}

SHEET_HEADING="## TKSortRange on the sheet"

# The section on TKSortRange's two routes, measured now.
sheet_section() {
  local table
  table=$(/usr/bin/python3 "$TK_ROOT/scripts/sheet_bench.py") || return 1
  cat <<SECTION
$SHEET_HEADING

Measured by \`scripts/bench.sh --sheet\` on $(date -u +%Y-%m-%d), in the office suite
(headless), on $(nproc) cores.
\`TKSortRange\` reads the table's values and hands them to the library in both routes; the
library's work is the same in both and is measured above under Wine. What differs is the
sheet's side, timed here from the first read to the last write: \`valuesOnly:=True\` reorders
the values in an array and writes them back in one assignment; the default moves the rows
on the sheet (a column of ranks inserted right of the table, the spreadsheet's own
\`Range.Sort\` on it, the column deleted), so that every cell keeps its formula, format and
note. The table has five columns, one of them a formula of its row and one with a number
format, in a random order; the best of three runs of each route at 100,000 cells and one run at
1,000,000, each on a fresh copy (a route still running after 15 minutes is given up). The
suite is not the spreadsheet the module is written for, where these figures cannot be taken
here: in the suite the sheet's route is the faster one, which says nothing of the
spreadsheet, where one \`.Value\` assignment is its fast path.

$table
SECTION
}

tk_install
if $sheet_only; then
  rewrite_section "$SHEET_HEADING" sheet_section
  exit 0
fi
need=()
$keys_only || command -v gnuplot >/dev/null 2>&1 || need+=(gnuplot-nox)  # --keys draws no plot
[ -x /usr/bin/time ] || need+=(time)
if [ ${#need[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get install -y -q --no-install-recommends "${need[@]}" >/dev/null
fi
if $floor_only; then
  # The libraries and tkbench of both architectures, nothing else.
  (cd "$TK_ROOT" && cmake --preset "$TK_PRESET64" >/dev/null)
  (cd "$TK_ROOT" && cmake --build --preset "$TK_PRESET64" --target tkselect tkbench >/dev/null)
  (cd "$TK_ROOT" && cmake --preset "$TK_PRESET" -DTK_WIN64_BIN="$TK_BIN64" >/dev/null)
  (cd "$TK_ROOT" && cmake --build --preset "$TK_PRESET" --target tkselect tkbench >/dev/null)
elif $runner_only; then
  # tkrun and the CSV generator of both architectures, nothing else.
  (cd "$TK_ROOT" && cmake --preset "$TK_PRESET64" >/dev/null)
  (cd "$TK_ROOT" && cmake --build --preset "$TK_PRESET64" --target tkrun tkbench >/dev/null)
  (cd "$TK_ROOT" && cmake --preset "$TK_PRESET" -DTK_WIN64_BIN="$TK_BIN64" >/dev/null)
  (cd "$TK_ROOT" && cmake --build --preset "$TK_PRESET" --target tkrun tkbench >/dev/null)
else
  tk_configure_and_build >/dev/null
fi
tk_wine_ready
trap tk_wine_done EXIT

# Writes to as much memory as half of what the machine has available (at most 8 GiB) once and
# lets it go, before anything is measured. On a virtual machine, memory the guest system has
# not used lately costs several times as much on its first touch as memory it has just used
# (here 8 GiB took 22 s to write the first time and 7.5 s right after), and a large run that
# met it paid for it: the kernel's page clearing was 13% of a ten-million-row tkrun64 run's
# processor time, and 1.6% right after this. A real machine has no such first touch, and the
# fastest of three runs (end_to_end) keeps whichever run met it least.
warm_memory() {
  local kib
  kib=$(awk '/^MemAvailable:/ { print $2 }' /proc/meminfo)
  [ -n "$kib" ] || return 0
  /usr/bin/python3 -c '
import sys
size = min(8 << 30, int(sys.argv[1]) * 1024 // 2)
block = bytearray(size)
block[::4096] = b"\1" * len(range(0, size, 4096))
' "$kib" || true
}
warm_memory

# Whether every row of a table meets a goal: the figure in column `column` (1 for the first)
# at most `limit`. Prints "met" or the keys whose figure is above it.
goal_met() {
  printf '%s\n' "$1" | awk -F'|' -v c="$(($2 + 1))" -v limit="$3" '
    NR > 2 {
      key = $2; figure = $(c); gsub(/ /, "", key); gsub(/ /, "", figure)
      if (figure + 0 > limit) { missed = missed sep key " (" figure ")"; sep = ", " }
    }
    END { print (missed == "" ? "met" : "not met by " missed) }'
}

# tkrun end to end: generated CSV files of as many rows, 9 columns (Id, Name: a word, Joined: a
# date, Amount, Count, Active: a boolean, Note: a quoted note with a comma, a line break and
# doubled quotes, Version written as text, Spare: empty in every other row), sorted as a user
# asks for it, by header names: Name ascending, then Amount descending. Both builds, stable
# and --unstable, against GNU sort with the same keys on the same file.
run_rows=()
read -r -a run_rows <<<"${TK_BENCH_RUN_ROWS:-100000 1000000 10000000}"
work="$TK_BUILD/bench"
keys=(-k Name -k Amount:desc)
# GNU sort splits lines at every line break, quoted or not, and compares bytes: the nearest
# it comes to the same keys. Stable, on one core as tkrun sorts, in the C locale (bytes).
gnu_sort=(env LC_ALL=C sort -s --parallel=1 "-t," "-k2,2f" "-k4,4gr")

# Runs a command in directory `dir` `repeat` times, its output to nowhere, and keeps the
# figures of the fastest run by wall-clock time, so that every figure kept comes from one
# process: best_wall (seconds), best_peak (peak resident KiB from GNU time's %M: Wine runs a
# program in the process that was started for it, so this is the program's own peak and not
# a launcher's) and best_log (standard error, without carriage returns). A run that fails
# ends the repeats: best_status is its exit status, best_log its standard error.
measure() {
  local repeat=$1 dir=$2
  shift 2
  local i start end status wall
  best_wall="" best_peak="" best_log="" best_status=0
  for ((i = 0; i < repeat; i++)); do
    status=0
    start=$(date +%s.%N)
    (cd "$dir" && /usr/bin/time -f %M -o "$work/peak.txt" "$@" >/dev/null 2>"$work/log.txt") ||
      status=$?
    end=$(date +%s.%N)
    if [ "$status" -ne 0 ]; then
      best_status=$status
      best_log=$(tr -d '\r' <"$work/log.txt")
      return 0
    fi
    wall=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }')
    if [ -z "$best_wall" ] || awk -v a="$wall" -v b="$best_wall" 'BEGIN { exit !(a < b) }'; then
      best_wall=$wall
      best_peak=$(tail -n 1 "$work/peak.txt")
      best_log=$(tr -d '\r' <"$work/log.txt")
    fi
  done
}

# The seconds of one of the stages tkrun --verbose says ("tkrun: sorted 1000000 rows (1.521 s)").
seconds() { printf '%s\n' "$1" | awk -v what="$2" '$2 == what { for (i = 1; i <= NF; i++) if ($(i) == "s)") { s = $(i-1); sub(/^\(/, "", s); print s } }'; }
# tkrun's own total: its last line, "tkrun: done: 1000000 rows in 4.463 s".
own_total() { printf '%s\n' "$1" | awk '/ rows in .* s$/ { print $(NF-1) }'; }
# The first words of a refusal: tkrun's message without its "tkrun: " and up to its next
# colon, at most eight words; the last line when no line is tkrun's.
refusal() {
  printf '%s\n' "$1" | awk '
    NF { last = $0 }
    /^tkrun/ && first == "" { first = $0 }
    END {
      text = (first != "" ? first : last)
      sub(/^tkrun[0-9]*(\.exe)?: */, "", text); sub(/:.*/, "", text); gsub(/\|/, "/", text)
      n = split(text, word, " "); text = ""
      for (i = 1; i <= n && i <= 8; ++i) text = text (i > 1 ? " " : "") word[i]
      print text
    }'
}

# One line per row count and program, tab-separated: rows, program, file bytes, then for the
# stable run (GNU sort's only run) exit status, wall s, peak KiB, own total s, SELECT s,
# arranging s (its "arranged" line), refusal; then for --unstable exit status, own total s,
# refusal; then Wine's start of the program (the whole run of `--version`, the fastest of
# three). "-" where there is no figure.
records=$(mktemp)

# The floor under tkrun's reading and writing on the file `csv` (tkbench64 --copy-floor: the
# file read into memory, then its records written to `out` in file order and in a random
# order, nothing parsed or sorted), the fastest of three by the write in a random order: one
# line in $floors, tab-separated: rows, read s, write in file order s, write in a random
# order s.
floors=$(mktemp)
copy_floor() {
  local n=$1 csv=$2 out=$3 i line best=""
  for ((i = 0; i < 3; i++)); do
    (cd "$TK_BIN64" && "$TK_ROOT/cmake/wine64-run.sh" tkbench.exe --copy-floor \
      "$(winepath -w "$csv")" "$(winepath -w "$out")" >"$work/floor.txt" 2>/dev/null) || continue
    line=$(tr -d '\r' <"$work/floor.txt" | tail -n 1)
    if [ -z "$best" ] ||
      awk -v a="$(cut -f4 <<<"$line")" -v b="$(cut -f4 <<<"$best")" 'BEGIN { exit !(a < b) }'; then
      best=$line
    fi
  done
  rm -f "$out" "$work/floor.txt"
  [ -z "$best" ] || printf '%s\t%s\n' "$n" "$(cut -f2- <<<"$best")" >>"$floors"
}

end_to_end() {
  mkdir -p "$work"
  load_before=$(cut -d' ' -f1-3 /proc/loadavg)
  local n csv out bytes repeat program dir mode mode_flag
  local -a launch flags row
  for n in "${run_rows[@]}"; do
    csv="$work/sample_$n.csv"
    out="$work/sorted.csv"
    tk_log "tkrun end to end: $n rows"
    (cd "$TK_BIN" && wine tkbench.exe --csv "$(winepath -w "$csv")" "$n")
    bytes=$(stat -c %s "$csv")
    # The fastest of three at every size: one run of ten million rows against the fastest of
    # three at a million would weigh the larger size's ratio with this machine's noise alone.
    repeat=3
    local wcsv wout
    wcsv=$(winepath -w "$csv")
    wout=$(winepath -w "$out")
    for program in tkrun64 tkrun; do
      if [ "$program" = tkrun64 ]; then
        dir=$TK_BIN64
        launch=("$TK_ROOT/cmake/wine64-run.sh" tkrun64.exe)
      else
        dir=$TK_BIN
        launch=(wine tkrun.exe)
      fi
      row=("$n" "$program" "$bytes")
      # Wine's start of the program and the program's own start, taken off its whole runs:
      # the fastest of three runs that print the version and end.
      measure 3 "$dir" "${launch[@]}" --version
      local start=-
      [ "$best_status" -ne 0 ] || start=$best_wall
      for mode in stable unstable; do
        flags=()
        [ "$mode" = stable ] || flags=(--unstable)
        mode_flag=${flags[*]/#/ }
        rm -f "$out"
        measure "$repeat" "$dir" "${launch[@]}" "${flags[@]}" --verbose "${keys[@]}" \
          --output "$wout" "$wcsv"
        if [ "$best_status" -ne 0 ]; then
          tk_log "$program$mode_flag refused $n rows (exit $best_status)"
          if [ "$mode" = stable ]; then
            row+=("$best_status" - - - - - "$(refusal "$best_log")")
          else
            row+=("$best_status" - "$(refusal "$best_log")")
          fi
          continue
        fi
        # Every row is written back as it was read: a file of another size lost or changed some.
        if [ "$(stat -c %s "$out")" -ne "$bytes" ]; then
          tk_log "$program$mode_flag wrote $(stat -c %s "$out") bytes for $bytes"
          exit 1
        fi
        if [ "$mode" = stable ]; then
          row+=(0 "$best_wall" "$best_peak" "$(own_total "$best_log")" "$(seconds "$best_log" sorted)"
                "$(seconds "$best_log" arranged)" -)
        else
          row+=(0 "$(own_total "$best_log")" -)
        fi
      done
      row+=("$start")
      (IFS=$'\t'; printf '%s\n' "${row[*]}") >>"$records"
    done
    copy_floor "$n" "$csv" "$out"
    rm -f "$out"
    measure "$repeat" "$work" "${gnu_sort[@]}" -o "$out" "$csv"
    if [ "$best_status" -ne 0 ] || [ "$(stat -c %s "$out")" -ne "$bytes" ]; then
      tk_log "GNU sort failed on $n rows (exit $best_status): $best_log"
      exit 1
    fi
    printf '%s\tGNU sort\t%s\t0\t%s\t%s\t-\t-\t-\t-\t-\t-\t-\t0\n' "$n" "$bytes" "$best_wall" "$best_peak" >>"$records"
    rm -f "$csv" "$out" "$work/peak.txt" "$work/log.txt"
  done
  load_after=$(cut -d' ' -f1-3 /proc/loadavg)
}

# The table: one row per count and program.
runner_table() {
  awk -F'\t' '
    NR == FNR { if ($2 == "GNU sort") reference[$1] = $5; next }
    FNR == 1 {
      print "| rows | program | file MB | whole run s | Wine start s | own total s | SELECT s | arranging s | own / (SELECT + arranging) | --unstable own total s | stable / unstable | peak MB | peak / file size | (whole run - Wine start) / GNU sort |"
      print "|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
    }
    {
      n = $1; program = $2; bytes = $3
      w = s = m = o = sm = u = su = peak = per = vs = start = "–"
      if ($4 != 0) {
        w = "refused (exit " $4 "): " $10
      } else {
        w = sprintf("%.3f", $5)
        peak = sprintf("%.0f", $6 * 1024 / 1e6); per = sprintf("%.2f", $6 * 1024 / bytes)
        if ($14 != "-" && program != "GNU sort") {
          start = sprintf("%.3f", $14)
          if (reference[n] > 0) vs = sprintf("%.2f", ($5 - $14) / reference[n])
        }
        if ($7 != "-") { o = $7; s = $8; m = $9; sm = sprintf("%.2f", o / (s + m)) }
      }
      if (program != "GNU sort") {
        if ($11 != 0) u = "refused (exit " $11 "): " $13
        else { u = $12; if (o != "–") su = sprintf("%.2f", o / u) }
      }
      printf "| %d | %s | %.1f | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n",
             n, program, bytes / 1e6, w, start, o, s, m, sm, u, su, peak, per, vs
    }' "$records" "$records"
}

# The goals, at 1,000,000 rows (or the second largest count run, when there is none) and
# ten times that for the growth, each "met" or "not met by" with its figures.
runner_goals() {
  local counts base
  counts=$(printf '%s\n' "${run_rows[@]}" | sort -n -u)
  if printf '%s\n' "$counts" | grep -qx 1000000; then
    base=1000000
  else
    base=$(printf '%s\n' "$counts" | tail -n 2 | head -n 1)
  fi
  awk -F'\t' -v base="$base" '
    function ratio(a, b) { return b > 0 ? a / b : 0 }
    function goal(text, who, have, a, b, limit, unit) {
      if (!have) { printf "- %s: not measured, no such run\n", text; return }
      printf "- %s: %s (%s against %s: %.2f)\n", text,
             ratio(a, b) <= limit ? "met" : "not met by " who, sprintf(unit, a), sprintf(unit, b),
             ratio(a, b)
    }
    $4 == 0 { wall[$2, $1] = $5; peak[$2, $1] = $6 * 1024 / 1e6; mb[$1] = $3 / 1e6 }
    # The whole run less Wine'"'"'s start of the program (nothing to take off GNU sort'"'"'s).
    $4 == 0 && $14 != "-" { net[$2, $1] = $5 - $14 }
    $4 == 0 && $7 != "-" { own[$2, $1] = $7; engine[$2, $1] = $8 + $9 }
    $11 == 0 && $12 != "-" { unstable[$2, $1] = $12 }
    END {
      t = "tkrun64"; t32 = "tkrun"; g = "GNU sort"; b = base; ten = base * 10
      for (i = 1; i <= 2; ++i) {
        n = i == 1 ? b : ten
        goal("tkrun64'"'"'s whole run less Wine'"'"'s start at most 0.8 times GNU sort'"'"'s (" n " rows)",
             t, ((t, n) in net) && ((g, n) in net), net[t, n], net[g, n], 0.8, "%.3f s")
      }
      goal("tkrun'"'"'s (32-bit) whole run less Wine'"'"'s start at most GNU sort'"'"'s (" b " rows)",
           t32, ((t32, b) in net) && ((g, b) in net), net[t32, b], net[g, b], 1, "%.3f s")
      goal("tkrun64 end to end at " ten " rows at most 11 times that at " b " rows (whole runs less Wine'"'"'s start)",
           t, ((t, ten) in net) && ((t, b) in net), net[t, ten], net[t, b], 11, "%.3f s")
      for (i = 1; i <= 2; ++i) {
        n = i == 1 ? b : ten
        goal("peak memory at most 3 times the file size (tkrun64, " n " rows)",
             t, (t, n) in wall, peak[t, n], mb[n], 3, "%.1f MB")
      }
      goal("stable at most 1.2 times --unstable, own totals (tkrun64, " b " rows)",
           t, ((t, b) in own) && ((t, b) in unstable), own[t, b], unstable[t, b], 1.2, "%.3f s")
      goal("own total at most 1.5 times SELECT + arranging (tkrun64, " b " rows)",
           t, (t, b) in own, own[t, b], engine[t, b], 1.5, "%.3f s")
    }' "$records"
  awk -F'\t' -v base="$base" '
    { read[$1] = $2; inFile[$1] = $3; random[$1] = $4 }
    END {
      ten = base * 10
      if ((base in read) && (ten in read) && read[base] > 0 && inFile[base] > 0 && random[base] > 0)
        printf "- for comparison, the floor under reading and writing (below) at %d rows against %d: reading the file %.2f times as long, writing it in file order %.2f, in a random order %.2f\n",
               ten, base, read[ten] / read[base], inFile[ten] / inFile[base], random[ten] / random[base]
    }' "$floors"
}

# The floor under reading and writing, one row per count.
runner_floor_table() {
  awk -F'\t' '
    BEGIN {
      print "| rows | read s | write in file order s | write in a random order s |"
      print "|---:|---:|---:|---:|"
    }
    { printf "| %d | %.3f | %.3f | %.3f |\n", $1, $2, $3, $4 }' "$floors"
}

# What Wine's start of a program and the program's own start cost: tkrun64's whole run of
# --version, and its whole run less its own total, at the smallest count run.
wine_start() {
  awk -F'\t' '$2 == "tkrun64" && $4 == 0 && $7 != "-" && (n == "" || $1 < n) { n = $1; v = $14; d = $5 - $7 }
              END { if (n != "") printf "%.2f s for tkrun64 --version, %.2f s the whole run less the own total at %d rows", v, d, n }' "$records"
}

# The whole runs for the plot, one line per count: rows, tkrun64, tkrun, GNU sort ("?" where
# a program refused).
runner_plot_data() {
  awk -F'\t' '
    { if (!($1 in seen)) { seen[$1] = 1; order[++count] = $1 }
      if ($4 == 0) wall[$2, $1] = $5 }
    function or_missing(key) { return key in wall ? wall[key] : "?" }
    END {
      for (i = 1; i <= count; ++i) {
        n = order[i]
        print n, or_missing("tkrun64" SUBSEP n), or_missing("tkrun" SUBSEP n), or_missing("GNU sort" SUBSEP n)
      }
    }' "$records" | sort -n
}

# The engine's figures for the plot as `tkbench --data` writes them (rows, SELECT and
# std::sort on two automatic keys, BENCHMARK fill and sort, MOVE, SELECT + MOVE and std::sort
# on the word and real keys), read back from the tables of docs/performance.md: the 32-bit
# table of "SELECT and MOVE against an index sort", "SELECT against std::sort" and "The
# built-in benchmark". Only counts that all three tables hold.
engine_data_from_doc() {
  awk -F'|' '
    /^## / { table = ""; taken = 0 }
    /^## SELECT and MOVE against an index sort/ { table = "goal" }
    /^## SELECT against std::sort/ { table = "comparison" }
    /^## The built-in benchmark/ { table = "flow" }
    table == "" { next }
    /^\| *[0-9]+ *\|/ {
      n = $2 + 0
      if (table == "goal" && !taken) { both[n] = $5 + 0; reference[n] = $6 + 0; goal[n] = 1 }
      if (table == "comparison") { select[n] = $3 + 0; sorted[n] = $6 + 0 }
      if (table == "flow") { fill[n] = $3 + 0; sort[n] = $4 + 0; move[n] = $5 + 0 }
      next
    }
    # Only the first table of the goal section is the 32-bit one.
    table == "goal" && n != "" && /^$/ { taken = 1 }
    END {
      for (n in goal) if ((n in select) && (n in fill))
        printf "%d %.6f %.6f %.6f %.6f %.6f %.6f %.6f\n", n, select[n], sorted[n], fill[n],
               sort[n], move[n], both[n], reference[n]
    }' "$TK_ROOT/docs/performance.md" | sort -n
}

# The plot: the engine's figures (`engine`, as tkbench --data writes them) and the whole runs
# end to end (`whole`, as runner_plot_data writes them), each with its own row counts.
plot() {
  local engine=$1 whole=$2
  gnuplot <<PLOT
set terminal pngcairo size 1000,700 font ",10"
set output "$TK_ROOT/docs/performance.png"
set title "tkselect: seconds against rows (log-log)"
set xlabel "rows"
set ylabel "seconds"
set logscale xy
set key below horizontal maxcols 2 width -8
set grid
set datafile missing "?"
plot "$engine" using 1:7 with linespoints title "SELECT + MOVE, word and real keys", \\
     "$engine" using 1:8 with linespoints title "std::sort, same keys, VarCmp comparator", \\
     "$engine" using 1:2 with linespoints title "SELECT, two automatic keys", \\
     "$engine" using 1:3 with linespoints title "std::sort, same VarCmp comparator", \\
     "$engine" using 1:4 with linespoints title "BENCHMARK fill (with write-back)", \\
     "$engine" using 1:5 with linespoints title "BENCHMARK sort", \\
     "$engine" using 1:6 with linespoints title "MOVE (with write-back)", \\
     "$whole" using 1:2 with linespoints dashtype 2 linewidth 2 linecolor "black" \\
       title "tkrun64, whole run on a 9-column CSV, Wine start included", \\
     "$whole" using 1:3 with linespoints dashtype 2 linewidth 2 linecolor "dark-violet" \\
       title "tkrun (32-bit), whole run", \\
     "$whole" using 1:4 with linespoints dashtype 2 linewidth 2 linecolor "dark-orange" \\
       title "GNU sort, same keys, whole run (not CSV-aware)"
PLOT
}

# The section of docs/performance.md, from its heading on.
runner_section() {
  local gnu_version
  gnu_version=$(sort --version | head -n 1 | sed 's/^sort (\(.*\)) /\1 /')
  cat <<SECTION
## tkrun end to end

tkrun on CSV files that \`tkbench --csv FILE ROWS\` writes, of as many rows and 9 columns: Id,
Name (a word of 3 to 12 letters), Joined (a date), Amount, Count, Active (TRUE or FALSE), Note
(a quoted note with a comma, a line break and doubled quotes), Version (written as text:
4.10), Spare (empty in every other row). Each program sorts the file on Name ascending, then
Amount descending, and writes the rows to a file:

- tkrun64 (the 64-bit build) and tkrun (the 32-bit build):
  \`tkrun64 ${keys[*]} --output sorted.csv sample.csv\`, stable (the default: the rows
  shuffled and sorted with their original position as the last key) and with \`--unstable\`
  (the rows handed over as they stand);
- GNU sort ($gnu_version): \`${gnu_sort[*]:1} -o sorted.csv sample.csv\`: stable,
  on one core, in the C locale. GNU sort is not CSV-aware: it splits every row at the line
  break inside its quoted Note and sorts the two halves as lines of their own (the header
  among them), and it compares bytes (\`f\` folds ASCII letters only) where tkrun types every
  key cell and compares words as the system locale does. Its figures are those of a plain
  line sort of the same bytes on the same keys, not of the same work.

Measured by \`scripts/bench.sh$($runner_only && echo " --runner")\` on $(date -u +%Y-%m-%d):
$(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //'), $(wine --version),
Wine's server kept running between runs; the machine's load average (1, 5 and 15 minutes)
was $load_before before the runs and $load_after after them. Before the runs the bench writes
to half the machine's available memory (at most 8 GiB) once: on a virtual machine the first
touch of memory the guest has not used lately costs several times a later one, which a large
run still meets in part (see warm_memory in scripts/bench.sh).

Whole run s is the wall-clock time of the command, Wine's start of the program included;
Wine start s is the whole run of \`tkrun64 --version\` (\`tkrun --version\`), the fastest of
three, which the last column takes off the whole run before dividing it by GNU sort's.
Own total s is tkrun --verbose's "done: N rows in X s" line, its own clock from start to
end: reading and checking the file, typing the key cells, SELECT, the order taken from the
engine and writing every row back exactly as it was read; SELECT s and arranging s are the
engine's calls within it, from its "sorted" and "arranged" lines (SORTINDEX, which hands the
order over; MOVE only with --move or --export-to); --unstable own total s is the same line of the --unstable run. Peak
MB is the peak resident memory of the process (GNU time's %M: Wine runs the program in the
process started for it, so it is the program's own peak); MB are 10^6 bytes. Each row of
the table is the fastest of three runs by whole run, every figure but the --unstable one from
that one run (the --unstable figure from the fastest of its own three), at every size alike,
so that the ratios between sizes compare like with like. A program that
refuses a file shows its exit status and the first words of its message. Every sorted file
is checked to have the size of its input.

$(runner_table)

Goals:

$(runner_goals)

What reading and writing cost at the least on this machine, \`tkbench64 --copy-floor\` on the
same files: the file read into memory whole (as tkrun reads it), then its records (ended by a
line feed outside quotes) written to a file in file order, and again in a random order, as a
sort's order stands to the file's: gathered into parts of 4 MB, the bytes of the record
sixteen places on asked for ahead, each part written before the next is gathered, on one
thread; nothing parsed, typed or sorted. The fastest of three by the write in a random order.
tkrun gathers the sorted rows the same way, on two threads that take turns: each gathers
every other part and writes it once the part before it is written.

$(runner_floor_table)

GNU sort is the reference of a sort that reads no CSV: tkrun's whole run less Wine's start
over GNU sort's is the price of CSV-aware, typed sorting, both on one core for the sort
(tkrun reads and scans a large file on both). Wine's start and tkrun's own start are in
every whole run: $(wine_start).
SECTION
}

KEYS_HEADING="## tkrun's orders of a key"

# tkrun64 on one file of `TK_BENCH_KEY_ROWS` rows, one order of a key after another: each the
# best of three whole runs, with tkrun's own figures from that run. Prints the section.
key_orders_section() {
  local n=${TK_BENCH_KEY_ROWS:-300000} csv out wcsv wout order
  local -a flags
  mkdir -p "$work"
  csv="$work/keys_$n.csv"
  out="$work/keys_sorted.csv"
  (cd "$TK_BIN" && wine tkbench.exe --csv "$(winepath -w "$csv")" "$n") >/dev/null
  wcsv=$(winepath -w "$csv")
  wout=$(winepath -w "$out")
  local orders=("-k Name" "-k Name:ordinal" "--sort 2,TK_COMPBRKO --compare 2=exact"
                "-k Name --locale sv-SE" "-k Version" "-k Version:ordinal")
  local before
  before=$(cut -d' ' -f1-3 /proc/loadavg)
  local table="| key | whole run s | own total s | read s | SELECT s | break-outs |
|---|---:|---:|---:|---:|---:|"
  for order in "${orders[@]}"; do
    read -r -a flags <<<"$order"
    rm -f "$out"
    measure 3 "$TK_BIN64" "$TK_ROOT/cmake/wine64-run.sh" tkrun64.exe "${flags[@]}" \
      --output "$wout" "$wcsv"
    if [ "$best_status" -ne 0 ] || [ "$(stat -c %s "$out")" -ne "$(stat -c %s "$csv")" ]; then
      tk_log "tkrun64 $order failed (exit $best_status): $best_log"
      return 1
    fi
    table+=$'\n'$(printf '%s\n' "$best_log" | awk -v order="$order" -v wall="$best_wall" '
      $1 == "read" { for (i = 1; i <= NF; i++) if ($(i) == "s)") { read = $(i-1); gsub(/\(/, "", read) } }
      $1 == "SELECT" { for (i = 1; i <= NF; i++) if ($(i) == "s)") select = $(i-1)
                       for (i = 1; i <= NF; i++) if ($(i) == "break-outs,") outs = $(i-1); gsub(/\(/, "", outs) }
      / rows in .* s$/ { total = $(NF-1) }
      END { printf "| `%s` | %s | %s | %s | %s | %s |", order, wall, total, read, select, outs }')
  done
  rm -f "$csv" "$out" "$work/peak.txt" "$work/log.txt"
  cat <<SECTION
$KEYS_HEADING

Measured by \`scripts/bench.sh --keys\` on $(date -u +%Y-%m-%d), tkrun64 under Wine on $(nproc)
cores (load average before: $before), on one file that \`tkbench --csv\` writes (as for tkrun
end to end) of $n rows: Name is a word of 3 to 12 letters, Version a version number such as
4.10. Each order of a key is the best of three whole runs (Wine's start of
the program included); own total, read and SELECT are tkrun's own lines of that run. The
automatic order compares the words through the library's ranks of the system locale's sort
keys; \`:ordinal\` has tkrun rank the texts by code points and the library compare whole
numbers; \`exact\`, the same order, is compared by tkrun one break-out at a time;
\`--locale sv-SE\` (a locale other than the system's) has tkrun rank the texts under that
locale's collation and hand the library the ranks, which it then orders as texts. Reading
includes the typing of the key column and any ranking.

$table
SECTION
}

if $keys_only; then
  wineserver -p 2>/dev/null || true
  rewrite_section "$KEYS_HEADING" key_orders_section
  exit 0
fi

FLOOR_HEADING="## SELECT against the floor"
FLOOR_LINE="1,TK_COMPASCAUTO 3,TK_COMPDESAUTO"

# tkbench of the build whose bin directory is $1 (the 64-bit one when $2 is 64), with the
# arguments after those.
bench_in() {
  local dir=$1 bits=$2
  shift 2
  if [ "$bits" = 64 ]; then
    (cd "$dir" && "$TK_ROOT/cmake/wine64-run.sh" tkbench.exe "$@" | tr -d '\r')
  else
    (cd "$dir" && wine tkbench.exe "$@" | tr -d '\r')
  fi
}

# Whether the floor table $1 meets its goals, one line each: SELECT within 4 times the pairs'
# std::sort at the smaller count, and the larger count's SELECT within 11 times the smaller's.
floor_goals() {
  printf '%s\n' "$1" | awk -F'|' -v bits="$2" '
    NR > 2 && $3 + 0 > 0 { n[++count] = $2 + 0; select[count] = $3 + 0; pairs[count] = $5 + 0
                           real[count] = $4 + 0 }
    END {
      if (count < 1) { print "- " bits ": no figures"; exit }
      r = select[1] / pairs[1]
      printf "- %s, %d rows: SELECT within 4 times the (key, row) pairs: %s (%.2f)\n", bits, n[1],
             r <= 4 ? "met" : "not met", r
      if (count < 2) { printf "- %s, %d rows: no figure\n", bits, n[2]; exit }
      g = select[2] / select[1]
      printf "- %s: SELECT at %d rows within 11 times that at %d rows: %s (%.2f)\n", bits, n[2],
             n[1], g <= 11 ? "met" : "not met", g
      g = real[2] / real[1]
      printf "- %s: SELECT on the real alone at %d rows within 11 times that at %d rows: %s (%.2f)\n",
             bits, n[2], n[1], g <= 11 ? "met" : "not met", g
      printf "- %s: for comparison, the (key, row) pairs took %.2f times as long at %d rows as at %d (n log n alone: %.2f)\n",
             bits, pairs[2] / pairs[1], n[2], n[1], n[2] * log(n[2]) / (n[1] * log(n[1]))
    }'
}

# SELECT at 1,000,000 rows with the library of $TK_BENCH_BEFORE and this one in turn, three
# times each, with this tkbench: a table row per architecture, the fastest of each.
before_after() {
  local bits dir before name lib t now then line
  printf '| build | sort line | SELECT before s | SELECT now s | now / before |\n|---|---|---:|---:|---:|\n'
  for bits in 32 64; do
    if [ "$bits" = 64 ]; then dir=$TK_BIN64 name=tkselect64.dll lib="$TK_BENCH_BEFORE/build/$TK_PRESET64/bin"
    else dir=$TK_BIN name=tkselect.dll lib="$TK_BENCH_BEFORE/build/$TK_PRESET/bin"; fi
    before=$(mktemp -d)
    cp "$lib/$name" "$dir/tkbench.exe" "$before/"
    for line in "$FLOOR_LINE" "3,TK_COMPDESAUTO"; do
      now="" then=""
      for _ in 1 2 3; do
        t=$(bench_in "$dir" "$bits" --select 1000000 "$line")
        [ -z "$now" ] || awk -v a="$t" -v b="$now" 'BEGIN { exit !(a < b) }' || t=$now
        now=$t
        t=$(bench_in "$before" "$bits" --select 1000000 "$line")
        [ -z "$then" ] || awk -v a="$t" -v b="$then" 'BEGIN { exit !(a < b) }' || t=$then
        then=$t
      done
      awk -v b="$bits" -v l="$line" -v x="$then" -v y="$now" \
        'BEGIN { printf "| %s-bit | %s | %.3f | %.3f | %.2f |\n", b, l, x, y, y / x }'
    done
    rm -rf "$before"
  done
}

# The comparison with $TK_BENCH_BEFORE's library as the section shows it: what was run, the
# table, and the goal per row.
before_after_paragraph() {
  local table
  table=$(before_after)
  printf '\nSELECT at 1,000,000 rows on the same table with the library of %s (before) and\n' \
    "$(git -C "$TK_BENCH_BEFORE" log -1 --format=%h 2>/dev/null || echo "an earlier build")"
  printf 'this one (now), run in turn three times each, the fastest of each; goal: now at most\n'
  printf '0.4 times before.\n\n%s\n\n' "$table"
  printf '%s\n' "$table" | awk -F'|' 'NR > 2 {
    r = $6 + 0; gsub(/^ +| +$/, "", $2); gsub(/^ +| +$/, "", $3)
    printf "- %s, %s: %s (%.2f)\n", $2, $3, r <= 0.4 ? "met" : "not met", r }'
}

# tkbench --floor of the build in $1 (bits $2) three times: its table, each row count's row
# from the run whose SELECT was fastest, every figure of a row from that one run.
floor_fastest() {
  local runs="" _
  for _ in 1 2 3; do runs+=$(bench_in "$1" "$2" --floor 1000000 10000000)$'\n'; done
  printf '%s' "$runs" | awk -F'|' '
    /^\| rows/ && header == "" { header = $0; getline rule; next }
    /^\| [0-9]/ {
      n = $2 + 0; s = $3 + 0
      if (!(n in best) || s < best[n]) { best[n] = s; line[n] = $0 }
      if (!(n in seen)) { seen[n] = 1; order[++count] = n }
    }
    END {
      print header; print rule
      for (i = 1; i <= count; ++i) print line[order[i]]
    }'
}

# The section on SELECT against the floor, measured now.
floor_section() {
  local floor32 floor64 compared=""
  floor32=$(floor_fastest "$TK_BIN" 32)
  floor64=$(floor_fastest "$TK_BIN64" 64)
  [ -z "${TK_BENCH_BEFORE:-}" ] || compared=$(before_after_paragraph)
  cat <<SECTION
$FLOOR_HEADING

How far SELECT is from what the memory allows: on the table of the first section (a word, a
date, a real, an integer; the word ascending, then the real descending), at 1,000,000 and
10,000,000 rows, in one process per architecture, std::sort of (key, row) pairs whose key, the
word's first eight letters in 64 bits, was made before the clock started, and std::sort of a
row index whose comparator reads those keys from an array by row, as they scatter while the
index is reordered; then SELECT through the library on the same cells. Measured by
\`scripts/bench.sh$($floor_only && echo " --floor")\` on $(date -u +%Y-%m-%d), $(nproc) cores
shared with other work (load average $(cut -d' ' -f1-3 /proc/loadavg) at the end), its memory
written once before (see warm_memory in scripts/bench.sh). Each architecture's measurement
runs three times, and each row count's row is that of the run whose SELECT was fastest.

SELECT sorts the rows by every key as \`VarCmp\` orders the cells, and before the sort it ranks
the words with the system locale's sort keys (\`LCMapStringW\`), which the floor does not.
"SELECT, the real alone" sorts the same table on the real only, with no text to rank: the
sort itself, which carries each row's first key beside the row index (8 bytes a row), so that
its scans compare neighbours in one array; the difference between the two SELECT columns is
mostly the ranking of the words. SELECT uses both cores: the words' sort keys are made and
sorted in two halves at once, and once a partition leaves two large parts, the second is
sorted on another thread (on a copy of its positions, put back when the first is done, so that
the order and every ending are those of one thread). The floor runs on one core.

32-bit:

$floor32

64-bit:

$floor64

Goals:

$(floor_goals "$floor32" 32-bit)
$(floor_goals "$floor64" 64-bit)
$compared
SECTION
}

if $floor_only; then
  rewrite_section "$FLOOR_HEADING" floor_section
  exit 0
fi

if $runner_only; then
  # Keeps Wine's server up between the runs, as it is while a session uses Wine, so that each
  # whole run holds the start of the program and not of the server.
  wineserver -p 2>/dev/null || true
  end_to_end
  whole=$(mktemp)
  engine=$(mktemp)
  runner_plot_data >"$whole"
  engine_data_from_doc >"$engine"
  if [ -s "$engine" ]; then
    plot "$engine" "$whole"
  else
    tk_log "docs/performance.md holds no engine figures: the plot stays as it is"
  fi
  section=$(mktemp)
  runner_section >"$section"
  cat "$section"
  replace_doc_section "## tkrun end to end" "$section"
  rm -f "$whole" "$engine" "$section" "$records" "$floors"
  tk_log "rewrote the tkrun end-to-end section of docs/performance.md and docs/performance.png"
  exit 0
fi

rows=("$@")
[ ${#rows[@]} -gt 0 ] || rows=(10000 100000 1000000)
data=$(mktemp)
tables=$(cd "$TK_BIN" && wine tkbench.exe "${rows[@]}" --data "$(winepath -w "$data")" | tr -d '\r')
printf '%s\n' "$tables"
# The tables, one paragraph each, found by what their header row begins with: SELECT against
# std::sort, comparisons, the benchmark flow, wide tables, long command lines. A table that
# is not there stops the script rather than leaving a section of the doc empty.
section() {
  printf '%s\n' "$tables" | awk -v head="$1" '
    BEGIN { RS = "" }
    index($0, head) == 1 { print; found = 1 }
    END { exit found ? 0 : 1 }' || { echo "bench.sh: tkbench printed no table headed '$1'" >&2; return 1; }
}
goal=$(section "| rows | SELECT s | MOVE s |") || exit 1
comparison=$(section "| rows | SELECT s | SELECT comparisons/row |") || exit 1
flow=$(section "| rows | fill s |") || exit 1
wide=$(section "| wide table:") || exit 1
lines=$(section "| move line:") || exit 1
# The same first table from the 64-bit build, and the memory one SELECT adds in each, in a
# process of its own.
goal64=$(cd "$TK_BIN64" && "$TK_ROOT/cmake/wine64-run.sh" tkbench.exe --goal "${rows[@]}" | tr -d '\r')
printf '%s\n' "$goal64"
largest=$(printf '%s\n' "${rows[@]}" | sort -n | tail -1)
memory32=$(cd "$TK_BIN" && wine tkbench.exe --memory "$largest" | tr -d '\r')
memory64=$(cd "$TK_BIN64" && "$TK_ROOT/cmake/wine64-run.sh" tkbench.exe --memory "$largest" | tr -d '\r')
printf '%s\n%s\n' "$memory32" "$memory64"

# The four orders of a key on both architectures, each program in a process of its own: the
# table of items at the largest row count against the automatic key and against std::sort with
# each order's defining function; what one SELECT adds per row with each order (a fresh process
# each); 200-character texts, random and behind one shared prefix, at that count; short texts
# at ten times that count against that count.
many=$((largest * 10))
run32() { (cd "$TK_BIN" && wine tkbench.exe "$@" | tr -d '\r'); }
run64() { (cd "$TK_BIN64" && "$TK_ROOT/cmake/wine64-run.sh" tkbench.exe "$@" | tr -d '\r'); }
orders32=$(run32 --orders "$largest")
orders64=$(run64 --orders "$largest")
keywords=(TK_COMPASCAUTO TK_COMPASCCASE TK_COMPASCNATURAL TK_COMPASCNUMTEXT)
keymemory="| key | 32-bit working set bytes/row | 32-bit committed bytes/row | 64-bit working set bytes/row | 64-bit committed bytes/row |"
keymemory+=$'\n|---|---:|---:|---:|---:|'
for keyword in "${keywords[@]}"; do
  figures=$(run32 --key-memory "$largest" "$keyword")
  read -r set32 committed32 <<<"$figures"
  figures=$(run64 --key-memory "$largest" "$keyword")
  read -r set64 committed64 <<<"$figures"
  keymemory+=$'\n'"| $keyword | $set32 | $committed32 | $set64 | $committed64 |"
done
prefix32=$(run32 --prefix "$largest")
prefix64=$(run64 --prefix "$largest")
many32=$(run32 --many "$largest" "$many")
many64=$(run64 --many "$largest" "$many")
printf '%s\n\n' "$orders32" "$orders64" "$keymemory" "$prefix32" "$prefix64" "$many32" "$many64"
floor=$(floor_section)
printf '%s\n' "$floor"

wineserver -p 2>/dev/null || true
end_to_end
whole=$(mktemp)
runner_plot_data >"$whole"
plot "$data" "$whole"
section=$(runner_section)
printf '%s\n' "$section"
rm -f "$data" "$whole" "$records" "$floors"
# The macro module's figures come from the office suite, not from this run: kept as they are.
sheet=$(doc_section "$SHEET_HEADING")

cat > "$TK_ROOT/docs/performance.md" <<DOC
# Performance

Measured by \`scripts/bench.sh\` on $(date -u +%Y-%m-%d): $(nproc) cores,
$(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //'), tkselect.dll under
$(wine --version).

![seconds against rows](performance.png)

## SELECT and MOVE against an index sort with VarCmp

One table of 4 columns (a word of 3 to 14 letters, a date, a real, an integer 0-998) per
row count, sorted as a macro sorts a list by name and amount: column 1 ascending, then
column 3 descending. std::sort orders a row index with a comparator that calls \`VarCmp\`
(system locale, case-insensitive) on those keys, as any program that sorts such cells
exactly must compare them. The engine runs SELECT, then MOVE, which rearranges the rows in
the array; the moved rows are checked to stand in the keys' order. The ratio is SELECT +
MOVE over std::sort; the last two columns divide each time by rows x log2(rows), so a
figure that stays level grows as n log n. Tables under 200,000 rows take the fastest of
three runs.

32-bit (tkselect.dll):

$goal

64-bit (tkselect64.dll), the same run:

$goal64

The engine gives \`VarCmp\`'s result without calling it wherever that result is certain:
two numbers of one of the macro language's types compare by value, and each text cell of a
key column gets its rank among the column's texts once per SELECT, made from the system
locale's sort keys (\`LCMapStringW\` with \`LCMAP_SORTKEY\` and the key's flags); two texts
compare by rank. Everything else still goes to \`VarCmp\`. A differential test compares every
shortcut with \`VarCmp\` on hostile cells under seven system locales. What a SELECT costs in
memory, measured as the peak working set it adds over the table, in a process that does
nothing else:

- 32-bit: $memory32
- 64-bit: $memory64

The sort keys are made for as many texts at a time as 128 MiB holds (512 MiB in the 64-bit
build); each share is sorted, and the shares are merged by the first 14 bytes of each key, kept
for the merge (16 bytes a text), with a key made once more only where those tie. A column of
32,768 rows or more has its halves' keys made and sorted on two threads at once, each within
half that room, then merged (where the halves made runs, the runs' texts below a middle key on
one thread and the others on a second); there, a word of the basic Latin letters and digits
alone has its key made from the letters' weights, learned from the locale for the column and
checked on every pair of them, instead of by the locale. The peak includes the keys of a share while they are
made; what stays for the sort is 4 bytes per row and key column (8 more for text as number),
and 8 bytes per row for the first key carried beside the row index, freed when the call ends;
while the sort runs, the parts sorted on other threads take 12 bytes per row of theirs. These
are made after the ranks' shares are freed, so on this table they add nothing to the peak; on
a table whose first key is a number, with no text to rank, the carried key adds its 8 bytes.
Only a column whose ranks cannot be had for lack of memory is compared with \`VarCmp\`.

## The four orders of a key

A sort key takes one of four orders (ascending here; each has its descending twin):
\`TK_COMPASCAUTO\`, as \`VarCmp\` with the system locale, case-insensitive;
\`TK_COMPASCCASE\`, the same with case (\`VarCmp\` with flags 0: "a" before "A");
\`TK_COMPASCNATURAL\`, case-insensitive with runs of digits as numbers ("file9" before
"file10"); \`TK_COMPASCNUMTEXT\`, where a text the system locale reads as a number
(\`VarR8FromStr\`) takes part as that number. Each figure below comes from SELECT, then MOVE
on a table of one key column and a column of row numbers, and the moved rows are checked
against the order's defining function: a row out of its order fails the run.

The goals: every order within 1.3 times the automatic key's time on the same table and
within 0.2 times a std::sort that calls the order's defining function at every comparison;
what its keys take in memory beside the automatic key's; and no cliff: texts that share a
long prefix, and ten times the rows, within 3 times the time (per row) of the plain case.

### Words with numbers in them

$largest rows whose key is one to three words from a short list (item, box, shelf, bolt ...),
each in lower case, capitalised or upper case, the first followed by a number of up to four
digits and the others by one half the time ("item 7", "Shelf 12 box 3", "BOLT 104"); one
cell in eight is a number typed as text ("1250", "12.5"), one in sixteen a number. std::sort
orders a row index with, at every comparison: \`VarCmp(a, b, LOCALE_SYSTEM_DEFAULT,
NORM_IGNORECASE)\` (automatic); \`VarCmp\` with flags 0 (case); \`CompareStringEx\` with the
system locale's name and \`NORM_IGNORECASE | SORT_DIGITSASNUMBERS\`, and \`VarCmp\` for
anything but two non-empty texts (natural); \`VarR8FromStr\` on each text cell, then
\`VarCmp\` (numbers in text). SELECT + MOVE take the fastest of three runs, std::sort the
fastest of three under 200,000 rows; the ratios divide figures of the same run.

32-bit:

$orders32

64-bit:

$orders64

- Within 1.3 times the automatic key: 32-bit $(goal_met "$orders32" 6 1.3), 64-bit $(goal_met "$orders64" 6 1.3).
- Within 0.2 times std::sort: 32-bit $(goal_met "$orders32" 8 0.2), 64-bit $(goal_met "$orders64" 8 0.2).

What one SELECT on that table adds per row over the table: the process's peak working set,
and the highest committed memory sampled every millisecond during the call (Wine reports
committed memory only as it stands), each in a process that does nothing else:

$keymemory

### Texts with a long shared prefix

$largest rows of 200-character texts: random from the first character (letters, digits,
spaces), against the paths of one folder, which share their first 190 characters and differ
in a 10-character name. The ratio is the shared prefix's SELECT + MOVE over the random
texts'; goal: at most 3. Here and below, tables under 200,000 rows take the fastest of three
runs.

32-bit:

$prefix32

64-bit:

$prefix64

- Shared prefix within 3 times random: 32-bit $(goal_met "$prefix32" 5 3), 64-bit $(goal_met "$prefix64" 5 3).

### Ten times the rows

Random texts of 8 to 16 letters and digits (12 on average), $largest rows against $many rows:
SELECT + MOVE per row at each count; goal: the larger count at most 3 times the smaller's
time per row (n log n alone gives about $(awk -v a="$largest" -v b="$many" 'BEGIN { printf "%.2f", log(b) / log(a) }')).

32-bit:

$many32

64-bit:

$many64

- Time per row within 3 times: 32-bit $(goal_met "$many32" 6 3), 64-bit $(goal_met "$many64" 6 3).

$floor

## SELECT against std::sort, comparison by comparison

One table of 4 columns (text, date, real, integer 0-998) per row count, sorted on two
automatic keys: column 4 ascending, then column 1 descending. On the same cells, std::sort
orders a row index with a comparator that calls the same \`VarCmp\` (system locale,
case-insensitive) on the same two keys. SELECT's comparisons are counted in a separate run
whose first key is a break-out key answered with that \`VarCmp\`. Tables under 200,000 rows
take the fastest of three runs. The ratio is SELECT's cost per comparison over std::sort's.

$comparison

Here std::sort calls \`VarCmp\` for every comparison, while SELECT compares the integers by
value and the words by their ranks, so its cost per comparison is a fraction of std::sort's.
SELECT makes a few more comparisons per row than std::sort (a middle pivot instead of a
median of three, and equal keys go left or right by position); the count is the same with
and without the shortcuts, because their results are \`VarCmp\`'s.

## The built-in benchmark

BENCHMARK, BENCHMARK and MOVE on a Range object of that many rows and 4 columns, as a
macro runs them: the first call fills, mixes (BenchShuffle 0.5) and writes the table back;
the second sorts it on the same two keys and checks it; MOVE rearranges the rows and
writes them back. Seconds are this program's clock around each call; in brackets and in
the last two columns the engine's own figures: they come from the system tick count, which
advances in steps of several milliseconds, so below about 0.05 s they are steps, not
measurements; WriteSeconds is twice the measured write, as the engine reports it.

$flow

## Wide tables and long command lines

Work that grew with the square of the input would show at these sizes. MOVE and EXPORT look
the map entry of each column up in an index built once per SELECT, so their cost per cell
stays flat however many columns are mapped; a move line of tens of thousands of entries is
read in one pass into an entry array sized once, so its cost per entry stays flat too. The
tables hold Longs; EXPORT writes into a Range of the same size, with its write-back.

$wide

$lines

$section

$sheet
DOC
tk_log "wrote docs/performance.md and docs/performance.png"

#!/usr/bin/env bash
# Benchmarks: builds tkselect, runs tools/tkbench under Wine on tables of 10,000, 100,000
# and 1,000,000 rows (or the counts given: scripts/bench.sh 10000 50000), then on wide tables
# (500 rows x 4,096 and 16,384 mapped columns) and move lines of 8,000 and 32,000 entries;
# SELECT + MOVE against std::sort with VarCmp and the memory of one SELECT on both
# architectures; the four orders of a key at the largest count against the automatic one and
# against std::sort with their defining functions, their memory, texts with a long shared
# prefix, and ten times the largest count, on both architectures; tkrun end to end. Writes the
# figures and a plot into docs/performance.md and docs/performance.png. Takes about 20 minutes
# on two cores. The plot needs gnuplot, which this script installs when missing.
source "$(dirname "$0")/lib.sh"

tk_install
if ! command -v gnuplot >/dev/null 2>&1; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get install -y -q --no-install-recommends gnuplot-nox >/dev/null
fi
tk_configure_and_build >/dev/null
tk_wine_ready
trap tk_wine_done EXIT

rows=("$@")
[ ${#rows[@]} -gt 0 ] || rows=(10000 100000 1000000)
data=$(mktemp)
tables=$(cd "$TK_BIN" && wine tkbench.exe "${rows[@]}" --data "$(winepath -w "$data")" | tr -d '\r')
printf '%s\n' "$tables"
# The tables, one paragraph each: SELECT against std::sort, the benchmark flow, wide tables,
# long command lines.
section() { printf '%s\n' "$tables" | awk -v n="$1" 'BEGIN{RS=""} NR==n'; }
goal=$(section 1)
comparison=$(section 2)
flow=$(section 3)
wide=$(section 4)
lines=$(section 5)
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

# tkrun end to end on generated files of as many rows (9 columns: text, dates, amounts,
# counts, booleans, quoted notes with commas and line breaks, versions, empty cells), sorted
# on a text key and an amount, stable and --unstable. The engine's own SELECT and MOVE times
# come from tkrun's progress lines.
work="$TK_BUILD/bench"
mkdir -p "$work"
runner="| rows | file MB | whole run s | SELECT s | MOVE s | whole / (SELECT + MOVE) | --unstable whole run s | stable / unstable |"
runner+=$'\n|---:|---:|---:|---:|---:|---:|---:|---:|'
tkrun_data=$(mktemp)
seconds() { printf '%s\n' "$1" | awk -v what="$2" '$1 == what { for (i = 1; i <= NF; i++) if ($(i) == "s)") print $(i-1) }'; }
for n in "${rows[@]}"; do
  csv="$work/sample_$n.csv"
  (cd "$TK_BIN" && wine tkbench.exe --csv "$(winepath -w "$csv")" "$n")
  for mode in stable unstable; do
    flag=""
    [ "$mode" = unstable ] && flag="--unstable"
    log=$(cd "$TK_BIN" && wine tkrun.exe $flag --sort "2,TK_COMPASCAUTO 4,TK_COMPDESAUTO" \
          --output "$(winepath -w "$work/sorted.csv")" "$(winepath -w "$csv")" 2>&1 >/dev/null | tr -d '\r')
    whole=$(printf '%s\n' "$log" | awk '/ rows in / { print $(NF-1) }')
    if [ "$mode" = stable ]; then
      stable=$whole
      select=$(seconds "$log" SELECT)
      move=$(seconds "$log" MOVE)
    else
      unstable=$whole
    fi
  done
  mb=$(awk -v b="$(stat -c %s "$csv")" 'BEGIN { printf "%.1f", b / 1e6 }')
  runner+=$'\n'$(awk -v n="$n" -v mb="$mb" -v w="$stable" -v s="$select" -v m="$move" -v u="$unstable" \
    'BEGIN { printf "| %d | %s | %.3f | %.3f | %.3f | %.2f | %.3f | %.2f |", n, mb, w, s, m, w / (s + m), u, w / u }')
  printf '%s %s %s\n' "$n" "$stable" "$unstable" >> "$tkrun_data"
done
rm -f "$work"/sample_*.csv "$work/sorted.csv"
printf '%s\n' "$runner"
joined=$(mktemp)
join <(sort -k1,1 "$data") <(sort -k1,1 "$tkrun_data") | sort -n > "$joined"

gnuplot <<PLOT
set terminal pngcairo size 900,560 font ",10"
set output "$TK_ROOT/docs/performance.png"
set title "tkselect: seconds against rows (log-log)"
set xlabel "rows"
set ylabel "seconds"
set logscale xy
set key top left
set grid
plot "$joined" using 1:7 with linespoints title "SELECT + MOVE, word and real keys", \
     "$joined" using 1:8 with linespoints title "std::sort, same keys, VarCmp comparator", \
     "$joined" using 1:2 with linespoints title "SELECT, two automatic keys", \
     "$joined" using 1:3 with linespoints title "std::sort, same VarCmp comparator", \
     "$joined" using 1:4 with linespoints title "BENCHMARK fill (with write-back)", \
     "$joined" using 1:5 with linespoints title "BENCHMARK sort", \
     "$joined" using 1:6 with linespoints title "MOVE (with write-back)", \
     "$joined" using 1:9 with linespoints title "tkrun, whole run on a 9-column CSV", \
     "$joined" using 1:10 with linespoints title "tkrun --unstable, whole run"
PLOT
rm -f "$data" "$tkrun_data" "$joined"

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
locale's sort keys (\`LCMapStringEx\` with \`LCMAP_SORTKEY\` and the key's flags); two texts
compare by rank. Everything else still goes to \`VarCmp\`. A differential test compares every
shortcut with \`VarCmp\` on hostile cells under seven system locales. What a SELECT costs in
memory, measured as the peak working set it adds over the table, in a process that does
nothing else:

- 32-bit: $memory32
- 64-bit: $memory64

The sort keys are made for as many texts at a time as 128 MiB holds (1 GiB in the 64-bit
build); each share is sorted, and the shares are merged with their keys made once more. The
peak includes the keys of a share while they are made; what stays for the sort is 4 bytes
per row and key column (8 more for text as number), freed when the call ends. Only a column whose ranks cannot be had for
lack of memory is compared with \`VarCmp\`.

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

## tkrun end to end

tkrun on generated CSV files of as many rows and 9 columns (a word, a date, an amount, a
count, a boolean, a quoted note with a comma and a line break, a version written as text, a
column empty in every other row), sorted on the word ascending, then the amount descending,
written to a file. The whole run is the program's own clock from start to end: reading and
checking the file, typing the key cells, SELECT, MOVE and writing every row back exactly as
it was read. SELECT and MOVE are the engine's calls within that run. The stable mode (the
default) shuffles the rows and sorts with the original position as the last key; --unstable
hands them over as they stand.

$runner
DOC
tk_log "wrote docs/performance.md and docs/performance.png"

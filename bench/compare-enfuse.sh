#!/bin/bash
# Times Quovix against enfuse on the same 24-megapixel inputs and writes a
# Markdown table into bench/RESULTS.md.
#
# Usage: bench/compare-enfuse.sh [BUILD]        (run from the repository root)
# Environment:
#   BENCH_RUNS     timed runs per program and set, after one warm-up each (default 3)
#   BENCH_SETS     subset of: tiff3 tiff3-none tiff3-lzw1 tiff3-zip tiff9 jpeg3 jpeg3-none focus5 workers
#   BENCH_INPUTS   folder of the generated inputs (default /tmp/quovix-bench-inputs, kept between runs)
#   BENCH_RESULTS  Markdown file to update (default bench/RESULTS.md)
#   BENCH_LABEL    heading of the results section (default: "Run of <date>")
#
# The machine is shared, so the two programs alternate run by run and the
# wall ratio is the median of per-pair ratios: load that comes and goes hits
# both sides of a pair alike.
set -eu

BUILD=${1:-build}
QUOVIX=$BUILD/quovix
GENERATOR=$BUILD/make_bench_inputs
RUNS=${BENCH_RUNS:-3}
SETS=${BENCH_SETS:-tiff3 tiff3-none tiff3-lzw1 tiff3-zip tiff9 jpeg3 jpeg3-none focus5 workers}
INPUTS=${BENCH_INPUTS:-/tmp/quovix-bench-inputs}
RESULTS=${BENCH_RESULTS:-bench/RESULTS.md}
LABEL=${BENCH_LABEL:-Run of $(date -u +%Y-%m-%d)}
# Same JPEG quality for both programs; 90 is also Quovix's default.
JPEG_QUALITY=90

say() { echo "compare-enfuse: $*" >&2; }
die() { say "$*"; exit 1; }

[ -x "$QUOVIX" ] || die "$QUOVIX not found: build first (make bench does)"
[ -x "$GENERATOR" ] || die "$GENERATOR not found: build the bench targets first"
case $RUNS in '' | *[!0-9]* | 0) die "BENCH_RUNS must be a positive number" ;; esac

# enfuse and GNU time are needed only here, so they are installed only here.
missing=""
command -v enfuse >/dev/null 2>&1 || missing="$missing enfuse"
[ -x /usr/bin/time ] || missing="$missing time"
if [ -n "$missing" ]; then
  say "installing:$missing"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >&2
fi

# ---- disk space ------------------------------------------------------------
# Inputs still to build (uncompressed 16-bit, 144 MB a frame) plus room for
# the output and both programs' scratch files of the largest set.
need_mb=6000
for s in $SETS; do
  case $s in tiff3-lzw1 | tiff3-zip) base=$s ;; tiff3* | workers) base=tiff3 ;; jpeg3*) base=jpeg3 ;; *) base=$s ;; esac
  [ -f "$INPUTS/$base/stamp.txt" ] && continue
  case $base in tiff3) need_mb=$((need_mb + 450)) ;; tiff9) need_mb=$((need_mb + 1300)) ;;
    tiff3-lzw1 | tiff3-zip) need_mb=$((need_mb + 750)) ;;
    focus5) need_mb=$((need_mb + 750)) ;; jpeg3) need_mb=$((need_mb + 20)) ;; esac
done
mkdir -p "$INPUTS"
free_mb=$(df -Pm /tmp | awk 'NR == 2 { print $4 }')
inputs_free_mb=$(df -Pm "$INPUTS" | awk 'NR == 2 { print $4 }')
[ "$inputs_free_mb" -lt "$free_mb" ] && free_mb=$inputs_free_mb
if [ "$free_mb" -lt "$need_mb" ]; then
  die "NOT ENOUGH DISK SPACE: ${free_mb} MB free in /tmp, about ${need_mb} MB needed (inputs + scratch). Free some space or set BENCH_INPUTS to a larger disk."
fi
say "disk: ${free_mb} MB free, about ${need_mb} MB needed"

LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)
WORK=$(mktemp -d /tmp/quovix-compare.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
trap 'exit 130' INT TERM
mkdir -p "$WORK/tmp"
RECORDS=$WORK/records # lines: set program run wall cpu rss_kib

# ---- inputs ----------------------------------------------------------------
gen_sets=""
for s in $SETS; do
  case $s in tiff3-lzw1 | tiff3-zip) b=$s ;; tiff3* | workers) b=tiff3 ;; jpeg3*) b=jpeg3 ;; *) b=$s ;; esac
  case " $gen_sets " in *" $b "*) ;; *) gen_sets="$gen_sets $b" ;; esac
done
say "preparing inputs in $INPUTS:$gen_sets"
"$GENERATOR" --examples examples --raw examples/raw_canon/IMG_5952.CR2 \
  --sets "$gen_sets" "$INPUTS" >"$WORK/inputs.txt" || die "input generation failed"
inputs_of() { awk -v s="$1" '$1 == s { $1 = ""; print substr($0, 2) }' "$WORK/inputs.txt"; }

# ---- does this Quovix know --scratchCompression? ---------------------------
# The help text is checked first; a probe run on two small photographs covers
# a build that accepts the option without listing it.
scratch_option=no
if "$QUOVIX" -h 2>&1 | grep -q -- --scratchCompression; then
  scratch_option=yes
elif TMPDIR=$WORK/tmp "$QUOVIX" --scratchCompression NONE -o "$WORK/probe.tif" \
  examples/crusader/1.jpeg examples/crusader/4.jpeg >/dev/null 2>&1 && [ -s "$WORK/probe.tif" ]; then
  scratch_option=yes
fi
rm -f "$WORK/probe.tif"
say "--scratchCompression supported: $scratch_option"

# ---- timing ----------------------------------------------------------------
# run_timed SET PROGRAM RUN OUTPUT command...: one run under GNU time, with a
# fresh scratch folder, recorded unless RUN is "warm-up".
run_timed() {
  local set=$1 prog=$2 run=$3 out=$4
  shift 4
  rm -rf "$WORK/tmp" "$out"
  mkdir -p "$WORK/tmp"
  if ! /usr/bin/time -f '%e %U %S %M' -o "$WORK/time.txt" env TMPDIR="$WORK/tmp" "$@" >"$WORK/run.log" 2>&1 \
    || [ ! -s "$out" ]; then
    say "FAILED: $set $prog run $run: $*"
    tail -5 "$WORK/run.log" >&2
    return 1
  fi
  local wall user sys rss
  read -r wall user sys rss <<<"$(tail -1 "$WORK/time.txt")"
  say "$set $prog run $run: wall ${wall} s, cpu $(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }') s, peak RSS $((rss / 1024)) MiB"
  [ "$run" = warm-up ] || echo "$set $prog $run $wall $(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }') $rss" >>"$RECORDS"
}

# compare SET OUTPUT -- quovix args -- enfuse args: warm-up of each, then
# RUNS pairs; the order inside a pair flips every run so neither program
# always runs second.
compare() {
  local set=$1 out=$2
  shift 3
  local qargs=() eargs=()
  while [ "$1" != -- ]; do qargs+=("$1"); shift; done
  shift
  eargs=("$@")
  say "== $set: warm-up"
  run_timed "$set" quovix warm-up "$out" "${qargs[@]}" || return 1
  run_timed "$set" enfuse warm-up "$out" "${eargs[@]}" || return 1
  local i
  for i in $(seq 1 "$RUNS"); do
    if [ $((i % 2)) -eq 1 ]; then
      run_timed "$set" quovix "$i" "$out" "${qargs[@]}" || return 1
      run_timed "$set" enfuse "$i" "$out" "${eargs[@]}" || return 1
    else
      run_timed "$set" enfuse "$i" "$out" "${eargs[@]}" || return 1
      run_timed "$set" quovix "$i" "$out" "${qargs[@]}" || return 1
    fi
  done
}

all_workers=$(nproc)
[ "$all_workers" -gt 8 ] && all_workers=8

declare -A status # set -> ok | n/a | failed
for s in $SETS; do
  case $s in
    tiff3 | tiff3-none | workers) files=$(inputs_of tiff3); out=$WORK/out.tif ;;
    tiff9 | tiff3-lzw1 | tiff3-zip) files=$(inputs_of "$s"); out=$WORK/out.tif ;;
    jpeg3 | jpeg3-none) files=$(inputs_of jpeg3); out=$WORK/out.jpg ;;
    focus5) files=$(inputs_of focus5); out=$WORK/out.tif ;;
    *) die "unknown set '$s' (tiff3 tiff3-none tiff3-lzw1 tiff3-zip tiff9 jpeg3 jpeg3-none focus5 workers)" ;;
  esac
  # shellcheck disable=SC2206 # file names are generated without blanks
  files=($files)
  case $s in *-none)
    if [ "$scratch_option" = no ]; then
      say "== $s: n/a, this quovix does not know --scratchCompression"
      status[$s]=n/a
      continue
    fi ;;
  esac
  case $s in
    tiff3 | tiff9 | tiff3-lzw1 | tiff3-zip) compare "$s" "$out" -- "$QUOVIX" -o "$out" "${files[@]}" \
      -- enfuse -o "$out" "${files[@]}" ;;
    tiff3-none) compare "$s" "$out" -- "$QUOVIX" --scratchCompression NONE -o "$out" "${files[@]}" \
      -- enfuse -o "$out" "${files[@]}" ;;
    jpeg3) compare "$s" "$out" -- "$QUOVIX" -j "$JPEG_QUALITY" -o "$out" "${files[@]}" \
      -- enfuse --compression="$JPEG_QUALITY" -o "$out" "${files[@]}" ;;
    jpeg3-none) compare "$s" "$out" -- "$QUOVIX" --scratchCompression NONE -j "$JPEG_QUALITY" -o "$out" "${files[@]}" \
      -- enfuse --compression="$JPEG_QUALITY" -o "$out" "${files[@]}" ;;
    focus5) compare "$s" "$out" -- "$QUOVIX" -p 1 --wMode 1 --wExposure 0 --wContrast 1 -c -o "$out" "${files[@]}" \
      -- enfuse --exposure-weight=0 --saturation-weight=0 --contrast-weight=1 --hard-mask -o "$out" "${files[@]}" ;;
    # Quovix alone, 1 worker against all: "quovix" is 1 worker, "enfuse" slot holds all workers.
    workers) compare "$s" "$out" -- env NUMBER_OF_PROCESSORS=1 "$QUOVIX" -o "$out" "${files[@]}" \
      -- env NUMBER_OF_PROCESSORS="$all_workers" "$QUOVIX" -o "$out" "${files[@]}" ;;
  esac && status[$s]=ok || status[$s]=failed
done

# ---- table -----------------------------------------------------------------
median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "nan"; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# field SET PROGRAM COLUMN: the recorded values of one column (4 wall, 5 cpu, 6 rss)
field() { awk -v s="$1" -v p="$2" -v c="$3" '$1 == s && $2 == p { print $c }' "$RECORDS"; }
# Median over runs of a per-run expression of wall ($4), cpu ($5), rss ($6).
per_run() { awk -v s="$1" -v p="$2" '$1 == s && $2 == p { print '"$3"' }' "$RECORDS" | median; }
# Median of per-pair ratios A/B of one column.
pair_ratio() {
  awk -v s="$1" -v c="$2" '$1 == s && $2 == "quovix" { q[$3] = $c } $1 == s && $2 == "enfuse" { e[$3] = $c }
    END { for (r in q) if (r in e && e[r] > 0) print q[r] / e[r] }' "$RECORDS" | median
}
fmt() { awk -v v="$1" -v f="$2" 'BEGIN { if (v == "nan") print "–"; else printf f, v }'; }
mib() { awk -v v="$1" 'BEGIN { if (v == "nan") print "–"; else printf "%.0f", v / 1024 }'; }

describe() {
  case $1 in
    tiff3) echo "3 x 24 MP 16-bit TIFF, defaults" ;;
    tiff3-none) echo "3 x 24 MP 16-bit TIFF, Quovix --scratchCompression NONE" ;;
    tiff3-lzw1) echo "3 x 24 MP 16-bit TIFF, LZW + predictor, one row per strip, defaults" ;;
    tiff3-zip) echo "3 x 24 MP 16-bit TIFF, Deflate + predictor, defaults" ;;
    tiff9) echo "9 x 24 MP 16-bit TIFF, defaults" ;;
    jpeg3) echo "3 x 24 MP JPEG q95 → JPEG q$JPEG_QUALITY" ;;
    jpeg3-none) echo "3 x 24 MP JPEG q95 → JPEG q$JPEG_QUALITY, Quovix --scratchCompression NONE" ;;
    focus5) echo "5 x 24 MP 16-bit focus stack, hard mask" ;;
  esac
}

TABLE=$WORK/table.md
{
  echo "| Set | Quovix wall s | enfuse wall s | Quovix CPU s | enfuse CPU s | Quovix peak RSS MiB | enfuse peak RSS MiB | wall ratio Q/E | CPU ratio Q/E | RSS ratio Q/E | Quovix cores | enfuse cores |"
  echo "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |"
  for s in $SETS; do
    [ "$s" = workers ] && continue
    if [ "${status[$s]}" != ok ]; then
      echo "| $(describe "$s") | ${status[$s]} | ${status[$s]} | | | | | | | | | |"
      continue
    fi
    qw=$(field "$s" quovix 4 | median); ew=$(field "$s" enfuse 4 | median)
    qc=$(field "$s" quovix 5 | median); ec=$(field "$s" enfuse 5 | median)
    qr=$(field "$s" quovix 6 | median); er=$(field "$s" enfuse 6 | median)
    echo "| $(describe "$s") | $(fmt "$qw" %.1f) | $(fmt "$ew" %.1f) | $(fmt "$qc" %.1f) | $(fmt "$ec" %.1f)" \
      "| $(mib "$qr") | $(mib "$er") | $(fmt "$(pair_ratio "$s" 4)" %.2f) | $(fmt "$(pair_ratio "$s" 5)" %.2f) | $(fmt "$(awk -v a="$qr" -v b="$er" 'BEGIN { print a / b }')" %.2f)" \
      "| $(fmt "$(per_run "$s" quovix '$5 / $4')" %.2f) | $(fmt "$(per_run "$s" enfuse '$5 / $4')" %.2f) |"
  done
  echo
  echo "Medians of $RUNS runs after one warm-up each. CPU = user + system. Wall and CPU ratios: medians of the"
  echo "per-pair ratios (Quovix/enfuse, runs alternating); below 1 means Quovix is faster. The CPU ratio suffers"
  echo "less from other load on the machine than the wall ratio. Cores = median of (user + sys) / wall."
  if [ "${status[tiff3]:-}" = ok ] && [ "${status[tiff9]:-}" = ok ]; then
    q3=$(field tiff3 quovix 6 | median); q9=$(field tiff9 quovix 6 | median)
    e3=$(field tiff3 enfuse 6 | median); e9=$(field tiff9 enfuse 6 | median)
    echo
    echo "Peak RSS, 9 inputs against 3 (16-bit TIFF, defaults): Quovix $(fmt "$(awk -v a="$q9" -v b="$q3" 'BEGIN { print a / b }')" %.2f)," \
      "enfuse $(fmt "$(awk -v a="$e9" -v b="$e3" 'BEGIN { print a / b }')" %.2f)."
  fi
  case " $SETS " in *" workers "*)
    echo
    echo "Quovix workers (NUMBER_OF_PROCESSORS), 3 x 24 MP 16-bit TIFF, defaults:"
    echo
    if [ "${status[workers]}" = ok ]; then
      w1=$(field workers quovix 4 | median); wn=$(field workers enfuse 4 | median)
      echo "| Workers | wall s | CPU s | peak RSS MiB | cores |"
      echo "| ---: | ---: | ---: | ---: | ---: |"
      echo "| 1 | $(fmt "$w1" %.1f) | $(fmt "$(field workers quovix 5 | median)" %.1f) | $(mib "$(field workers quovix 6 | median)") | $(fmt "$(per_run workers quovix '$5 / $4')" %.2f) |"
      echo "| $all_workers | $(fmt "$wn" %.1f) | $(fmt "$(field workers enfuse 5 | median)" %.1f) | $(mib "$(field workers enfuse 6 | median)") | $(fmt "$(per_run workers enfuse '$5 / $4')" %.2f) |"
      echo
      echo "Speed-up 1 → $all_workers workers (median of per-pair wall ratios): $(fmt "$(pair_ratio workers 4)" %.2f)x"
    else
      echo "${status[workers]}"
    fi ;;
  esac
} >"$TABLE"

MACHINE=$WORK/machine.md
{
  echo "- CPU: $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo), $(nproc) cores"
  echo "- RAM: $(awk '/^MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)"
  echo "- Kernel: $(uname -sr)"
  echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "- enfuse: $(enfuse --version 2>/dev/null | head -1) (Debian $(dpkg-query -W -f='${Version}' enfuse 2>/dev/null || echo '?'))"
  echo "- Quovix: $("$QUOVIX" -V 2>/dev/null | grep -m1 -o 'Quovix [0-9.]*'), commit $(git rev-parse --short HEAD 2>/dev/null || echo '?')$(git diff --quiet HEAD 2>/dev/null || echo ' (modified)')"
  echo "- Load average (1/5/15 min) before: $LOAD_BEFORE, after: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "- Runs: $RUNS per program and set after one warm-up; sets: $SETS"
} >"$MACHINE"

# ---- RESULTS.md: keep the header, replace everything from the marker on ------
MARKER='<!-- Everything below is rewritten by bench/compare-enfuse.sh. -->'
if [ -f "$RESULTS" ] && grep -qF "$MARKER" "$RESULTS"; then
  awk -v m="$MARKER" '$0 == m { exit } { print }' "$RESULTS" >"$WORK/header.md"
else
  cat >"$WORK/header.md" <<'EOF'
# Quovix against enfuse

Side-by-side timing of Quovix and Debian's enfuse on the same synthetic
24-megapixel inputs. Reproduce with `make bench` (or, after `make`,
`bench/compare-enfuse.sh build` from the repository root);
`BENCH_RUNS=1 BENCH_SETS="tiff3 workers"` gives a quick run. The inputs are made by
`build/make_bench_inputs` from the bundled photographs and kept in
/tmp/quovix-bench-inputs: the 16-bit sets (6000 x 4000, uncompressed TIFF,
brackets -2..+2 EV and -4..+4 EV, a 5-band focus stack) from the Canon raw file
through dcraw, the -2..+2 EV bracket also as other programs write TIFFs (LZW
with the horizontal predictor and one row per strip; Deflate with the
predictor), the JPEG bracket (4000 x 6000, -2..+2 EV, quality 95, 4:2:0) from
examples/crusader/1.jpeg. Both programs write LZW TIFF by default, and JPEG
output at quality 90 on both sides. The machine is shared by other jobs, so
runs alternate between the two programs and the wall ratio is the median of
per-pair ratios.

EOF
fi
{
  cat "$WORK/header.md"
  echo "$MARKER"
  echo
  echo "## $LABEL"
  echo
  cat "$MACHINE"
  echo
  cat "$TABLE"
  # Every timed run, so a noisy median can be checked against its runs.
  echo
  echo "<details><summary>All timed runs</summary>"
  echo
  echo "| Set | Program | Run | wall s | CPU s | peak RSS MiB |"
  echo "| --- | --- | ---: | ---: | ---: | ---: |"
  [ -f "$RECORDS" ] && awk '{ prog = $2; if ($1 == "workers") prog = ($2 == "quovix" ? "quovix 1 worker" : "quovix all workers")
      printf "| %s | %s | %s | %s | %s | %.0f |\n", $1, prog, $3, $4, $5, $6 / 1024 }' "$RECORDS"
  echo
  echo "</details>"
} >"$RESULTS"

cat "$TABLE"
say "results written to $RESULTS"

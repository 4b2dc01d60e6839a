#!/usr/bin/env bash
# The whole storage fault sweep over the real two-step update (iofault_test, tests/e2e/iofaulttest.cpp):
# every counted call on the bundle and on the session records failed once and for good, every call
# on the session and the temp folder once, writes and reads spread over the run, with ENOSPC, EIO,
# EROFS and EDQUOT in turn; each row followed by a clean run.  Shards of the rows run in parallel;
# at the end a table of every row's outcome is printed (and kept as <work>/table.tsv).
#
#   tests/e2e/iofaultsweep.sh --build <build dir> [--update-build <build dir>] [--jobs <n>]
#                             [--work <dir>] [--sample] [--real-clean]
#
# --build         the build holding iofault_test and the injector (tests/tools/iofault)
# --update-build  the build whose src/update is tested (default: --build), e.g. a build with fixes
# --jobs          shards run at once (default 6; the runs mostly wait on the updater's timers)
# --sample        the CI rows instead (findings, sample, small file systems, durable order)
# --real-clean    the clean run after each row by the real programs too (slower)
#
# Exit status 0 when every row passed, 1 otherwise.
set -euo pipefail

BUILD=""
UPDATE_BUILD=""
JOBS=6
WORK=""
MODE=sweep
REAL_CLEAN=0
while [ $# -gt 0 ]; do
  case "$1" in
    --build) BUILD=$2; shift 2 ;;
    --update-build) UPDATE_BUILD=$2; shift 2 ;;
    --jobs) JOBS=$2; shift 2 ;;
    --work) WORK=$2; shift 2 ;;
    --sample) MODE=sample; shift ;;
    --real-clean) REAL_CLEAN=1; shift ;;
    *) echo "usage: $0 --build <dir> [--update-build <dir>] [--jobs <n>] [--work <dir>] [--sample] [--real-clean]" >&2
       exit 2 ;;
  esac
done
[ -n "$BUILD" ] || { echo "$0: --build is required" >&2; exit 2; }
BUILD=$(cd "$BUILD" && pwd)
UPDATE_BUILD=$(cd "${UPDATE_BUILD:-$BUILD}" && pwd)
TEST=$BUILD/tests/e2e/iofault_test
[ -x "$TEST" ] || { echo "$0: build iofault_test in $BUILD first" >&2; exit 2; }
[ -x "$UPDATE_BUILD/src/update" ] || { echo "$0: no $UPDATE_BUILD/src/update" >&2; exit 2; }
[ -n "$WORK" ] || WORK=$(mktemp -d "${TMPDIR:-/tmp}/vx-iofault.XXXXXX")
mkdir -p "$WORK"
WORK=$(cd "$WORK" && pwd)
rm -f "$WORK"/table*.tsv "$WORK"/*.log

# One test process with its own HOME, TMPDIR and config folder: <name> <functions...>
run_test() {
  local name=$1; shift
  mkdir -p "$WORK/$name/home" "$WORK/$name/tmp" "$WORK/$name/config"
  env QT_QPA_PLATFORM=offscreen HOME="$WORK/$name/home" TMPDIR="$WORK/$name/tmp" \
    VX3_CONFIG_DIR="$WORK/$name/config" VX_IOFAULT_BUILD="$UPDATE_BUILD" \
    VX_E2E_RELEASE_DIR="$WORK/release" VX_IOFAULT_TABLE="$WORK/table-$name.tsv" \
    VX_IOFAULT_REAL_CLEAN=$REAL_CLEAN QTEST_FUNCTION_TIMEOUT=86400000 \
    "$TEST" "$@" > "$WORK/$name.log" 2>&1
}

START=$SECONDS
echo "== release and durable order ($WORK)"
VX_E2E_RELEASE_BUILD=1 run_test release releaseAndRecord durableOrder || true
grep -E '^(PASS|FAIL)' "$WORK/release.log" | grep -v 'TestCase' || { tail -20 "$WORK/release.log"; exit 1; }

echo "== $MODE rows in $JOBS shards"
pids=()
for ((i = 0; i < JOBS; i++)); do
  if [ "$MODE" = sweep ]; then
    VX_IOFAULT_SWEEP=1 VX_IOFAULT_SHARD="$i/$JOBS" run_test "shard$i" sweep &
  else
    VX_IOFAULT_SHARD="$i/$JOBS" run_test "shard$i" sample &
  fi
  pids+=($!)
done
if [ "$MODE" = sample ]; then
  run_test findings findings smallFileSystems &
  pids+=($!)
fi
for p in "${pids[@]}"; do wait "$p" || true; done

TABLE=$WORK/table.tsv
printf 'row\tcall in the record run\tfailed calls\treported\texits\tboxes\tms\tbundle\tverdict\twhy\n' > "$TABLE"
cat "$WORK"/table-*.tsv >> "$TABLE" 2>/dev/null || true
rows=$(($(wc -l < "$TABLE") - 1))
failed=$(awk -F'\t' 'NR > 1 && $9 != "PASS"' "$TABLE" | wc -l)
# The table: the row, what was reported, the exit statuses, the bundle, the verdict and its reason.
cut -f1,4,5,8,9,10 "$TABLE" | column -t -s $'\t'
echo
echo "== $rows rows, $((rows - failed)) passed, $failed failed, in $((SECONDS - START)) s (table: $TABLE)"
# Rows by verdict and the first words of the reason.
awk -F'\t' 'NR > 1 { r = $10; sub(/^; /, "", r); sub(/[:(].*/, "", r); n[$9 "  " r]++ }
  END { for (k in n) printf "   %5d  %s\n", n[k], k }' "$TABLE" | sort -rn
[ "$failed" -eq 0 ]

#!/usr/bin/env bash
# The real `update` window on a private Xvfb display, caught mid-update, photographed with
# screenshot.sh: once by the program's process id and once by the window title.  The update waits
# on a local port that accepts connections and never answers, so it stays in its first download.
# The pictures are kept for a person to look at.
#
#   tests/e2e/windowscreenshot.sh --build <build dir> [--out <folder>]
set -euo pipefail

SRC=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=""
OUTDIR=""
while [ $# -gt 0 ]; do
  case "$1" in
    --build) BUILD=$2; shift 2 ;;
    --out) OUTDIR=$2; shift 2 ;;
    *) echo "usage: $0 --build <dir> [--out <folder>]" >&2; exit 2 ;;
  esac
done
[ -n "$BUILD" ] || { echo "$0: --build is required" >&2; exit 2; }
BUILD=$(cd "$BUILD" && pwd)
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vx-shot.XXXXXX")
OUTDIR=${OUTDIR:-$WORK}
mkdir -p "$OUTDIR"
PIDS=()

fail() { echo "FAILED: $*" >&2; exit 1; }
cleanup() { for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT

# A private display.
exec 3> "$WORK/display"
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
PIDS+=($!)
for _ in $(seq 50); do [ -s "$WORK/display" ] && break; sleep 0.1; done
[ -s "$WORK/display" ] || fail "Xvfb did not start"
DISPLAY_NAME=":$(head -n1 "$WORK/display")"

# A port that takes connections and never answers.
python3 -c '
import socket, sys, time
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(64)
print(s.getsockname()[1], flush=True)
time.sleep(600)' > "$WORK/port" &
PIDS+=($!)
for _ in $(seq 50); do [ -s "$WORK/port" ] && break; sleep 0.1; done
PORT=$(head -n1 "$WORK/port")
[ -n "$PORT" ] || fail "no local port"

# The updater inside a client bundle, with its translations, a cached banner and the alpha
# channel pointing at that port.
SHARED="$WORK/Voxtrel 3 Client.app/Contents/SharedSupport"
mkdir -p "$SHARED/update.app/Contents/MacOS" "$SHARED/translations" "$WORK/tmp" "$WORK/home" "$WORK/config"
cp "$BUILD/src/update" "$SHARED/update.app/Contents/MacOS/update"
cp "$BUILD"/src/translations/*.qm "$SHARED/translations/"
convert -size 468x60 gradient:'#1d4f91-#7fc3ff' "$WORK/tmp/voxtrel_banner.jpg"
printf 'https%%3A%%2F%%2Fwww.voxtrel.com%%2F' > "$WORK/tmp/voxtrel_banner.txt"
printf '[Channel]\nalpha=http://127.0.0.1:%s/\n' "$PORT" > "$WORK/config/update.ini"

DISPLAY=$DISPLAY_NAME QT_QPA_PLATFORM=xcb TMPDIR="$WORK/tmp" HOME="$WORK/home" VX3_CONFIG_DIR="$WORK/config" \
  "$SHARED/update.app/Contents/MacOS/update" --nouser update_macosx 42 &
UPDATE_PID=$!
PIDS+=($UPDATE_PID)

# Mid-update: the session folder exists once the update has started (2 s after the window).
for _ in $(seq 100); do compgen -G "$WORK/tmp/voxtrel_temp_*" >/dev/null && break; sleep 0.1; done
compgen -G "$WORK/tmp/voxtrel_temp_*" >/dev/null || fail "the update did not start"
sleep 0.5

"$SRC/tests/e2e/screenshot.sh" "$DISPLAY_NAME" "$OUTDIR/window-by-pid.png" "$UPDATE_PID"
"$SRC/tests/e2e/screenshot.sh" "$DISPLAY_NAME" "$OUTDIR/window-by-title.png" "Voxtrel 3 Client Update"
"$SRC/tests/e2e/screenshot.sh" "$DISPLAY_NAME" "$OUTDIR/screen.png"
kill -0 "$UPDATE_PID" 2>/dev/null || fail "the updater ended before the pictures were taken"

# The window is 468 pixels of banner plus margins wide; the screen is 800 x 600.
for f in window-by-pid window-by-title; do
  read -r w h < <(identify -format '%w %h\n' "$OUTDIR/$f.png")
  [ "$w" -ge 468 ] && [ "$w" -lt 800 ] && [ "$h" -ge 120 ] && [ "$h" -lt 600 ] || fail "$f.png is ${w}x${h}"
done
[ "$(identify -format '%w %h' "$OUTDIR/screen.png")" = "800 600" ] || fail "screen.png has the wrong size"
# Both pictures show the same window.
[ "$(identify -format '%w %h' "$OUTDIR/window-by-pid.png")" = "$(identify -format '%w %h' "$OUTDIR/window-by-title.png")" ] \
  || fail "the two window pictures differ in size"
echo "pictures: $OUTDIR/window-by-pid.png $OUTDIR/screen.png"

#!/usr/bin/env bash
# Takes a picture of a window (or of the whole screen) on an X display, for a person to look at.
#
#   tests/e2e/screenshot.sh <display> <out.png> [<window>]
#
#   <display>  the X display the program runs on, e.g. ":99"; the caller starts its Xvfb.
#   <out.png>  the picture to write (PNG); its folder must exist.
#   <window>   optional: the process id of the program whose window is wanted, or the window's
#              exact title (e.g. "Voxtrel 3 Client Update").  Without it the whole screen is taken.
#
# Waits up to SCREENSHOT_WAIT seconds (default 15) for the window to be on screen.  Exit status 0
# when the picture was written; otherwise 1 with the reason on standard error.  Needs xwininfo and
# xprop (x11-utils) and import (imagemagick).
set -euo pipefail

if [ $# -lt 2 ] || [ $# -gt 3 ]; then
  echo "usage: $0 <display> <out.png> [<pid>|<window title>]" >&2
  exit 2
fi
export DISPLAY=$1
OUT=$2
WANT=${3:-}
WAIT=${SCREENSHOT_WAIT:-15}

fail() { echo "screenshot: $*" >&2; exit 1; }

xwininfo -root >/dev/null 2>&1 || fail "display $DISPLAY cannot be reached"

viewable() { xwininfo -id "$1" 2>/dev/null | grep -q 'Map State: IsViewable'; }

# The first viewable top-level window of process $1 (Qt sets _NET_WM_PID on its windows).
window_of_pid() {
  local id
  for id in $(xwininfo -root -children 2>/dev/null | grep -o '^ *0x[0-9a-f]*'); do
    if xprop -id "$id" _NET_WM_PID 2>/dev/null | grep -qx "_NET_WM_PID(CARDINAL) = $1" && viewable "$id"; then
      echo "$id"
      return 0
    fi
  done
  return 1
}

window_of_title() {
  local id
  id=$(xwininfo -name "$1" 2>/dev/null | sed -n 's/^xwininfo: Window id: \(0x[0-9a-f]*\).*/\1/p')
  [ -n "$id" ] && viewable "$id" && echo "$id"
}

TARGET=root
if [ -n "$WANT" ]; then
  TARGET=""
  deadline=$((SECONDS + WAIT))
  while [ -z "$TARGET" ] && [ $SECONDS -le $deadline ]; do
    if [[ $WANT =~ ^[0-9]+$ ]]; then
      TARGET=$(window_of_pid "$WANT" || true)
    else
      TARGET=$(window_of_title "$WANT" || true)
    fi
    [ -n "$TARGET" ] || sleep 0.2
  done
  [ -n "$TARGET" ] || fail "no window of \"$WANT\" on $DISPLAY within ${WAIT}s"
  sleep 0.3 # let the window finish painting
fi

import -window "$TARGET" "png:$OUT" 2>/dev/null || fail "import could not read the window"
[ -s "$OUT" ] || fail "no picture written"

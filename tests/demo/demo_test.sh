#!/usr/bin/env bash
# demo_test.sh BRIVANE_BINARY SCRIPTS_RUN WORKDIR
# Runs "scripts/run" without DISPLAY in WORKDIR and checks: it ends with 0
# (CTest's time-out bounds it), prints the path of WORKDIR/brivane-demo.png, the picture has
# lit pixels where the message panel starts (x 30..380, y 60..300) and none
# far right of it, and the demo's temporary folder and Dovecot are gone.
set -uo pipefail
bin=$1 run=$2 work=$3
rm -rf "$work"
mkdir -p "$work/tmp"
cd "$work" || exit 1
fail() { echo "FAIL: $*"; cat "$work/stderr"; exit 1; }

start=$(date +%s)
out=$(env -u DISPLAY -u QT_QPA_PLATFORM TMPDIR="$work/tmp" BRIVANE_BIN="$bin" "$run" 2>"$work/stderr")
status=$?
elapsed=$(($(date +%s) - start))
((status == 0)) || fail "scripts/run ended with $status"
[[ $out == "$work/brivane-demo.png" ]] || fail "printed '$out', not the screenshot's path"
[[ -s brivane-demo.png ]] || fail "no screenshot"

# Share of pixels brighter than 20 % grey in an area.
lit() { convert brivane-demo.png -crop "$1" +repage -colorspace Gray -threshold 20% -format '%[fx:mean]' info:; }
panel=$(lit 351x241+30+60) right=$(lit 300x241+450+60)
echo "lit share: panel $panel, right of it $right"
awk -v p="$panel" -v r="$right" 'BEGIN { exit !(p > 0.03 && r == 0) }' || fail "the panel's rows are not in the picture"

leftover=$(find "$work/tmp" -mindepth 1 -maxdepth 1)
[[ -z $leftover ]] || fail "temporary folder left: $leftover"
if pgrep -f "$work/tmp" >/dev/null; then fail "a process of the demo still runs: $(pgrep -af "$work/tmp")"; fi
echo "demo ok in $elapsed s"

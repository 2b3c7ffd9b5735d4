#!/usr/bin/env bash
# Runs the real capture under a virtual X server against a simulated colour
# camera, drives it with xdotool as a user would (Input "Video", size, FPS,
# "Continuous"), and reports what it shows and what it costs:
#   - the rate in capture's Rate display, against the camera's own rate
#   - frames the camera delivered and dropped (read from the camera object)
#   - CPU time of the capture process per delivered frame, against the
#     frame period, and against the same run with "Display" off
# Cases: 640x480 RGB at 60 fps and 1280x960 RGB at 15 fps, display gamma
# 0.75 (the camera has no imager gamma, so capture picks 0.75).
# Usage: bench/capture-rate.sh [build-dir] [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
secs=${2:-10}
capture=$build/src/capture
[ -x "$capture" ] || { echo "no $capture: build first" >&2; exit 1; }
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$build" "$secs"
fi

tmp=$(mktemp -d /tmp/capture-rate.XXXXXX)
pid=
cleanup() {
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT

cat > "$tmp/bus.json" <<'EOF'
{"cameras":[{"name":"Bench","color":true,"has_gamma":false,"has_frame_div":true,
             "max_frame_div":3}]}
EOF

# gdb prints one expression of the running program; the process pauses
# for the moment it takes.
peek() {
  gdb -q -batch -p "$pid" -ex "set print elements 0" -ex "print $1" 2>/dev/null |
    sed -n 's/^\$1 = //p' | tail -1
}
cpu_ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
click() { xdotool mousemove --window "$win" "$1" "$2" click 1; sleep 0.3; }
# picks the entry `steps` below the current one in a choice at x, y
choose() {
  click "$1" "$2"
  for ((i = 0; i < $3; i++)); do xdotool key Down; done
  xdotool key Return
  sleep 0.3
}

# run SIZE-STEPS FPS-STEPS DISPLAY(on|off): "rate delivered dropped ticks"
# into $tmp/result
run_case() {
  VIRIZEDA_SIM_CONFIG=$tmp/bus.json "$capture" > "$tmp/out.txt" 2>&1 &
  pid=$!
  win=$(xdotool search --sync --onlyvisible --pid "$pid" --name 'Orvane Design' | head -1)
  sleep 0.5
  choose 80 305 1          # Input: None -> Video
  [ "$1" -gt 0 ] && choose 80 330 "$1"   # Size from 640x480
  [ "$2" -gt 0 ] && choose 180 330 "$2"  # FPS from 15
  [ "$3" = off ] && click 27 275         # Display off
  click 167 305            # Continuous
  sleep 2                  # settle
  local d0 t0 d1 t1 dr0 dr1 rate
  d0=$(peek '((SimCamera*)dcam)->stream_.delivered')
  dr0=$(peek '((SimCamera*)dcam)->stream_.dropped')
  t0=$(cpu_ticks)
  sleep "$secs"
  t1=$(cpu_ticks)
  d1=$(peek '((SimCamera*)dcam)->stream_.delivered')
  dr1=$(peek '((SimCamera*)dcam)->stream_.dropped')
  rate=$(peek 'mainw->rate_val->buf' | tr -d '"')
  kill "$pid"; wait "$pid" 2>/dev/null || true; pid=
  echo "$rate $((d1 - d0)) $((dr1 - dr0)) $((t1 - t0))" > "$tmp/result"
}

hz=$(getconf CLK_TCK)
report() {  # name fps size-steps fps-steps
  run_case "$3" "$4" on
  read -r rate n drop ticks < "$tmp/result"
  run_case "$3" "$4" off
  read -r _ n_off _ ticks_off < "$tmp/result"
  awk -v name="$1" -v fps="$2" -v rate="$rate" -v n="$n" -v drop="$drop" \
      -v t="$ticks" -v n0="$n_off" -v t0="$ticks_off" -v hz="$hz" 'BEGIN {
    ms = n ? 1000.0 * t / hz / n : 0; ms0 = n0 ? 1000.0 * t0 / hz / n0 : 0
    printf "%s\n", name
    printf "  shown rate      %s fps, camera %s fps, ratio %.3f\n", rate, fps, rate / fps
    printf "  frames          %d delivered, %d dropped\n", n, drop
    printf "  CPU per frame   %.3f ms = %.3f of the frame period\n", ms, ms * fps / 1000.0
    printf "  display off     %.3f ms per frame; display on / off ratio %.2f\n", ms0, ms0 ? ms / ms0 : 0
  }'
}

echo "capture under Xvfb, ${secs} s per case, display gamma 0.75"
report "640x480 RGB24 @ 60 fps" 60 0 2
report "1280x960 RGB24 @ 15 fps" 15 1 0

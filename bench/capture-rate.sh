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
# With a third argument "emulated" it runs capture on the emulated S800
# FireWire bus through libdc1394 instead: 640x480 RGB at 30 fps from a
# camera's RGB8 and from one that sends YUV422 only, 1280x960 RGB at 15 fps.
# With "genicam" it runs capture on aravis's GigE Vision simulator, started
# here on 127.0.0.1 and opened by address (no discovery): 1280x960 Mono at
# 30 fps and 640x480 RGB24 at 30 fps.
# Usage: bench/capture-rate.sh [build-dir] [seconds] [sim|emulated|genicam]
# Needs gdb and a build with debug information (the default RelWithDebInfo,
# or Release with -g), through which it finds what it reads.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
secs=${2:-10}
bus=${3:-sim}
capture=$build/src/dcam-capture
library=$build/virizeda.so
die() { echo "capture-rate.sh: $*" >&2; exit 1; }
[ -x "$capture" ] || die "no $capture: build first"
[ -f "$library" ] || die "no $library: the measure reads our own library's counters"
# gdb tells where things live, once, before the stream starts (attaching
# pauses the program); the samples are then read from /proc/PID/mem while
# it runs, undisturbed.
. bench/lib-capture.sh
need_debug_info "$capture" "$library" || exit 1
if [ -z "${DISPLAY:-}" ]; then
  exec scripts/with-xvfb "$0" "$build" "$secs" "$bus"
fi

tmp=$(mktemp -d /tmp/capture-rate.XXXXXX)
pid=
sim=
cleanup() {
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  if [ -n "$sim" ]; then kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT

cat > "$tmp/bus.json" <<'EOF'
{"cameras":[{"name":"Bench","color":true,"has_gamma":false,"has_frame_div":true,
             "max_frame_div":3}]}
EOF

# the emulated bus: one camera per configuration, so it is camera 0
cat > "$tmp/rgb.json" <<'EOF'
{"bus_speed":800,"cameras":[{"name":"Bench","color":true,"has_gamma":false}]}
EOF
cat > "$tmp/yuv.json" <<'EOF'
{"bus_speed":800,"cameras":[{"name":"Bench YUV","color":true,"has_gamma":false,
                             "rgb8":false,"format7":false}]}
EOF
config=$tmp/bus.json

# run SIZE-STEPS FPS-STEPS DISPLAY(on|off) [FORMAT-STEPS]:
# "delivered dropped ticks rate..."
# into $tmp/result, a shown rate sampled every second
run_case() {
  if [ "$bus" = emulated ]; then
    # CPU ticks of the process include the emulator's pacing thread
    VIRIZEDA_BUS=1394 VIRIZEDA_SIM_CONFIG=$config scripts/with-emulated-bus \
      --library "$build/preload/emulated-firewire-bus.so" "$capture" > "$tmp/out.txt" 2>&1 &
  elif [ "$bus" = genicam ]; then
    # a simulator per run: a killed capture leaves it in another's control
    # until its heartbeat runs out
    start_simulator
    VIRIZEDA_BUS=genicam VIRIZEDA_GENICAM_DEVICES=127.0.0.1 "$capture" > "$tmp/out.txt" 2>&1 &
  else
    VIRIZEDA_SIM_CONFIG=$config "$capture" > "$tmp/out.txt" 2>&1 &
  fi
  pid=$!
  win=$(find_window 'Orvane Design' 20) || die "capture showed no main window: $(cat "$tmp/out.txt")"
  sleep 0.5
  choose 80 305 1          # Input: None -> Video
  [ "$1" -gt 0 ] && choose 80 330 "$1"   # Size from 640x480
  [ "$2" -gt 0 ] && choose 180 330 "$2"  # FPS from 15
  [ "${4:-0}" -gt 0 ] && choose 80 355 "$4"  # Format from RGB24
  [ "$3" = off ] && click 27 275         # Display off
  local rate_at delivered_at dropped_at t0 t1 rates=""
  rate_at=$(address 'mainw->rate_val->buf') || true
  delivered_at=$(address "(('vz::Camera'*)dcam)->delivered_") || true
  dropped_at=$(address "(('vz::Camera'*)dcam)->dropped_") || true
  [ -n "$rate_at" ] && [ -n "$delivered_at" ] && [ -n "$dropped_at" ] ||
    die "gdb cannot find capture's Rate display or the camera's frame counters in process $pid"
  t0=$(cpu_ticks)
  click 167 305            # Continuous
  sleep 2
  for ((s = 0; s < secs; s++)); do
    sleep 1
    rates="$rates $(read_text "$rate_at")"
  done
  t1=$(cpu_ticks)
  echo "$(read_long "$delivered_at") $(read_long "$dropped_at") $((t1 - t0))$rates" > "$tmp/result"
  kill "$pid"; wait "$pid" 2>/dev/null || true; pid=
  if [ -n "$sim" ]; then kill "$sim"; wait "$sim" 2>/dev/null || true; sim=; fi
}

start_simulator() {
  arv-fake-gv-camera-0.8 -i 127.0.0.1 -s BENCH > "$tmp/sim.txt" 2>&1 &
  sim=$!
  sleep 0.5
  kill -0 "$sim" 2> /dev/null || die "the GigE Vision simulator did not start (port taken?)"
}

hz=$(getconf CLK_TCK)
report() {  # name fps size-steps fps-steps [format-steps]
  run_case "$3" "$4" on "${5:-0}"
  local on off
  on=$(cat "$tmp/result")
  run_case "$3" "$4" off "${5:-0}"
  off=$(cat "$tmp/result")
  awk -v name="$1" -v fps="$2" -v on="$on" -v off="$off" -v hz="$hz" 'BEGIN {
    n = split(on, a, " "); split(off, b, " ")
    lo = 1e9; hi = 0; sum = 0
    for (i = 4; i <= n; i++) { sum += a[i]; if (a[i] < lo) lo = a[i]; if (a[i] > hi) hi = a[i] }
    mean = sum / (n - 3)
    ms = a[1] ? 1000.0 * a[3] / hz / a[1] : 0
    ms0 = b[1] ? 1000.0 * b[3] / hz / b[1] : 0
    printf "%s\n", name
    printf "  shown rate      mean %.2f fps (%d samples, %.1f to %.1f), camera %s fps, ratio %.4f\n", mean, n - 3, lo, hi, fps, mean / fps
    printf "  frames          %d delivered, %d dropped\n", a[1], a[2]
    printf "  CPU per frame   %.3f ms = %.3f of the frame period\n", ms, ms * fps / 1000.0
    printf "  display off     %.3f ms per frame; display on / off ratio %.2f\n", ms0, ms0 ? ms / ms0 : 0
  }'
}

echo "capture under Xvfb, ${secs} s per case, display gamma 0.75, $bus bus"
if [ "$bus" = emulated ]; then
  config=$tmp/rgb.json
  report "640x480 RGB24 @ 30 fps from RGB8 (libdc1394, emulated S800)" 30 0 1
  config=$tmp/yuv.json
  report "640x480 RGB24 @ 30 fps from YUV422 (libdc1394, emulated S800)" 30 0 1
  config=$tmp/rgb.json
  report "1280x960 RGB24 @ 15 fps from RGB8 (libdc1394, emulated S800)" 15 1 0
elif [ "$bus" = genicam ]; then
  command -v arv-fake-gv-camera-0.8 > /dev/null || die "no arv-fake-gv-camera-0.8 (aravis-tools)"
  report "1280x960 Mono @ 30 fps (GigE Vision simulator)" 30 1 1 1
  report "640x480 RGB24 @ 30 fps (GigE Vision simulator)" 30 0 1
else
  report "640x480 RGB24 @ 60 fps" 60 0 2
  report "1280x960 RGB24 @ 15 fps" 15 1 0
fi

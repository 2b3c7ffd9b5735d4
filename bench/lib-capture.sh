# Shell functions for the scripts in bench/ that drive the real capture (or
# viewer) under a virtual X server with xdotool and read its state out of
# the running process. Source it; the caller sets:
#   pid  the program's process id
#   win  its main window (xdotool window id)
# Values are read from /proc/$pid/mem while the program runs, so reading
# never pauses it (except `address`, which attaches gdb once). This also
# works for a program under valgrind, whose guest memory is the process's.

# Address of an expression in the running program, through gdb; gdb's
# attach pauses the program for a moment, so do this before timing starts.
address() {
  gdb -q -batch -p "$pid" -ex "print/x (long)&($1)" 2>/dev/null |
    sed -n 's/^\$1 = //p'
}

# Fails with the reason unless gdb is there and every file named has the
# debug information that `address` and `member_offset` read.
need_debug_info() {
  command -v gdb >/dev/null || { echo "$0: needs gdb (Debian package gdb)" >&2; return 1; }
  local f sections
  for f; do
    sections=$(readelf -S "$f" 2>/dev/null || true)
    grep -q '\.debug_info' <<<"$sections" && continue
    echo "$0: $f has no debug information, through which the script finds the" \
         "program's state by name: build with -DCMAKE_BUILD_TYPE=RelWithDebInfo" \
         "(the default), or add -DCMAKE_CXX_FLAGS=-g to a Release build (the same code)" >&2
    return 1
  done
}

# Offset of a member in a type, from the debug information of a file
# (a program or a library), without touching any process: "Type" "a.b.c".
member_offset() {
  gdb -q -batch "$1" -ex "print/d (long)&(($2 *)0)->$3" 2>/dev/null |
    sed -n 's/^\$1 = //p'
}

# Address of a global of the program file $1 in the running process: its
# symbol value plus where the file was loaded (the first mapping of the
# file, which holds offset 0 for position-independent programs).
symbol_address() {
  local file value base
  file=$(readlink -f "$1")
  value=$(nm "$file" | awk -v s="$2" '$3 == s && $2 ~ /^[bBdDgGsSrR]$/ {print $1; exit}')
  [ -n "$value" ] || return 1
  base=0
  if file -L "$file" | grep -q 'pie executable\|shared object'; then
    base=$(awk -v f="$file" '$6 == f {split($1, r, "-"); print r[1]; exit}' "/proc/$pid/maps")
    [ -n "$base" ] || return 1
  fi
  printf '0x%x\n' $((0x$base + 0x$value))
}

# text at an address, and a long at an address
read_text() {
  python3 -c 'import sys; f = open("/proc/%s/mem" % sys.argv[1], "rb"); f.seek(int(sys.argv[2], 16)); print(f.read(100).split(b"\0")[0].decode())' "$pid" "$1"
}
read_long() {
  python3 -c 'import sys; f = open("/proc/%s/mem" % sys.argv[1], "rb"); f.seek(int(sys.argv[2], 16)); print(int.from_bytes(f.read(8), "little", signed=True))' "$pid" "$1"
}
# A reader that stays, so that a sample costs a pipe round trip instead of
# starting python (which a loaded machine makes slow). Each request line
# holds ADDR:SIZE words (SIZE 1, 2, 4 or 8 bytes, signed; t for text of up
# to 100 bytes); the answer is one line of values, or ERR.
_reader_py='
import sys
try:
    mem = open("/proc/%s/mem" % sys.argv[1], "rb", buffering=0)
except OSError:
    mem = None
for line in sys.stdin:
    out = []
    try:
        for word in line.split():
            at, size = word.split(":")
            mem.seek(int(at, 16))
            if size == "t":
                out.append(mem.read(100).split(b"\0")[0].decode(errors="replace"))
            else:
                data = mem.read(int(size))
                if len(data) != int(size):
                    raise OSError("short read")
                out.append(str(int.from_bytes(data, "little", signed=True)))
        print(" ".join(out), flush=True)
    except Exception:
        print("ERR", flush=True)
'
start_reader() {
  coproc MEMREAD { exec python3 -u -c "$_reader_py" "$pid"; }
}
stop_reader() {
  [ -n "${MEMREAD_PID:-}" ] || return 0
  local p=$MEMREAD_PID
  eval "exec ${MEMREAD[1]}>&-"
  wait "$p" 2>/dev/null || true
}
# values at addresses, one line: read_ints ADDR:SIZE ...; fails when the
# program can no longer be read
read_ints() {
  local line
  if [ -n "${MEMREAD_PID:-}" ]; then
    echo "$*" >&"${MEMREAD[1]}" && read -r line <&"${MEMREAD[0]}" || return 1
  else
    line=$(python3 -c "$_reader_py" "$pid" <<< "$*") || return 1
  fi
  [ "$line" != ERR ] || return 1
  echo "$line"
}

cpu_ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
# resident memory of the program in kB
rss_kb() { awk '$1 == "VmRSS:" {print $2}' "/proc/$pid/status"; }
# running, and not an exited child waiting to be reaped
alive() {
  local state
  state=$(sed 's/.*) //' "/proc/$pid/stat" 2>/dev/null | cut -c1)
  [ -n "$state" ] && [ "$state" != Z ]
}

click() { xdotool mousemove --window "$win" "$1" "$2" click 1; sleep 0.3; }
# picks the entry `steps` below the current one in a choice at x, y (above
# it for a negative count): the choice's menu opens with the current entry
# under the pointer, 18 pixels to an entry
choose() {
  click "$1" "$2"
  click "$1" $(($2 + 18 * $3))
}

# The id of the first visible window of $pid whose title matches the
# pattern, waiting up to the given seconds; empty when none showed.
find_window() {
  local end=$(($(now_us) + $2 * 1000000)) id
  while alive && [ "$(now_us)" -lt "$end" ]; do
    id=$(xdotool search --all --onlyvisible --pid "$pid" --name "$1" 2>/dev/null | head -1)
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.1
  done
  return 1
}

# wall-clock microseconds, without starting a process
now_us() { echo "${EPOCHREALTIME//[!0-9]/}"; }

# Runs the command every 0.1 s until it succeeds, for up to the given
# seconds: wait_until SECONDS COMMAND...
wait_until() {
  local end=$(($(now_us) + $1 * 1000000))
  shift
  until "$@"; do
    [ "$(now_us)" -lt "$end" ] || return 1
    sleep 0.1
  done
}

# Waits up to the given seconds for the process to end and sets
# exit_status; fails when it did not end. The process must be a child of
# this shell, so call this directly, not in $( ).
wait_exit() {
  local end=$(($(now_us) + $1 * 1000000))
  while alive; do
    [ "$(now_us)" -lt "$end" ] || return 1
    sleep 0.1
  done
  exit_status=0
  wait "$pid" || exit_status=$?
}

# Sourced by the shell benchmarks: a private vemsim and mount folder, and the helpers they share.
# The sourcing script sets `build` (a build folder) and may set `work` (the scratch folder,
# default a new one under /tmp) and `out` (where copies go) before sourcing; everything made
# here goes when the script exits.
vem=$(cd "$build/bin" && pwd)/vem
vemsim=$(cd "$build/bin" && pwd)/vemsim
work=${work:-$(mktemp -d)}
# Copies go to memory when it can hold them, so that disk write-back adds no noise; a script
# that measures the disk sets out=$work before sourcing.
if [ -z "${out:-}" ]; then
  out=$work
  [ -d /dev/shm ] && out=$(mktemp -d -p /dev/shm)
fi
export ZELVEM_PIPE_DIR=$work/pipe XDG_DATA_HOME=$work/data
unset ZELVEM_ENABLE_EMULATOR
mkdir -p "$ZELVEM_PIPE_DIR" "$XDG_DATA_HOME" "$work/mnt"
sim=""
unmount() { fusermount3 -u "$work/mnt" 2>/dev/null || fusermount3 -uz "$work/mnt" 2>/dev/null || true; }
# Waits until a background mount has left the folder (fusermount3 returns before that).
wait_unmounted() { for _ in $(seq 200); do mountpoint -q "$work/mnt" || return 0; sleep 0.05; done; }
stop_sim() {
  if [ -n "$sim" ]; then kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; fi
  sim=""
}
cleanup() { mountpoint -q "$work/mnt" && unmount; stop_sim; rm -rf "$work" "$out"; }
trap cleanup EXIT
# Starts vemsim with these arguments and waits (30 s at most) until it serves.
start_sim() {
  : >"$work/sim.log"
  "$vemsim" "$@" 2>"$work/sim.log" &
  sim=$!
  for _ in $(seq 600); do grep -q serving "$work/sim.log" && return 0; sleep 0.05; done
  echo "vemsim did not start:" >&2
  cat "$work/sim.log" >&2
  exit 1
}
median() { printf '%s\n' "$@" | sort -g | sed -n "$(( ($# + 1) / 2 ))p"; }

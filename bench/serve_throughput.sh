#!/usr/bin/env bash
# The server's speed goals, each against a baseline of the same run:
#  1. a whole-movie GET over loopback (curl -o /dev/null) against `vem cat NAME > /dev/null` of
#     the same movie, interleaved, as a ratio of medians;
#  2. 16 clients each reading its sixteenth of the movie at once into a file, every byte
#     compared with `vem cat`'s, aggregate throughput against one client reading the whole movie
#     into a file;
#  3. a 640x480 png8 frame: median request time over many frames.
# Usage: bench/serve_throughput.sh [BUILD_DIR] [REPETITIONS]   (Linux, needs curl)
set -euo pipefail
build=${1:-build/linux}
reps=${2:-7}
. "$(dirname "$0")/bench_env.sh"

# 400 MiB, two MiB a frame; and a 640x480 movie for the PNG frames.
start_sim --movie 1024x1024x200:big --movie 640x480x100:small
token=bench-token-0123456789abcdef
printf '%s\n' "$token" >"$work/token"
"$vem" serve --listen 127.0.0.1:0 --token-file "$work/token" >"$work/serve.out" 2>"$work/serve.log" &
server=$!
trap 'kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; cleanup' EXIT
for _ in $(seq 200); do grep -q serving "$work/serve.out" && break; sleep 0.05; done
base=$(grep -o 'http://[^ ]*/' "$work/serve.out" | head -1)
auth="Authorization: Bearer $token"
name=1-big
bytes=$(curl -sfI -H "$auth" "${base}files/$name" |
  tr -d '\r' | awk 'tolower($1) == "content-length:" { print $2 }')
"$vem" cat "$name" >"$out/whole"  # also has vemsim draw each frame once, before any timing

TIMEFORMAT='%R'
seconds() { { time "$@" >/dev/null; } 2>&1; }

# 1. One whole GET against vem cat.
cat_s=() get_s=()
for _ in $(seq "$reps"); do
  cat_s+=("$(seconds sh -c "'$vem' cat $name > /dev/null")")
  get_s+=("$(seconds curl -sf -o /dev/null -H "$auth" "${base}files/$name")")
done

# 2. Sixteen clients at once, each its own range, against one client reading them all. The
#    sixteen are the transfers of one curl (--parallel): sixteen curl processes spend about
#    0.3 s here just starting, which would be measured instead of the server.
clients=16
part=$(( (bytes + clients - 1) / clients ))
ranges=()
for i in $(seq 0 $((clients - 1))); do
  first=$((i * part)) last=$(( (i + 1) * part - 1 ))
  [ "$last" -lt "$bytes" ] || last=$((bytes - 1))
  [ "$i" -eq 0 ] || ranges+=(--next)
  ranges+=(-sf -H "$auth" -r "$first-$last" -o "$out/part$i" "${base}files/$name")
done
parallel() { curl --parallel --parallel-max "$clients" --no-progress-meter "${ranges[@]}"; }
one_s=() par_s=()
for _ in $(seq "$reps"); do
  # Into a file as the sixteen do (memory, like theirs), so that both pay for keeping the bytes.
  one_s+=("$(seconds curl -sf -o "$out/one" -H "$auth" "${base}files/$name")")
  par_s+=("$(seconds parallel)")
  for i in $(seq 0 $((clients - 1))); do
    cmp -s "$out/part$i" <(tail -c +$((i * part + 1)) "$out/whole" | head -c "$part") ||
      { echo "client $i got wrong bytes" >&2; exit 1; }
  done
done

# 3. png8 frames of 640x480, each frame once per round.
png_s=()
for _ in $(seq 3); do
  for f in $(seq 0 99); do
    png_s+=("$(curl -sf -o /dev/null -w '%{time_total}' -H "$auth" \
      "${base}api/v1/movies/2-small/frames/$f?format=png8")")
  done
done

awk -v b="$bytes" -v r="$reps" -v n="$clients" \
  -v c="$(median "${cat_s[@]}")" -v g="$(median "${get_s[@]}")" \
  -v o="$(median "${one_s[@]}")" -v p="$(median "${par_s[@]}")" \
  -v png="$(median "${png_s[@]}")" -v pngs="${#png_s[@]}" \
  -v cs="${cat_s[*]}" -v gs="${get_s[*]}" -v os="${one_s[*]}" -v ps="${par_s[*]}" 'BEGIN {
  printf "movie of %.0f MiB, %d interleaved repetitions\n", b / 1048576, r
  printf "  seconds: vem cat %s | curl %s | one client %s | %d clients %s\n", cs, gs, os, n, ps
  printf "vem cat > /dev/null   %.3f s  %6.0f MB/s\n", c, b / c / 1e6
  printf "curl -o /dev/null     %.3f s  %6.0f MB/s  speed %.2fx vem cat\n", g, b / g / 1e6, c / g
  printf "%d clients, ranges    %.3f s  %6.0f MB/s  aggregate %.2fx one client (%.3f s), every byte right\n", n, p, b / p / 1e6, o / p, o
  printf "png8 640x480 frame    %.1f ms median of %d requests\n", png * 1000, pngs
}'

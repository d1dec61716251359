#!/usr/bin/env bash
# Runs the tool against the simulated adapter serving the bundled sample disk:
# drive status, the directory plain and with control codes spelled out, and a
# whole-disk copy compared with the source image.
set -eu
cd "$(dirname "$0")/.."
tool=build/orvelan
sim=build/orvelan-sim
disk=samples/sample.d64
work=$(mktemp -d)
trap 'kill "$sim_pid" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT

"$sim" --disk "$disk" >"$work/sim.out" 2>"$work/sim.log" &
sim_pid=$!
for _ in $(seq 50); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
port=$(head -n 1 "$work/sim.out")
echo "Simulated adapter on $port, serving $disk"

step() { echo; echo "\$ $*"; "$@"; }
step "$tool" -s "$port"
step "$tool" -l "$port"
step "$tool" -e -l "$port"
step "$tool" -w "$work/copy.d64" "$port"
echo
echo "\$ cmp $disk copy.d64"
cmp "$disk" "$work/copy.d64" && echo "The copy is identical to the source image."

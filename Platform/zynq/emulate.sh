#!/usr/bin/env bash
# The emulated run: plays SCRIPT with the host runner and with the player image on the emulated
# Cortex-A9 (alignment checking on), and fails unless both print the same lines and leave the
# same backup image.
#
#   emulate.sh [--trace] [--nv FILE] HOST_SIM PLAYER_ELF SCRIPT WORKDIR
#
# --nv FILE preloads both non-volatile windows with FILE. The emulator counts one instruction per
# nanosecond (-icount shift=0, idle time skipped), so the run is repeatable and the field
# handler's cost it reports is an instruction count: the back-end's alone, the player's printing
# left out. The run fails when any field of the script costs more than a quarter of a field.
set -euo pipefail

field_budget=2750000  # instructions: a quarter of a field

trace=0
nv_in=""
while [ $# -gt 0 ]; do
  case "$1" in
    --trace) trace=1; shift ;;
    --nv) nv_in="$2"; shift 2 ;;
    *) break ;;
  esac
done
[ $# -eq 4 ] || { echo "usage: emulate.sh [--trace] [--nv FILE] HOST_SIM PLAYER_ELF SCRIPT WORKDIR" >&2; exit 2; }
host_sim=$1 player=$2 script=$3 work=$4
name=$(basename "$script" .orv)
mkdir -p "$work"
host_out="$work/$name.host"
target_out="$work/$name.target"

command -v qemu-system-arm >/dev/null || { echo "emulate.sh: qemu-system-arm is missing" >&2; exit 2; }
[ -x "$host_sim" ] || { echo "emulate.sh: no host runner at $host_sim (build the default preset)" >&2; exit 2; }

host_args=(--nv "$work/$name.host.nv")
rm -f "$work/$name.host.nv"
loaders=(-device "loader,file=$script,addr=0x36000000,force-raw=on")
if [ -n "$nv_in" ]; then
  cp "$nv_in" "$work/$name.host.nv"
  loaders+=(-device "loader,file=$nv_in,addr=0x37000000,force-raw=on")
fi
if [ "$trace" = 1 ]; then
  host_args+=(--trace)
  loaders+=(-device "loader,addr=0x35FFFFF0,data=1,data-len=4")
fi

"$host_sim" "${host_args[@]}" "$script" > "$host_out"

# The player ends the emulator through semihosting; the timeout only catches a hang.
status=0
timeout 300 qemu-system-arm -M xilinx-zynq-a9 -m 1G -nographic -monitor none \
  -icount shift=0,sleep=off -semihosting-config enable=on,target=native \
  -kernel "$player" "${loaders[@]}" > "$target_out" || status=$?

grep -E '^stat ' "$target_out" | sed "s/^/$name: /" || true
if [ "$status" -ne 0 ]; then
  echo "$name: the emulated run failed (status $status):" >&2
  grep -vE '^(nv|msg|stat) ' "$target_out" | tail -n 20 >&2
  exit 1
fi

fail=0
# "stat back-end field handler N fields, instructions min A mean B max C at line L"
read -r largest largest_line < <(sed -n 's/^stat back-end field handler .* max \([0-9]*\) at line \([0-9]*\)$/\1 \2/p' "$target_out") || true
if [ -z "${largest:-}" ]; then
  echo "$name: the player reported no field cost" >&2
  fail=1
else
  echo "$name: largest field $largest instructions (script line $largest_line), budget $field_budget"
  if [ "$largest" -gt "$field_budget" ]; then
    echo "$name: the field of script line $largest_line took $largest instructions, over the budget of $field_budget" >&2
    fail=1
  fi
fi
if ! diff <(grep -vE '^(nv|stat) ' "$target_out") "$host_out" > "$work/$name.diff"; then
  echo "$name: the target's lines differ from the host runner's (< target, > host):" >&2
  head -n 40 "$work/$name.diff" >&2
  fail=1
fi
if ! diff <(sed -n 's/^nv //p' "$target_out") <(od -An -v -tx1 -w64 "$work/$name.host.nv" | tr -d ' ') \
    > "$work/$name.nv.diff"; then
  echo "$name: the target's backup image differs from the host runner's (64-byte lines, < target, > host):" >&2
  head -n 10 "$work/$name.nv.diff" >&2
  fail=1
fi
[ "$fail" = 0 ] && echo "$name: target and host agree ($(wc -l < "$host_out") lines, backup image equal)"
exit "$fail"

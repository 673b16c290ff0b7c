#!/usr/bin/env bash
# Whether a fuzz target's inputs really start from the booted machine: usage TARGET SEED_DIR.
# 1. The seeds and mutations of them (120 inputs in all), each checked after its restore: every byte
#    of the process the machine owns is as the snapshot took it, and the outcome from the
#    snapshot equals the outcome after a power cycle and a boot (ORVANE_FUZZ_CHECK_SNAPSHOT).
# 2. Up to eight seeds replayed one after another in one process, each three times in a row, give
#    the digests they give each alone: the third run of a seed starts from the state a target
#    keeps of the stretch its inputs share (fuzz::SnapshotRunner::memoized), the second keeps it.
set -euo pipefail
target=$1
seeds=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS=quarantine_size_mb=16
mkdir "$work/corpus"
ORVANE_FUZZ_CHECK_SNAPSHOT=1 "$target" -runs=120 -seed=1 -timeout=10 -artifact_prefix="$work/" \
  "$work/corpus" "$seeds" >"$work/check.log" 2>&1 || { cat "$work/check.log"; exit 1; }

# One digest per input: the last one printed after its "Running:" line (libFuzzer runs an input
# a second time when it suspects a leak).
digests() {
  ORVANE_FUZZ_DIGEST=1 "$target" "$@" 2>&1 | awk '/^Running: / { if (d != "") print d; d = "" } /^digest / { d = $2 } END { if (d != "") print d }'
}
files=("$seeds"/*)
files=("${files[@]:0:8}")
thrice=()
for f in "${files[@]}"; do thrice+=("$f" "$f" "$f"); done
digests "${thrice[@]}" >"$work/together"
: >"$work/alone"
for f in "${files[@]}"; do
  digests "$f" >"$work/one"
  cat "$work/one" "$work/one" "$work/one" >>"$work/alone"
done
[ -s "$work/together" ] || { echo "no digests printed"; exit 1; }
if ! diff "$work/together" "$work/alone"; then
  echo "replayed in one process the seeds of $seeds give other outcomes than each alone"
  exit 1
fi
echo "$(($(wc -l <"$work/alone") / 3)) seeds, the same outcome three times together and alone"

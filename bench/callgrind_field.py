#!/usr/bin/env python3
"""Instructions per field cycle of the benchmark cases, counted by callgrind.

Runs each case of orvane_bench twice under callgrind with two fixed numbers of fields
(ORVANE_BENCH_FIELDS, so that each run sets the case up once), collecting only inside BP::onField,
and divides the difference of the instruction counts by the difference of the field counts, so
that boot, warm-up and the case's set-up cancel out. The runner's formatting of the transmit ring
(sim::Runner::readTransmit, called from within the field) is subtracted, and so is the host
stand-in of the backup DMA (platform::dmaToNv, a memcpy of the image here, a DMA transfer on the
board); the second figure printed is that stand-in's share. Each case also reports the console
error lines of its measured fields (err_lines), which must be 0: a case that logs measures an error
path, not the normal one, and the script fails.

With --top N it also prints, per case, the N functions of the largest inclusive cost per field
(instructions and calls per field, from the same difference of the two runs), the runner's
formatting and the DMA stand-in taken out of their callers' costs.

usage: bench/callgrind_field.py [--top N] [BENCH_BINARY] [CASE...]
"""
import json
import os
import re
import subprocess
import sys
import tempfile

FIELD = "BP::onField()"
RUNNER_OUTPUT = "sim::Runner::readTransmit()"
HARDWARE_STAND_INS = ("platform::dmaToNv(",)
# callgrind counts each byte that a `rep movsb` moves as one instruction: glibc's memcpy takes that
# path for copies of a few KB and more (the input ring's refills of up to 16 KB), where it counts
# ten times the instructions of the vector loop it uses below that size, and of the copy loop of
# the board. Copies of every size go through the loop here.
STRING_COPIES_IN_LOOPS = "glibc.cpu.x86_rep_movsb_threshold=0x7fffffff:glibc.cpu.x86_rep_stosb_threshold=0x7fffffff"
CASES = ["BM_IdleField", "BM_BusyField", "BM_WholeSystemBusy", "BM_OneXptRecord", "BM_AllKeysChanged", "BM_TallyReentryChain", "BM_ImageEffectsOn", "BM_BusRowPresses",
         "BM_ChromaKeysAndKeyMemory"]


def costs(path):
    """Instructions collected, (calls, inclusive instructions) of calls into each function, and the
    inclusive instructions of each caller-to-callee edge."""
    names = {}
    calls = {}
    edges = {}
    total = 0
    caller = None
    callee = None
    pending = False
    ref = re.compile(r"^c?fn=\((\d+)\)(?: (.*))?$")
    with open(path) as f:
        for line in f:
            line = line.rstrip("\n")
            m = ref.match(line)
            if m:
                if m.group(2):
                    names[m.group(1)] = m.group(2)
                if line.startswith("cfn="):
                    callee = names.get(m.group(1))
                else:
                    caller = names.get(m.group(1))
                continue
            if line.startswith("calls="):
                pending = int(line[6:].split()[0])
                continue
            if line.startswith("summary:") or line.startswith("totals:"):
                total = int(line.split()[1])
                continue
            if pending is not False and line and (line[0].isdigit() or line[0] in "+-*"):
                parts = line.split()
                ir = int(parts[1]) if len(parts) > 1 else 0
                n, sum_ir = calls.get(callee, (0, 0))
                calls[callee] = (n + pending, sum_ir + ir)
                edges[(caller, callee)] = edges.get((caller, callee), 0) + ir
                pending = False
    return total, calls, edges


def excluded_shares(calls, edges):
    """How much of each function's inclusive cost is the runner's formatting and the hardware
    stand-ins: theirs whole, and a caller's in proportion to what it spent in each callee (exact
    where a function reaches them along one path, as the field handler does)."""
    out_edges = {}
    for (caller, callee), ir in edges.items():
        out_edges.setdefault(caller, []).append((callee, ir))
    memo = {}

    def share(fn, depth=0):
        if fn in memo:
            return memo[fn]
        if fn and (fn == RUNNER_OUTPUT or fn.startswith(HARDWARE_STAND_INS)):
            memo[fn] = calls.get(fn, (0, 0))[1]
            return memo[fn]
        memo[fn] = 0  # a recursion adds nothing more
        if depth > 200:
            return 0
        total = 0.0
        for callee, ir in out_edges.get(fn, []):
            inclusive = calls.get(callee, (0, 0))[1]
            if callee != fn and inclusive > 0:
                total += ir * share(callee, depth + 1) / inclusive
        memo[fn] = total
        return total

    # Below them: what a function spent when called from them, in proportion again.
    in_edges = {}
    for (caller, callee), ir in edges.items():
        in_edges.setdefault(callee, []).append((caller, ir))
    below_memo = {}

    def below(fn, depth=0):
        """The part of fn's inclusive cost spent on behalf of an excluded function above it."""
        if fn in below_memo:
            return below_memo[fn]
        below_memo[fn] = 0
        if depth > 200:
            return 0
        total = 0.0
        for caller, ir in in_edges.get(fn, []):
            if caller == fn:
                continue
            if caller == RUNNER_OUTPUT or (caller and caller.startswith(HARDWARE_STAND_INS)):
                total += ir
            else:
                inclusive = calls.get(caller, (0, 0))[1]
                if inclusive > 0:
                    total += ir * below(caller, depth + 1) / inclusive
        below_memo[fn] = total
        return total

    return {fn: share(fn) + below(fn) for fn in calls}


def measure(binary, case, fields):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        report = os.path.join(tmp, "bench.json")
        subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", f"--toggle-collect={FIELD}", binary,
             f"--benchmark_filter=^{case}(/|$)", f"--benchmark_out={report}", "--benchmark_out_format=json"],
            check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            env=dict(os.environ, ORVANE_BENCH_FIELDS=str(fields), GLIBC_TUNABLES=STRING_COPIES_IN_LOOPS))
        total, calls, edges = costs(out)
        with open(report) as f:
            runs = json.load(f)["benchmarks"]
    if not runs:
        sys.exit(f"{case}: no such benchmark case")
    err_lines = max(run.get("err_lines", 0) for run in runs)
    fields = calls.get(FIELD, (0, 0))[0]
    runner = calls.get(RUNNER_OUTPUT, (0, 0))[1]
    dma = sum(ir for name, (_, ir) in calls.items() if name and name.startswith(HARDWARE_STAND_INS))
    shares = excluded_shares(calls, edges)
    # The callers of the field handler carry its whole cost: only what it calls is kept.
    callers = {}
    for caller, callee in edges:
        callers.setdefault(callee, set()).add(caller)
    above, todo = set(), [FIELD]
    while todo:
        for caller in callers.get(todo.pop(), ()):
            if caller not in above and caller != FIELD:
                above.add(caller)
                todo.append(caller)
    calls = {name: (n, ir - shares.get(name, 0)) for name, (n, ir) in calls.items() if name not in above}
    return fields, total - runner - dma, dma, err_lines, calls


def print_top(calls1, calls2, fields, top):
    """The functions of the largest inclusive cost per field, from the difference of two runs."""
    field = (calls2.get(FIELD, (0, 0))[1] - calls1.get(FIELD, (0, 0))[1]) / fields
    rows = []
    for name, (n2, ir2) in calls2.items():
        n1, ir1 = calls1.get(name, (0, 0))
        ir = (ir2 - ir1) / fields
        if name and name != FIELD:
            rows.append((ir, (n2 - n1) / fields, name))
    rows.sort(reverse=True)
    print(f"    {'instructions':>12s} {'calls':>8s}  per field, inclusive, the runner's formatting and the "
          "DMA stand-in left out")
    print(f"    {field:12,.0f} {1:8.1f}  {FIELD}")
    for ir, n, name in rows[:top]:
        print(f"    {ir:12,.0f} {n:8.1f}  {name if len(name) <= 120 else name[:117] + '...'}")


def main():
    args = sys.argv[1:]
    top = 0
    if args[:1] == ["--top"]:
        top = int(args[1])
        args = args[2:]
    binary = args.pop(0) if args and os.path.isfile(args[0]) else "build/bench/orvane_bench"
    faulty = []
    for case in args or CASES:
        f1, ir1, dma1, err1, calls1 = measure(binary, case, 24)
        f2, ir2, dma2, err2, calls2 = measure(binary, case, 144)
        per = (ir2 - ir1) / (f2 - f1) if f2 != f1 else float("nan")
        dma = (dma2 - dma1) / (f2 - f1) if f2 != f1 else float("nan")
        err = max(err1, err2)
        print(f"{case:25s} {per:12,.0f} instructions per field, backup DMA stand-in {dma:,.0f} more, "
              f"err_lines {err:g} ({f1} and {f2} fields)", flush=True)
        if top and f2 != f1:
            print_top(calls1, calls2, f2 - f1, top)
        if err != 0:
            faulty.append(case)
    if faulty:
        sys.exit("error lines in the measured fields (an error path was measured): " + ", ".join(faulty))


if __name__ == "__main__":
    main()

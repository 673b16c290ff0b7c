#!/usr/bin/env python3
"""Mutation testing of the firmware folders: how many single-point faults do the tests catch?

Draws N faults with a seed (a file in proportion to its size, then one of the fault kinds the file
offers, then one place of that kind), builds each mutant incrementally in a worker's own copy of
the tree, runs the tests on it and reports the kill rate per folder and file and every survivor.

  tools/mutate.py --count 200 --seed 1 --jobs 4      draw, build and test 200 mutants
  tools/mutate.py --count 200 --seed 1 --dry-run     only list the mutants the draw gives
  tools/mutate.py --replay R.json --survivors        run the survivors of an earlier run again
  tools/mutate.py --self-test                        check the mutation operators

Python 3 standard library only. See the README's "Mutation testing" section.
"""

import argparse
import bisect
import csv
import hashlib
import json
import os
import queue
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

FOLDERS = ("Main", "Driver", "Common", "Amp", "Lib")
EXTENSIONS = (".cpp", ".h")
KINDS = ("comparison", "constant", "logical", "delete", "negate-if")
KILLED = ("killed", "timeout")  # a hang is a fault the tests caught
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# ---------------------------------------------------------------------------------------------
# Source masking: comments, string and character literals and preprocessor lines become blanks
# (newlines kept), so that every scan below sees code only and offsets still match the source.


MASKED = re.compile(
    r"(?P<blank>//[^\n]*|/\*.*?(?:\*/|\Z)|^[ \t]*#(?:[^\n]*\\\n)*[^\n]*)"  # comments, preprocessor lines
    r"|(?P<quoted>(?:u8|[uUL])?R\"(?P<delim>[^(\s]*)\(.*?\)(?P=delim)\""  # raw string
    r"|\"(?:\\.|[^\"\\\n])*\""  # string
    r"|(?<![0-9A-Fa-f])'(?:\\.|[^'\\\n])*')",  # character, not a digit separator
    re.M | re.S)


def mask_source(text):
    def blank(m):
        s = m.group(0)
        if m.group("blank") is not None:
            return re.sub(r"[^\n]", " ", s)
        q = min(k for k in (s.find('"'), s.find("'")) if k >= 0)  # after any prefix
        return s[:q + 1] + re.sub(r"[^\n]", " ", s[q + 1:-1]) + s[-1]

    return MASKED.sub(blank, text)


def match_close(masked, open_at, opener="(", closer=")"):
    """Offset of the bracket that closes the one at open_at, or -1."""
    depth = 0
    for k in range(open_at, len(masked)):
        ch = masked[k]
        if ch == opener:
            depth += 1
        elif ch == closer:
            depth -= 1
            if depth == 0:
                return k
    return -1


def template_close(masked, open_at):
    """Offset of the '>' closing a template argument list opened at open_at, or -1."""
    depth = 0
    paren = 0
    k = open_at
    while k < len(masked):
        ch = masked[k]
        if ch in "([":
            paren += 1
        elif ch in ")]":
            paren -= 1
            if paren < 0:
                return -1
        elif ch in ";{}":
            return -1
        elif ch == "<" and paren == 0:
            depth += 1
        elif ch == ">" and paren == 0 and masked[k - 1] != "-":
            depth -= 1
            if depth == 0:
                return k
        k += 1
    return -1


# ---------------------------------------------------------------------------------------------
# Places that must not be mutated: compile-time checks and what the stored layout is made of.
# A mutant there would only be killed by the compiler.

LAYOUT_CONSTANT = re.compile(r"\bconstexpr\s+[\w:]+\s+(N_\w+|BIT_\w+|\w*SIZE\w*|\w*LAYOUT\w*|\w*_LEN\w*|\w*UNIT\w*)\s*=")
DECL_KEYWORDS = {"return", "case", "else", "delete", "new", "throw", "goto", "co_return", "sizeof", "typename"}


def excluded_spans(masked):
    spans = []
    for m in re.finditer(r"\b(static_assert|alignas|alignof|sizeof)\s*\(", masked):
        close = match_close(masked, m.end() - 1)
        if close > 0:
            spans.append((m.start(), close + 1))
    for m in re.finditer(r"\bif\s+constexpr\s*\(", masked):
        close = match_close(masked, m.end() - 1)
        if close > 0:
            spans.append((m.start(), close + 1))
    for m in re.finditer(r"(?:\btemplate\s*|[\w]|::)<", masked):
        lt = m.end() - 1
        if masked[lt + 1:lt + 2] in ("=", "<", " ") or masked[lt - 1:lt] == "<":
            continue
        close = template_close(masked, lt)
        if close > 0:
            spans.append((lt, close + 1))
    # Array sizes in declarations: `u8 reserved[24];`, `u16 code[N][4]`.
    for m in re.finditer(r"\b([A-Za-z_]\w*(?:::\w+)*)[ \*&]+([A-Za-z_]\w*) *((?:\[[^\]\n]*\])+)", masked):
        if m.group(1) not in DECL_KEYWORDS and masked[m.start() - 1:m.start()] not in (".", ">"):
            spans.append((m.start(3), m.end(3)))
    for m in LAYOUT_CONSTANT.finditer(masked):
        end = masked.find(";", m.end())
        spans.append((m.start(), end if end > 0 else m.end()))
    # A record field's mask bit: moving it collides with another bit, which the declaration check
    # refuses at compile time.
    for m in re.finditer(r"\b(?:rec::)?(?:field|elements)\s*\(\s*\d+", masked):
        spans.append((m.start(), m.end()))
    spans.sort()
    return spans


class Spans:
    def __init__(self, spans):
        self.starts = [s for s, _ in spans]
        self.spans = spans
        self.max_end = []
        best = -1
        for _, e in spans:
            best = max(best, e)
            self.max_end.append(best)

    def covers(self, a, b):
        """Whether [a, b) overlaps any span."""
        k = bisect.bisect_left(self.starts, b) - 1
        return k >= 0 and self.max_end[k] > a


# ---------------------------------------------------------------------------------------------
# Brace context: whether a place is inside a function body (where a line can be a statement).


def code_depths(masked):
    """For each line, whether it lies in executable code (a function or block body)."""
    in_code = [False] * (masked.count("\n") + 1)
    stack = []
    last = 0  # offset after the last ; { or }
    line = 0
    for m in re.finditer(r"[{};\n]", masked):
        ch = m.group(0)
        k = m.start()
        if ch == "\n":
            line += 1
            in_code[line] = bool(stack) and stack[-1] == "code"
        elif ch == "{":
            header = masked[last:k].strip()
            enclosing = stack[-1] if stack else "scope"
            if re.search(r"\b(struct|class|union|enum|namespace)\b|^extern\b", header):
                kind = "scope"
            elif header == "" or header.endswith(":") and not header.endswith("::"):
                kind = "code" if enclosing == "code" or header else enclosing
            elif (header.endswith((")", "]")) or re.search(r"\b(const|override|noexcept|mutable|final|else|do|try)$", header)
                  or re.search(r"->\s*[\w:<>,\s\*&]+$", header)):
                kind = "code"
            else:
                kind = "init"
            stack.append(kind)
            last = k + 1
        elif ch == "}":
            if stack:
                stack.pop()
            last = k + 1
        else:
            last = k + 1
    return in_code


# ---------------------------------------------------------------------------------------------
# The mutation operators. Each candidate: (offset, kind, original text, replacement).

COMPARISON_FLIP = {"<": ">=", ">=": "<", "<=": ">", ">": "<=", "==": "!=", "!=": "=="}
LOGICAL_FLIP = {"&&": "||", "||": "&&"}
INT_LITERAL = re.compile(r"(?<![\w.'])(0[xX][0-9a-fA-F']+|0[bB][01']+|\d[\d']*)([uUlL]*)(?![\w.'])")
STATEMENT_START_KEYWORDS = {"return", "break", "continue", "goto", "case", "default", "using", "typedef", "namespace",
                            "static_assert", "delete", "throw", "co_return", "template", "friend", "else", "do",
                            "public", "private", "protected", "new", "if", "for", "while", "switch"}
NAME_CHAIN = r"[A-Za-z_]\w*(?:(?:::|\.|->)[A-Za-z_]\w*|\[[^\]]*\]|\(\))*"
CALL_STATEMENT = re.compile(r"^(?:" + NAME_CHAIN + r")(?:<[^;]*?>)?\(.*\);$")
ASSIGN_STATEMENT = re.compile(r"^\*?(?:" + NAME_CHAIN + r")\s*(?:=|\+=|-=|\*=|/=|%=|&=|\|=|\^=|<<=|>>=)\s*[^=].*;$")
STEP_STATEMENT = re.compile(r"^(?:(?:\+\+|--)" + NAME_CHAIN + r"|" + NAME_CHAIN + r"(?:\+\+|--));$")
DECLARATION_CONDITION = re.compile(r"^\s*(?:const\s+)?[A-Za-z_][\w:]*(?:<.*?>)?(?:\s*[\*&]+\s*|\s+)[A-Za-z_]\w*\s*(?:=(?!=)|\{)")


def int_variants(literal, suffix):
    digits = literal.replace("'", "")
    if digits[:2].lower() == "0x":
        value = int(digits, 16)
        body = digits[2:]
        fmt = lambda v: digits[:2] + format(v, "0%d%s" % (len(body), "X" if body.upper() == body and any(
            ch.isalpha() for ch in body) else "x"))
    elif digits[:2].lower() == "0b":
        value = int(digits, 2)
        fmt = lambda v: digits[:2] + format(v, "b")
    elif len(digits) > 1 and digits[0] == "0":
        return []  # octal: left alone
    else:
        value = int(digits)
        fmt = str
    out = [fmt(value + 1) + suffix]
    if value > 0:
        out.append(fmt(value - 1) + suffix)
    return out


def candidates(text):
    """Every mutation the operators offer in one source text, in a stable order."""
    masked = mask_source(text)
    skip = Spans(excluded_spans(masked))
    found = []

    for m in re.finditer(r"(?<=\s)(<=|>=|==|!=|<|>)(?=\s)", masked):
        if not skip.covers(m.start(), m.end()):
            found.append((m.start(), "comparison", m.group(1), COMPARISON_FLIP[m.group(1)]))
    for m in re.finditer(r"(?<=\s)(&&|\|\|)(?=\s)", masked):
        if not skip.covers(m.start(), m.end()):
            found.append((m.start(), "logical", m.group(1), LOGICAL_FLIP[m.group(1)]))
    for m in INT_LITERAL.finditer(masked):
        if skip.covers(m.start(), m.end()):
            continue
        for after in int_variants(m.group(1), m.group(2)):
            found.append((m.start(), "constant", m.group(0), after))
    for m in re.finditer(r"\bif\s*\(", masked):
        open_at = m.end() - 1
        close = match_close(masked, open_at)
        if close < 0:
            continue
        cond = masked[open_at + 1:close]
        depth = 0
        has_init = False
        for ch in cond:
            depth += ch in "([{"
            depth -= ch in ")]}"
            has_init |= ch == ";" and depth == 0
        if has_init or DECLARATION_CONDITION.match(cond) or not cond.strip():
            continue
        original = text[open_at + 1:close]
        found.append((open_at + 1, "negate-if", original, "!(" + original + ")"))

    in_code = code_depths(masked)
    lines = masked.split("\n")
    offset = 0
    previous = ""
    for number, line in enumerate(lines):
        stripped = line.strip()
        start = offset + len(line) - len(line.lstrip())
        offset += len(line) + 1
        if not stripped:
            continue
        prev, previous = previous, stripped
        if not in_code[number] or not line[:1].isspace() or stripped.count(";") != 1:
            continue
        first = re.match(r"[A-Za-z_]\w*", stripped)
        if first and first.group(0) in STATEMENT_START_KEYWORDS:
            continue
        if not (prev.endswith((";", "{", "}", ")")) or prev.endswith(":") and not prev.endswith("::")
                or re.search(r"\b(else|do)$", prev)):
            continue
        if any(stripped.count(a) != stripped.count(b) for a, b in ("()", "[]", "{}")):
            continue
        if not (CALL_STATEMENT.match(stripped) or ASSIGN_STATEMENT.match(stripped) or STEP_STATEMENT.match(stripped)):
            continue
        end = start + len(stripped)
        found.append((start, "delete", text[start:end], "{}"))

    found.sort(key=lambda c: (c[0], KINDS.index(c[1]), c[3]))
    return found


# ---------------------------------------------------------------------------------------------
# Mutants: drawing, placing, applying.


def firmware_files(root, under=()):
    files = []
    for folder in FOLDERS:
        for dirpath, dirnames, filenames in os.walk(os.path.join(root, folder)):
            dirnames.sort()
            for name in sorted(filenames):
                if name.endswith(EXTENSIONS):
                    rel = os.path.relpath(os.path.join(dirpath, name), root).replace(os.sep, "/")
                    if not under or any(rel == u.rstrip("/") or rel.startswith(u.rstrip("/") + "/") for u in under):
                        files.append(rel)
    return sorted(files)


def read(root, rel):
    with open(os.path.join(root, rel), encoding="utf-8", newline="") as f:
        return f.read()


def line_col(text, offset):
    line = text.count("\n", 0, offset) + 1
    return line, offset - (text.rfind("\n", 0, offset) + 1) + 1


def line_at(text, line):
    return text.split("\n")[line - 1]


def make_mutant(rel, text, cand):
    offset, kind, before, after = cand
    line, col = line_col(text, offset)
    return {"file": rel, "line": line, "col": col, "kind": kind, "before": before, "after": after,
            "source_line": line_at(text, line)}


def draw(root, count, seed, under=()):
    """count distinct mutants: a file in proportion to its size, a kind the file offers, a place."""
    rng = random.Random(seed)
    pool = []
    for rel in firmware_files(root, under):
        text = read(root, rel)
        by_kind = {}
        for cand in candidates(text):
            by_kind.setdefault(cand[1], []).append(cand)
        if by_kind:
            pool.append((rel, text, by_kind))
    if not pool:
        return []
    cumulative = []
    total = 0
    for rel, text, _ in pool:
        total += len(text.encode("utf-8"))
        cumulative.append(total)
    available = sum(len(c) for _, _, k in pool for c in k.values())
    chosen = []
    seen = set()
    attempts = 0
    while len(chosen) < min(count, available) and attempts < 100 * count + 1000:
        attempts += 1
        rel, text, by_kind = pool[bisect.bisect_right(cumulative, rng.random() * total)]
        kinds = [k for k in KINDS if k in by_kind]
        kind = kinds[rng.randrange(len(kinds))]
        cand = by_kind[kind][rng.randrange(len(by_kind[kind]))]
        key = (rel, cand[0], cand[1], cand[3])
        if key in seen:
            continue
        seen.add(key)
        chosen.append(make_mutant(rel, text, cand))
    for number, mutant in enumerate(chosen, 1):
        mutant["id"] = "m%04d" % number
    return chosen


def locate(mutant, text):
    """Offset of the mutant's place in text: where it was, or on the nearest line that still reads
    the same (when lines were added or removed above it); None when it is gone."""
    lines = text.split("\n")
    starts = [0]
    for line in lines:
        starts.append(starts[-1] + len(line) + 1)
    want = mutant["line"] - 1
    order = sorted(range(len(lines)), key=lambda k: (abs(k - want), k))
    for k in order:
        if lines[k] != mutant["source_line"]:
            continue
        offset = starts[k] + mutant["col"] - 1
        if text.startswith(mutant["before"], offset):
            return offset
    return None


def apply(mutant, text):
    offset = locate(mutant, text)
    if offset is None:
        return None
    return text[:offset] + mutant["after"] + text[offset + len(mutant["before"]):]


def one_line(s, limit=110):
    s = " ".join(s.split())
    return s if len(s) <= limit else s[:limit - 3] + "..."


def describe(mutant):
    """The change as "before → after", on the mutated line."""
    source = mutant["source_line"]
    col = mutant["col"] - 1
    mutated = source[:col] + mutant["after"] + source[col + len(mutant["before"]):]
    if mutant["kind"] == "delete":
        return "%s → (deleted)" % one_line(mutant["before"])
    if "\n" in mutant["before"]:  # a condition over several lines
        return "if (%s) → if (%s)" % (one_line(mutant["before"], 60), one_line(mutant["after"], 64))
    return "%s → %s" % (one_line(source), one_line(mutated))


def tree_digest(root, files):
    h = hashlib.sha256()
    for rel in files:
        h.update(rel.encode() + b"\0")
        with open(os.path.join(root, rel), "rb") as f:
            h.update(f.read())
    return h.hexdigest()[:16]


# ---------------------------------------------------------------------------------------------
# Workers: each owns a copy of the tree and its build directory.


def source_files(root):
    try:
        out = subprocess.run(["git", "ls-files", "--cached", "--others", "--exclude-standard", "-z"], cwd=root,
                             check=True, capture_output=True).stdout.decode()
        files = [f for f in out.split("\0") if f and os.path.isfile(os.path.join(root, f))]
    except (OSError, subprocess.CalledProcessError):
        files = []
        for dirpath, dirnames, filenames in os.walk(root):
            dirnames[:] = [d for d in dirnames if d not in ("build", ".git")]
            files += [os.path.relpath(os.path.join(dirpath, n), root) for n in filenames]
    return sorted(files)


class Worker:
    def __init__(self, index, root, work_dir, args, log):
        self.index = index
        self.root = root
        self.dir = os.path.join(work_dir, "w%d" % index)
        self.build = os.path.join(self.dir, "build", "default")
        self.args = args
        self.log = log
        self.timeout = args.timeout
        self.other_tests = []
        self.process = None
        self.stopping = False

    def run(self, cmd, timeout, cwd=None):
        """(returncode or None on timeout, output)."""
        with tempfile.TemporaryFile() as out:
            self.process = subprocess.Popen(cmd, cwd=cwd or self.dir, stdout=out, stderr=subprocess.STDOUT,
                                            start_new_session=True)
            try:
                rc = self.process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.kill()
                self.process.wait()
                rc = None
            self.process = None
            out.seek(0)
            return rc, out.read().decode("utf-8", "replace")

    def kill(self):
        process = self.process
        if process is not None and process.poll() is None:
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except OSError:
                pass

    def sync(self):
        """Makes the copy equal to the source tree; only files that differ are written."""
        os.makedirs(self.dir, exist_ok=True)
        manifest = os.path.join(self.dir, ".mutate-files")
        old = set()
        if os.path.exists(manifest):
            with open(manifest) as f:
                old = set(f.read().split("\0")) - {""}
        files = source_files(self.root)
        for rel in files:
            src = os.path.join(self.root, rel)
            dst = os.path.join(self.dir, rel)
            with open(src, "rb") as f:
                data = f.read()
            if os.path.exists(dst):
                with open(dst, "rb") as f:
                    if f.read() == data:
                        continue
            os.makedirs(os.path.dirname(dst), exist_ok=True)
            with open(dst, "wb") as f:
                f.write(data)
            shutil.copymode(src, dst)
        for rel in sorted(old - set(files)):
            try:
                os.remove(os.path.join(self.dir, rel))
            except OSError:
                pass
        with open(manifest, "w") as f:
            f.write("\0".join(files))

    def build_targets(self):
        return self.run(["cmake", "--build", self.build, "-j", str(self.args.build_jobs), "--target", "orvane_tests",
                         "orvane-sim"], timeout=self.args.build_timeout)

    def setup(self):
        self.sync()
        # Mutants are built at -O1 without debug information: the same code and checks, compiled and
        # linked in about half the time of the default preset's -O2 -g. Configuring again is cheap
        # when nothing changed, and moves a tree kept from an older run onto these flags.
        rc, out = self.run(["cmake", "--preset", "default", "-DORVANE_TESTS=REQUIRE", "-DCMAKE_BUILD_TYPE=Release",
                            "-DCMAKE_CXX_FLAGS_RELEASE=-O1 -DNDEBUG"], timeout=600)
        if rc != 0:
            raise RuntimeError("worker %d: configure failed:\n%s" % (self.index, out[-3000:]))
        started = time.time()
        rc, out = self.build_targets()
        if rc != 0:
            raise RuntimeError("worker %d: the unmutated tree does not build:\n%s" % (self.index, out[-3000:]))
        self.log("worker %d: built in %.0f s" % (self.index, time.time() - started))
        rc, out = self.run(["ctest", "--test-dir", self.build, "--show-only=json-v1"], timeout=120)
        tests = json.loads(out[out.find("{"):])["tests"] if rc == 0 else []
        self.other_tests = [t["name"] for t in tests
                            if not any("orvane_tests" in os.path.basename(c) for c in t.get("command", [])[:1])
                            and not t["name"].startswith("MutationTool.")]
        started = time.time()
        status, detail = self.test(timeout=600)
        elapsed = time.time() - started
        if status != "survived":
            raise RuntimeError("worker %d: the unmutated tree fails its tests: %s" % (self.index, detail))
        if self.timeout is None:
            self.timeout = max(20.0, 10 * elapsed)
        self.log("worker %d: tests pass in %.1f s; a mutant's tests time out after %.0f s"
                 % (self.index, elapsed, self.timeout))

    def test(self, timeout=None):
        """('killed' | 'timeout' | 'survived', detail)."""
        timeout = timeout or self.timeout
        rc, out = self.run([os.path.join(self.build, "orvane_tests"), "--gtest_brief=1"], timeout, cwd=self.build)
        if rc is None:
            return "timeout", "orvane_tests ran over %.0f s" % timeout
        if rc != 0:
            failed = []
            for m in re.finditer(r"^\[  FAILED  \] ([\w/.]+)", out, re.M):
                if m.group(1) not in failed:
                    failed.append(m.group(1))
            if not failed:
                tail = [l for l in out.strip().split("\n") if l.strip()][-1:]
                return "killed", "orvane_tests exit status %d %s" % (rc, one_line(" ".join(tail), 80))
            return "killed", " ".join(failed[:3]) + (" (+%d)" % (len(failed) - 3) if len(failed) > 3 else "")
        if not self.other_tests:
            return "survived", ""
        names = "^(" + "|".join(re.escape(n) for n in self.other_tests) + ")$"
        rc, out = self.run(["ctest", "--test-dir", self.build, "-R", names, "--timeout", "%.0f" % timeout],
                           timeout * len(self.other_tests) + 60)
        if rc is None or rc != 0:
            failed = re.findall(r"^\s*\d+ - (\S+) \(([^)]*)\)", out, re.M)
            if rc is None or any("Timeout" in why for _, why in failed):
                return "timeout", " ".join(n for n, _ in failed[:3]) or "ctest ran over its time"
            return "killed", " ".join(n for n, _ in failed[:3]) or "ctest exit status %s" % rc
        return "survived", ""

    def mutate(self, mutant):
        path = os.path.join(self.dir, mutant["file"])
        with open(path, encoding="utf-8", newline="") as f:
            original = f.read()
        mutated = apply(mutant, original)
        if mutated is None:
            return "stale", "its line is no longer in %s" % mutant["file"]
        try:
            with open(path, "w", encoding="utf-8", newline="") as f:
                f.write(mutated)
            rc, out = self.build_targets()
            if rc is None:
                return "error", "the build ran over %d s" % self.args.build_timeout
            if rc != 0:
                if re.search(r"gtest_discover_tests|Error running test executable", out):
                    return "killed", "orvane_tests failed while its tests were listed"
                errors = re.findall(r"^\S+:\d+:\d+: error: (.*)$", out, re.M)
                return "compiler", one_line(errors[0] if errors else out.strip().split("\n")[-1], 100)
            return self.test()
        finally:
            with open(path, "w", encoding="utf-8", newline="") as f:
                f.write(original)


def run_mutants(mutants, args, log):
    work_dir = os.path.abspath(args.work_dir)
    os.makedirs(work_dir, exist_ok=True)
    env = os.environ
    if shutil.which("ccache"):
        env.setdefault("CMAKE_CXX_COMPILER_LAUNCHER", "ccache")
        base = env.get("CCACHE_BASEDIR")
        if not base or not (work_dir + os.sep).startswith(os.path.abspath(base).rstrip(os.sep) + os.sep):
            env["CCACHE_BASEDIR"] = work_dir  # workers' identical relative paths share the cache
        env.setdefault("CCACHE_NOHASHDIR", "1")
    workers = [Worker(k, ROOT, work_dir, args, log) for k in range(min(args.jobs, max(1, len(mutants))))]
    todo = queue.Queue()
    for mutant in mutants:
        todo.put(mutant)
    results = {}
    failures = []
    lock = threading.Lock()
    stop = threading.Event()
    done = [0]

    def work(worker):
        try:
            worker.setup()
        except Exception as e:  # reported once all workers have stopped
            failures.append(str(e))
            stop.set()
            return
        while not stop.is_set():
            try:
                mutant = todo.get_nowait()
            except queue.Empty:
                return
            started = time.time()
            status, detail = worker.mutate(mutant)
            if stop.is_set() and status in ("timeout", "killed", "error"):
                return  # killed by the interruption, not by a test
            result = dict(mutant, status=status, detail=detail, seconds=round(time.time() - started, 1))
            with lock:
                results[mutant["id"]] = result
                done[0] += 1
                log("[%d/%d] %s %s %s:%d %s%s" % (done[0], len(mutants), mutant["id"], status.upper(), mutant["file"],
                                                  mutant["line"], describe(mutant), "  (%s)" % detail if detail else ""))

    threads = [threading.Thread(target=work, args=(w,)) for w in workers]
    for t in threads:
        t.start()
    try:
        for t in threads:
            while t.is_alive():
                t.join(0.5)
    except KeyboardInterrupt:
        log("interrupted: stopping the workers (each puts its file back)")
        stop.set()
        for w in workers:
            w.kill()
        for t in threads:
            t.join()
    if failures:
        for f in failures:
            log(f)
        if not results:
            sys.exit(2)
    return [results[m["id"]] for m in mutants if m["id"] in results]


# ---------------------------------------------------------------------------------------------
# Reports.


def tally(results):
    t = {"mutants": len(results), "compiler": 0, "killed": 0, "timeout": 0, "survived": 0, "other": 0}
    for r in results:
        key = r["status"] if r["status"] in t else "other"
        t[key] += 1
    t["tested"] = t["killed"] + t["timeout"] + t["survived"]
    t["rate"] = 100.0 * (t["killed"] + t["timeout"]) / t["tested"] if t["tested"] else None
    return t


def rate_text(t):
    return "%5.1f%%" % t["rate"] if t["rate"] is not None else "    -"


def report(results, out=sys.stdout):
    def table(title, key):
        groups = {}
        for r in results:
            groups.setdefault(key(r), []).append(r)
        print("\n%s\n  %-34s %7s %8s %7s %8s %8s %9s" % (title, "", "mutants", "compiler", "killed", "timeout",
                                                      "survived", "kill rate"), file=out)
        for name in sorted(groups):
            t = tally(groups[name])
            print("  %-34s %7d %8d %7d %8d %8d %9s" % (name, t["mutants"], t["compiler"], t["killed"], t["timeout"],
                                                      t["survived"], rate_text(t)), file=out)

    t = tally(results)
    table("By folder:", lambda r: r["file"].split("/")[0] + "/")
    table("By file:", lambda r: r["file"])
    table("By kind:", lambda r: r["kind"])
    survivors = [r for r in results if r["status"] == "survived"]
    print("\nSurvivors (%d):" % len(survivors), file=out)
    for r in survivors:
        print("  %s:%d  %s  %s  [%s]" % (r["file"], r["line"], r["id"], describe(r), r["kind"]), file=out)
    others = [r for r in results if r["status"] not in ("survived", "killed", "timeout", "compiler")]
    for r in others:
        print("  %s:%d  %s  %s: %s" % (r["file"], r["line"], r["id"], r["status"], r["detail"]), file=out)
    print("\n%d mutants: %d killed by the compiler, %d killed by the tests (%d of them by a timeout), %d survived%s;"
          " kill rate %s of the %d that built"
          % (t["mutants"], t["compiler"], t["killed"] + t["timeout"], t["timeout"], t["survived"],
             ", %d not run" % t["other"] if t["other"] else "", rate_text(t).strip(), t["tested"]), file=out)


def save(results, meta, path):
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "w") as f:
        json.dump(dict(meta, mutants=results), f, indent=1, ensure_ascii=False)
        f.write("\n")
    csv_path = os.path.splitext(path)[0] + ".csv"
    with open(csv_path, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["id", "file", "line", "col", "kind", "status", "detail", "seconds", "change"])
        for r in results:
            w.writerow([r["id"], r["file"], r["line"], r["col"], r["kind"], r["status"], r.get("detail", ""),
                        r.get("seconds", ""), describe(r)])
    return csv_path


# ---------------------------------------------------------------------------------------------
# Self-test of the operators.


def self_test():
    failures = []

    def check(what, ok):
        if not ok:
            failures.append(what)

    def muts(src, kind=None):
        return [(c[2], c[3]) for c in candidates(src) if kind is None or c[1] == kind]

    body = "void f() {\n%s\n}\n"
    # Comparisons flip both ways; shifts, arrows, templates and spaceship are not comparisons.
    check("comparison <", muts(body % "  if (a < b) g();", "comparison") == [("<", ">=")])
    check("comparison >=", muts(body % "  x = a >= b;", "comparison") == [(">=", "<")])
    check("comparison <=", muts(body % "  x = a <= b;", "comparison") == [("<=", ">")])
    check("comparison >", muts(body % "  x = a > b;", "comparison") == [(">", "<=")])
    check("comparison ==", muts(body % "  x = a == b;", "comparison") == [("==", "!=")])
    check("comparison !=", muts(body % "  x = a != b;", "comparison") == [("!=", "==")])
    check("no comparison", muts(body % "  x = a << b >> c; p->q = static_cast<u8>(v); y = (a <=> b);",
                                "comparison") == [])
    # Constants move by one, in their own base and with their suffix; floats and names are left.
    check("constant decimal", muts(body % "  x = 10u;", "constant") == [("10u", "11u"), ("10u", "9u")])
    check("constant zero", muts(body % "  x = 0;", "constant") == [("0", "1")])
    check("constant hex", muts(body % "  x = 0x0F;", "constant") == [("0x0F", "0x0E"), ("0x0F", "0x10")])
    check("constant hex lower", muts(body % "  x = 0xff;", "constant") == [("0xff", "0x100"), ("0xff", "0xfe")])
    check("no constant", muts(body % "  float y = 1.5f + 1e-5f; u8 z = x; w = '1'; // 3", "constant") == [])
    check("digit separator", muts(body % "  x = 1'000;", "constant") == [("1'000", "1001"), ("1'000", "999")])
    # && and ||, not rvalue references.
    check("logical &&", muts(body % "  x = a && b;", "logical") == [("&&", "||")])
    check("logical ||", muts(body % "  x = a || b;", "logical") == [("||", "&&")])
    check("no logical", muts("template <class T> void f(T&& t) { g(static_cast<T&&>(t)); }\n", "logical") == [])
    # Statement deletion: whole simple call and assignment lines inside a function, nothing else.
    check("delete call", muts(body % "  x = 1;\n  foo(1, 2);", "delete") == [("x = 1;", "{}"), ("foo(1, 2);", "{}")])
    check("delete member", muts(body % "  {\n    r.keyOn[i] += static_cast<u8>(v);\n    ++n;\n  }", "delete")
          == [("r.keyOn[i] += static_cast<u8>(v);", "{}"), ("++n;", "{}")])
    check("no delete", muts(body % "  int x = 3;\n  return g(x);\n  KzifDsk change{};\n  Foo bar(1);\n"
                                   "  if (a) g(); else h();\n  y = g(a,\n        b);", "delete") == [])
    check("no delete in a class", muts("struct S {\n  S();\n  void g();\n  int x = 3;\n};\nS::S() {\n  g();\n}\n",
                                       "delete") == [("g();", "{}")])
    check("delete after an unbraced if", muts(body % "  if (a)\n    g(1);", "delete") == [("g(1);", "{}")])
    # if negation, not of declarations, init-statements or compile-time conditions.
    check("negate if", muts(body % "  if (a == b && c) g();", "negate-if") == [("a == b && c", "!(a == b && c)")])
    check("negate multi-line if", muts(body % "  if (a ||\n      b) g();", "negate-if")
          == [("a ||\n      b", "!(a ||\n      b)")])
    check("no negate", muts(body % "  if (auto* p = find()) g();\n  if (KeyMemory* m = find()) g();\n"
                                   "  if (const int m = h(); m >= 0) g();\n  if constexpr (N == 3) g();",
                            "negate-if") == [])
    # What is never mutated: comments, texts, preprocessor lines, compile-time checks, layouts.
    skipped = ("// if (a < b) x = 1;\n/* a && b; 3 */\n#define N 3\n#if A > 1\n#endif\n"
               "static_assert(sizeof(X) == 12 && offsetof(X, y) == 4);\n"
               "struct X {\n  static constexpr int N_CHANNELS = 4;\n  static constexpr int BIT_GAIN = 2;\n"
               "  u8 reserved[24];\n  rec::Text<12> name;\n  std::array<int, 3> v;\n};\n"
               "void f() {\n  int k = g(\"a < b && c 7\", '<');\n  int n = sizeof(u32) + alignof(u64);\n}\n")
    check("skipped places", muts(skipped) == [])
    fields = "constexpr auto wire() {\n  return rec::list(rec::field(3, &R::x, rec::range(0, 9)));\n}\n"
    check("record field bit", [a for _, a in muts(fields, "constant")] == ["1", "10", "8"])
    check("template declaration", muts("template <int N = 3>\nstruct Y {};\n", "constant") == [])

    # Applying a mutant, then finding it again after lines were added above it.
    text = "void f() {\n  if (a < b) g();\n}\n"
    mutant = make_mutant("Main/x.cpp", text, [c for c in candidates(text) if c[1] == "comparison"][0])
    check("apply", apply(mutant, text) == "void f() {\n  if (a >= b) g();\n}\n")
    check("describe", describe(mutant) == "if (a < b) g(); → if (a >= b) g();")
    moved = "// new\n\n" + text
    check("relocate", apply(mutant, moved) == "// new\n\nvoid f() {\n  if (a >= b) g();\n}\n")
    check("stale", apply(mutant, text.replace("a < b", "a <= b")) is None)

    # The draw depends on the seed and the tree only.
    with tempfile.TemporaryDirectory() as tmp:
        os.makedirs(os.path.join(tmp, "Main"))
        os.makedirs(os.path.join(tmp, "Driver"))
        with open(os.path.join(tmp, "Main", "a.cpp"), "w") as f:
            f.write("void f() {\n" + "".join("  if (a%d < %d && b) g(%d);\n  x = %d;\n" % (k, k, k, k)
                                             for k in range(40)) + "}\n")
        with open(os.path.join(tmp, "Driver", "b.cpp"), "w") as f:
            f.write("void h() {\n  y = 1;\n}\n")
        first = draw(tmp, 30, 7)
        check("draw count", len(first) == 30 and len({(m["file"], m["line"], m["col"], m["after"])
                                                       for m in first}) == 30)
        check("draw repeats", first == draw(tmp, 30, 7))
        check("draw seed", first != draw(tmp, 30, 8))
        check("draw kinds", {m["kind"] for m in first} == set(KINDS))
        check("draw exhausts", len(draw(tmp, 10000, 1, under=("Driver",))) == 3)

    for f in failures:
        print("self-test FAILED: %s" % f)
    print("self-test: %d checks failed" % len(failures) if failures else "self-test: all checks passed")
    return 1 if failures else 0


# ---------------------------------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="\n".join(__doc__.split("\n")[5:10]))
    parser.add_argument("--count", type=int, default=200, help="mutants to draw (default 200)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the draw (default 1)")
    parser.add_argument("--under", action="append", default=[], metavar="PATH",
                        help="draw only from files under PATH (a folder or a file; may be repeated)")
    parser.add_argument("--jobs", type=int, default=2, help="workers, each with its own tree (default 2)")
    parser.add_argument("--build-jobs", type=int, default=0,
                        help="compile jobs per worker (default: processors / workers, at least 2)")
    parser.add_argument("--timeout", type=float, default=None,
                        help="seconds a mutant's tests may take (default: 10 times the unmutated run, at least 20)")
    parser.add_argument("--build-timeout", type=int, default=1800, help="seconds a mutant's build may take")
    parser.add_argument("--work-dir", default=os.path.join(ROOT, "build", "mutation"),
                        help="where the workers' trees live (default build/mutation; kept for the next run)")
    parser.add_argument("--output", help="results file, JSON (a CSV is written next to it); default in --work-dir")
    parser.add_argument("--replay", metavar="RESULTS", help="run the mutants of an earlier results file again")
    parser.add_argument("--survivors", action="store_true", help="with --replay: only the survivors")
    parser.add_argument("--dry-run", action="store_true", help="list the mutants, build nothing")
    parser.add_argument("--self-test", action="store_true", help="check the mutation operators and exit")
    args = parser.parse_args()

    if args.self_test:
        return self_test()
    if args.build_jobs <= 0:
        args.build_jobs = max(2, (os.cpu_count() or 2) // max(1, args.jobs))

    files = firmware_files(ROOT)
    meta = {"tree": tree_digest(ROOT, files)}
    if args.replay:
        with open(args.replay) as f:
            earlier = json.load(f)
        mutants = earlier["mutants"]
        if args.survivors:
            mutants = [m for m in mutants if m.get("status") == "survived"]
        mutants = [{k: v for k, v in m.items() if k not in ("status", "detail", "seconds")} for m in mutants]
        previous = {m["id"]: m.get("status") for m in earlier["mutants"]}
        meta.update(replay=os.path.abspath(args.replay), seed=earlier.get("seed"), count=earlier.get("count"))
        if earlier.get("tree") != meta["tree"]:
            print("note: the firmware folders changed since %s; mutants whose line is gone are reported stale"
                  % args.replay)
        output = args.output or os.path.join(args.work_dir, "replay.json")
    else:
        mutants = draw(ROOT, args.count, args.seed, args.under)
        previous = {}
        meta.update(seed=args.seed, count=args.count, under=args.under)
        output = args.output or os.path.join(args.work_dir, "results-seed%d-n%d.json" % (args.seed, args.count))

    if args.dry_run:
        for m in mutants:
            print("%s %s:%d:%d [%s] %s" % (m["id"], m["file"], m["line"], m["col"], m["kind"], describe(m)))
        return 0
    if not mutants:
        print("no mutants to run")
        return 0

    def log(line):
        print(line, flush=True)

    started = time.time()
    log("%d mutants, %d workers, %d compile jobs each, trees in %s" % (len(mutants), min(args.jobs, len(mutants)),
                                                                    args.build_jobs, args.work_dir))
    results = run_mutants(mutants, args, log)
    meta["seconds"] = round(time.time() - started)
    report(results)
    if previous:
        now_killed = [r for r in results if previous.get(r["id"]) == "survived" and r["status"] in KILLED]
        print("\nSurvivors of %s now killed: %d of %d" % (args.replay, len(now_killed),
                                                           sum(1 for r in results if previous.get(r["id"]) == "survived")))
        for r in now_killed:
            print("  %s:%d  %s  %s  (%s)" % (r["file"], r["line"], r["id"], describe(r), r["detail"]))
    csv_path = save(results, meta, output)
    print("\nresults: %s and %s (%.0f min)" % (output, csv_path, meta["seconds"] / 60))
    return 0 if len(results) == len(mutants) else 1


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Fault seeding: one-line faults in the product lines changed since a commit.

scripts/seed-faults.sh is the entry (it refuses a dirty tree, restores the
file being faulted if this engine dies, and checks the tree afterwards).
This file finds the candidate faults, picks them repeatably from a seed, and
for each one: chooses the tests that run its line (a coverage map, made once
per commit by seed_build.py), applies the fault, builds only the test programs
those tests belong to, runs them fastest first until one fails, records
whether the tests caught it and puts the file back.

Written in Python rather than bash or perl because finding the faults needs a
small C++ lexer (comments, string and character literals, raw strings, digit
separators, preprocessor lines) and some bracket matching over a whole file;
both read plainly here.
"""

import argparse
import collections
import os
import random
import re
import signal
import subprocess
import sys
import time

import seed_build as sb

# sim/ is the receiver the tests talk to, not the product: faulted only when --path sim names it.
PRODUCT_PATHS = ["serial", "core", "faces", "app"]
MAP_PATHS = PRODUCT_PATHS + ["sim"]
SOURCE_SUFFIXES = (".cpp", ".h", ".hpp", ".cc", ".cxx", ".hh")

# --------------------------------------------------------------------------------------------------
# Lexing: a copy of the text, the same length, where comment and literal contents and whole
# preprocessor lines are blanked. Every search for a fault runs on that copy, and every fault is
# applied at the same columns of the real line, so nothing inside a string or a comment is touched.

RAW_OPEN = re.compile(r'(?:u8|u|U|L)?R"([^()\\\s]{0,16})\(')
IDENT = re.compile(r"[A-Za-z_]\w*")
PP_NUMBER = re.compile(r"\.?\d(?:[eEpP][+-]|[\w.']|)*")


def _blank(out, a, b):
    for k in range(a, b):
        if out[k] != "\n":
            out[k] = " "


def _quoted_end(text, i, quote):
    """Index of the closing quote of a literal opening at i (or the line end if unclosed)."""
    j = i + 1
    while j < len(text) and text[j] != quote and text[j] != "\n":
        j += 2 if text[j] == "\\" else 1
    return min(j, len(text))


def mask_code(text):
    out = list(text)
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            _blank(out, i, j)
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            _blank(out, i, j)
            i = j
        elif c.isalpha() or c == "_":
            raw = RAW_OPEN.match(text, i)
            if raw:
                close = ")" + raw.group(1) + '"'
                j = text.find(close, raw.end())
                j = n if j < 0 else j + len(close) - 1
                quote = text.index('"', i)
                _blank(out, quote + 1, j)
                i = j + 1
            else:
                i = IDENT.match(text, i).end()
        elif c.isdigit() or (c == "." and i + 1 < n and text[i + 1].isdigit()):
            i = PP_NUMBER.match(text, i).end()
        elif c in "\"'":
            j = _quoted_end(text, i, c)
            _blank(out, i + 1, j)
            i = j + 1
        else:
            i += 1
    return _blank_preprocessor("".join(out))


def _blank_preprocessor(masked):
    lines = masked.split("\n")
    continued = False
    for k, line in enumerate(lines):
        if continued or line.lstrip().startswith("#"):
            continued = line.rstrip().endswith("\\")
            lines[k] = " " * len(line)
        else:
            continued = False
    return "\n".join(lines)


# --------------------------------------------------------------------------------------------------
# Where a line sits: inside a function (and what that function returns), or elsewhere.

QUALIFIERS = {"const", "override", "noexcept", "final", "mutable", "volatile"}
BLOCK_WORDS = {"if", "for", "while", "switch", "catch", "constexpr"}
SPECIFIERS = r"\b(?:static|inline|virtual|constexpr|consteval|explicit|friend|extern|Q_INVOKABLE)\b"
ACCESS_LABEL = re.compile(r"\b(?:public|private|protected|signals|slots|Q_SLOTS|Q_SIGNALS)\s*:(?!:)")
TRAILING_RETURN = re.compile(r"->\s*([\w:<>,\s*&]+?)\s*$")


class Shape:
    """Brace structure of one masked file."""

    def __init__(self, masked):
        self.m = masked
        self.match = {}
        self.open_at_line = []
        self.kinds = {}
        stack = []
        self.open_at_line.append(())
        for pos, ch in enumerate(masked):
            if ch == "{":
                stack.append(pos)
            elif ch == "}" and stack:
                self.match[stack.pop()] = pos
            elif ch == "\n":
                self.open_at_line.append(tuple(stack))

    def back(self, j):
        while j >= 0 and self.m[j].isspace():
            j -= 1
        return j

    def word_before(self, j):
        """(word, start) of the identifier ending at j, or ('', j + 1)."""
        k = j
        while k >= 0 and (self.m[k].isalnum() or self.m[k] == "_"):
            k -= 1
        return self.m[k + 1 : j + 1], k + 1

    def paren_open(self, j, close=")", open_="("):
        depth = 0
        while j >= 0:
            if self.m[j] == close:
                depth += 1
            elif self.m[j] == open_:
                depth -= 1
                if depth == 0:
                    return j
            j -= 1
        return -1

    def classify(self, brace):
        if brace not in self.kinds:
            self.kinds[brace] = self._classify(brace)
        return self.kinds[brace]

    def _classify(self, brace):
        j = self.back(brace - 1)
        trailing = None
        tr = TRAILING_RETURN.search(self.m, max(0, j - 200), j + 1)
        if tr:
            trailing = tr.group(1)
            j = self.back(tr.start() - 1)
        while True:
            word, start = self.word_before(j)
            if word not in QUALIFIERS:
                break
            j = self.back(start - 1)
        if j < 0:
            return ("other",)
        ch = self.m[j]
        if word in ("else", "do", "try") or ch in ";{}" or (ch == ":" and self.m[j - 1] != ":"):
            return ("block",)
        if ch == "]":
            return ("lambda", brace, trailing)
        if ch != ")":
            return ("other",)
        op = self.paren_open(j)
        k = self.back(op - 1)
        word, start = self.word_before(k)
        if word in BLOCK_WORDS:
            return ("block",)
        if k >= 0 and self.m[k] == "]":
            return ("lambda", brace, trailing)
        return ("function", op, trailing)

    def function_of_line(self, line):
        """The innermost function or lambda around `line`, or None when the line is not a statement's."""
        for brace in reversed(self.open_at_line[line]):
            kind = self.classify(brace)
            if kind[0] == "other":
                return None
            if kind[0] != "block":
                return kind
        return None

    def returned(self, kind):
        """'void', 'value' (return {} builds) or None (no early return that is sure to build)."""
        if kind[2] is not None:
            return type_kind(kind[2])
        if kind[0] == "lambda":
            body = self.m[kind[1] : self.match.get(kind[1], len(self.m))]
            return None if re.search(r"\breturn\s*[^;\s]", body) else "void"
        op = kind[1]
        k = self.back(op - 1)
        name, start = self.word_before(k)
        p = self.back(start - 1)
        if p >= 0 and (self.m[p] == "," or (self.m[p] == ":" and self.m[p - 1] != ":")):
            return "void"  # a member initializer: the body is a constructor's
        seg = max(self.m.rfind(c, 0, op) for c in ";{}") + 1
        sig = ACCESS_LABEL.sub(" ", self.m[seg:op])
        sig = re.sub(r"\[\[.*?\]\]", " ", sig)
        sig = re.sub(r"^\s*template\s*<.*?>(?=\s*\w)", " ", sig, flags=re.S)
        named = re.search(r"(~?\w+(?:\s*::\s*~?\w+)*|operator\s*\S+)\s*$", sig)
        if not named:
            return None
        parts = re.split(r"\s*::\s*", named.group(1))
        if parts[-1].startswith("~") or (len(parts) > 1 and parts[-1] == parts[-2]):
            return "void"
        return type_kind(re.sub(SPECIFIERS, " ", sig[: named.start()]))


def type_kind(text):
    t = " ".join(text.split())
    if t in ("", "void"):
        return "void"
    if t.endswith("&") or t.startswith("auto") or t.startswith("decltype"):
        return None
    return "value"


# --------------------------------------------------------------------------------------------------
# The faults. Each is (column span on the line, replacement, what it is).

FLIPS = {"<": ">=", ">": "<=", "<=": ">", ">=": "<", "==": "!=", "!=": "=="}
OPERATOR = re.compile(r"<=>|<<=|>>=|<<|>>|->|<=|>=|==|!=|<|>")
NUMBER = re.compile(r"(?<![\w.'])(0[xX][0-9a-fA-F']+|\d[\d']*)([uUlL]*|_?[A-Za-z_]\w*)?(?![\w.'])")
CONDITION = re.compile(r"\b(if|while)\s*(constexpr\s*)?\(")
PREFIX = re.compile(r"\s*(?:\}\s*)?(?:else\b\s*)?(?:(?:if|while|for)\s*(?:constexpr\s*)?(?=\())?")
KEYWORD_STATEMENT = re.compile(
    r"(?:return|break|continue|goto|throw|delete|using|typedef|static_assert|case|default|co_\w+|else|do|"
    r"if|for|while|switch|try|catch|public|private|protected|namespace|template|class|struct|enum)\b"
)
ASSIGNMENT = re.compile(r"[*&]?[\w.\[\]:>-]+\s*(?:[-+*/%&|^]|<<|>>)?=(?!=)|(?:\+\+|--)[\w.\[\]:>-]+\s*;|[\w.\[\]:>-]+(?:\+\+|--)\s*;")
CALLEE = re.compile(r"[*&]?(?:::)?[\w:.\[\]>-]+(?:<[^()]*>)?")
STATEMENT_START = re.compile(r"[A-Za-z_]|::|\+\+|--|\*\w|\(")
NO_RETURN_BEFORE = re.compile(r"(?:return|break|continue|case|default|else|catch|public|private|protected)\b")
DECLARATION_IN_CONDITION = re.compile(r"^\s*(?:const\s+)?[\w:<>]+\s*[*&]*\s+\w+\s*(?:=|\{)")


def comparison_faults(m):
    out = []
    for op in OPERATOR.finditer(m):
        text = op.group()
        if text not in FLIPS:
            continue
        a, b = op.start(), op.end()
        if text in "<>":
            # A comparison has blanks on both sides; a template's angle brackets do not.
            if not (a > 0 and m[a - 1] == " " and b < len(m) and m[b] == " "):
                continue
        if re.search(r"\boperator\s*$", m[:a]):
            continue
        out.append(((a, b), FLIPS[text], f"comparison flipped ({text} to {FLIPS[text]})"))
    return out


def constant_faults(m):
    if re.search(r"\)\s*[\w\s]*=\s*0\s*;\s*$", m):
        return []  # a pure virtual's "= 0"
    out = []
    for num in NUMBER.finditer(m):
        digits, suffix = num.group(1), num.group(2) or ""
        if suffix[:1] in ("e", "E") and not digits.lower().startswith("0x"):
            continue
        hexa = digits.lower().startswith("0x")
        value = int(digits.replace("'", ""), 16 if hexa else (8 if len(digits) > 1 and digits[0] == "0" else 10))
        for new in (value + 1, value - 1):
            if new < 0:
                continue
            if hexa:
                shown = digits[:2] + (f"{new:X}" if any(c in "ABCDEF" for c in digits) else f"{new:x}")
            elif len(digits) > 1 and digits[0] == "0":
                shown = "0" + format(new, "o")
            else:
                shown = str(new)
            out.append(((num.start(1), num.end(1)), shown, f"constant off by one ({digits} to {shown})"))
    return out


def condition_faults(m):
    out = []
    for cond in CONDITION.finditer(m):
        if cond.group(2):
            continue  # a compile-time condition
        op = cond.end() - 1
        close = _matching_close(m, op)
        if close < 0:
            continue
        inner_start = op + 1
        semi = _top_level(m, op + 1, close, ";")
        if semi >= 0:
            inner_start = semi + 1  # an init-statement: negate only the condition after it
        elif DECLARATION_IN_CONDITION.match(m[op + 1 : close]):
            continue
        if not m[inner_start:close].strip():
            continue
        lead = len(m[inner_start:close]) - len(m[inner_start:close].lstrip())
        out.append(((inner_start + lead, close), None, f"condition negated ({cond.group(1)})"))
    return out


def _matching_close(m, op):
    depth = 0
    for k in range(op, len(m)):
        if m[k] == "(":
            depth += 1
        elif m[k] == ")":
            depth -= 1
            if depth == 0:
                return k
    return -1


def _top_level(m, a, b, ch):
    depth = 0
    for k in range(a, b):
        if m[k] in "([{":
            depth += 1
        elif m[k] in ")]}":
            depth -= 1
        elif m[k] == ch and depth == 0:
            return k
    return -1


def _balanced(s):
    return all(s.count(o) == s.count(c) for o, c in ("()", "[]", "{}"))


def statement_tail(m):
    """Start column of the statement a line ends with, after any `if (...)`/`else`/`for (...)`."""
    start, guarded = 0, False
    while True:
        p = PREFIX.match(m, start)
        rest = p.end()
        if rest < len(m) and m[rest] == "(" and re.search(r"(?:if|while|for|constexpr)\s*$", m[start:rest]):
            close = _matching_close(m, rest)
            if close < 0:
                return None, guarded
            rest = close + 1
        if rest == start or not m[start:rest].strip():
            break
        guarded = guarded or bool(re.search(r"\b(?:if|while|for|else)\b", m[start:rest]))
        start = rest
    while start < len(m) and m[start] == " ":
        start += 1
    return start, guarded


def is_call_or_assignment(s):
    if not s.endswith(";") or not _balanced(s) or KEYWORD_STATEMENT.match(s):
        return False
    if ASSIGNMENT.match(s):
        return True
    paren = s.find("(")
    if paren <= 0 or not re.search(r"\)\s*;$", s):
        return False
    callee = re.sub(r"\s*(\.|->|::)\s*", r"\1", re.sub(r"^(?:emit|Q_EMIT)\s+", "", s[:paren])).strip()
    return bool(CALLEE.fullmatch(callee))


def statement_faults(m, line, shape, prev_end):
    """A call or assignment dropped; an early return put before the statement."""
    kind = shape.function_of_line(line)
    if kind is None:
        return []
    out = []
    # After ";", "{", "}" or a label a line starts a statement of its own; after ")", "else" or "do" it
    # may be the whole body of the line above, which can lose its statement but take no return before it.
    at_start = prev_end in (";", "{", "}", ":")
    body = prev_end == ")" or prev_end.endswith("else") or prev_end.endswith("do")
    tail, guarded = statement_tail(m)
    if tail is not None and (guarded or at_start or body):
        stmt = m[tail:].rstrip()
        if is_call_or_assignment(stmt):
            out.append(((tail, tail + len(stmt)), "{}", "statement dropped"))
    whole = m.strip()
    if at_start and STATEMENT_START.match(whole) and not NO_RETURN_BEFORE.match(whole):
        returned = shape.returned(kind)
        if returned:
            first = len(m) - len(m.lstrip())
            text = "return; " if returned == "void" else "return {}; "
            out.append(((first, first), text, "early return inserted"))
    return out


def faults_in_text(text, lines_wanted):
    """[(line number from 1, original line, faulted line, what)] for the wanted line numbers."""
    masked = mask_code(text)
    shape = Shape(masked)
    real = text.split("\n")
    masked_lines = masked.split("\n")
    found = []
    prev_end = ""
    for k, m in enumerate(masked_lines):
        if k + 1 in lines_wanted and m.strip() and k < len(real):
            faults = comparison_faults(m) + condition_faults(m) + constant_faults(m)
            faults += statement_faults(m, k, shape, prev_end)
            for (a, b), new, what in faults:
                orig = real[k]
                if new is None:
                    faulted = orig[:a] + "!(" + orig[a:b] + ")" + orig[b:]
                else:
                    faulted = orig[:a] + new + orig[b:]
                if faulted != orig and (k + 1, faulted) not in {(f[0], f[2]) for f in found}:
                    found.append((k + 1, orig, faulted, what))
        if m.strip():
            prev_end = m.rstrip()[-1] if not re.search(r"\b(?:else|do)$", m.rstrip()) else m.rstrip()[-4:]
    return found


# --------------------------------------------------------------------------------------------------
# Which lines changed, which files the build compiles, and the order faults are tried in.


def git(*args):
    return subprocess.run(["git", *args], check=True, capture_output=True, text=True).stdout


def changed_lines(base, paths):
    """{path: set of line numbers in HEAD} for product sources changed since base."""
    # From where HEAD left base: for a branch, `--since main` is the branch's own change even after
    # main has moved on.
    diff = git("diff", "-U0", "--no-color", "--no-ext-diff", f"{base}...HEAD", "--", *paths)
    changed, path = {}, None
    for line in diff.splitlines():
        if line.startswith("+++ "):
            target = line[4:]
            path = target[2:] if target.startswith("b/") and target.endswith(SOURCE_SUFFIXES) else None
        elif line.startswith("@@") and path:
            hunk = re.match(r"@@ -\S+ \+(\d+)(?:,(\d+))? @@", line)
            first, count = int(hunk.group(1)), int(hunk.group(2) or "1")
            changed.setdefault(path, set()).update(range(first, first + count))
    return {p: s for p, s in changed.items() if s}


def ordered(candidates, seed):
    """A repeatable order that samples widely: the files in turn, within a file each changed line in
    turn, and from a line the kind of fault least tried so far."""
    rng = random.Random(seed)
    by_file = {}
    for c in candidates:
        by_file.setdefault(c["path"], {}).setdefault(c["line"], []).append(c)
    files = []
    for path in sorted(by_file):
        lines = [by_file[path][n] for n in sorted(by_file[path])]
        rng.shuffle(lines)
        for faults in lines:
            rng.shuffle(faults)
        files.append(collections.deque(lines))
    rng.shuffle(files)
    tried = collections.Counter()
    order = []
    while files:
        for lines in list(files):
            faults = lines.popleft()
            fault = min(faults, key=lambda f: tried[kind_of(f)])
            faults.remove(fault)
            tried[kind_of(fault)] += 1
            order.append(fault)
            if faults:
                lines.append(faults)
            if not lines:
                files.remove(lines)
    return order


def kind_of(fault):
    return fault["what"].split(" (")[0]


def function_body(shape, k):
    """(first line, last line) of the body of the function or lambda around line k (from 0), or None."""
    for brace in reversed(shape.open_at_line[k]):
        kind = shape.classify(brace)
        if kind[0] == "other":
            return None
        if kind[0] != "block":
            close = shape.match.get(brace, len(shape.m))
            return shape.m.count("\n", 0, brace) + 1, shape.m.count("\n", 0, close) + 1
    return None


def candidates_since(base, paths):
    found = []
    for path, lines in sorted(changed_lines(base, paths).items()):
        text = git("show", f"HEAD:{path}")
        shape = Shape(mask_code(text))
        for line, orig, faulted, what in faults_in_text(text, lines):
            found.append({"path": path, "line": line, "orig": orig, "faulted": faulted, "what": what,
                          "body": function_body(shape, line - 1)})
    return found


# --------------------------------------------------------------------------------------------------
# Running: every child in a process group of its own, ended with its group on an interrupt; the file
# being faulted is kept in memory and in the state folder the shell entry restores from.


class Interrupted(Exception):
    pass


def on_signal(signum, _frame):
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    raise Interrupted(signum)


def run_logged(cmd, log_path, state):
    with open(log_path, "wb") as log:
        proc = subprocess.Popen(cmd, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, start_new_session=True)
        child_note = os.path.join(state, "child")
        with open(child_note, "w") as f:
            f.write(str(proc.pid))
        try:
            return proc.wait()
        finally:
            if proc.poll() is None:
                sb.end_group(proc, term_grace=10)
            os.unlink(child_note)


def write_file(path, data):
    # Written in place and never with the old timestamp: the build must see the file as changed
    # both when the fault goes in and when the original comes back.
    with open(path, "wb") as f:
        f.write(data)


def apply_fault(fault):
    with open(fault["path"], "rb") as f:
        text = f.read().decode("utf-8", "surrogateescape")
    lines = text.split("\n")
    k = fault["line"] - 1
    if lines[k] != fault["orig"]:
        raise RuntimeError(f"{fault['path']}:{fault['line']} is not the line the fault was made from")
    lines[k] = fault["faulted"]
    write_file(fault["path"], "\n".join(lines).encode("utf-8", "surrogateescape"))


def try_fault(fault, opts, tests, ctx):
    """('not built' | 'caught' | 'survived', note); the file is back as it was."""
    path = fault["path"]
    with open(path, "rb") as f:
        pristine = f.read()
    keep = os.path.join(opts.state, "pristine")
    with open(keep, "wb") as f:
        f.write(pristine)
    with open(os.path.join(opts.state, "target.new"), "w") as f:
        f.write(os.path.abspath(path))
    os.replace(os.path.join(opts.state, "target.new"), os.path.join(opts.state, "target"))
    try:
        apply_fault(fault)
        built, spent = set(), {"build": 0.0, "tests": 0.0}

        def took():
            return f"build {spent['build']:.0f} s, {ran} tests {spent['tests']:.0f} s"

        for ran, name in enumerate(tests, 1):
            test = ctx.tests[name]
            if test["target"] not in built:
                began = time.monotonic()
                cmd = ["cmake", "--build", opts.build_dir, "-j", str(opts.jobs), "--target", test["target"]]
                status = run_logged(cmd, os.path.join(opts.state, "build.log"), opts.state)
                spent["build"] += time.monotonic() - began
                if status != 0:
                    ran -= 1
                    return "not built", f"({took()})"
                built.add(test["target"])
            limit = min(sb.time_limit(ctx.cmap["tests"][name]["seconds"]), opts.timeout)
            result, secs = sb.run_test(test, limit, log=os.path.join(opts.state, "test.log"),
                                       note=os.path.join(opts.state, "child"))
            spent["tests"] += secs
            if result != "pass":
                over = f", past its {limit:.0f} s" if result == "timeout" else ""
                return "caught", f"by {name} ({took()}{over})"
        return "survived", f"({took()})"
    finally:
        # A signal waits until the file is back; it is taken as soon as this block ends.
        signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})
        try:
            write_file(path, pristine)
            with open(path, "rb") as f:
                if f.read() != pristine:
                    raise RuntimeError(f"{path} did not come back as it was")
            os.unlink(os.path.join(opts.state, "target"))
        finally:
            signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT, signal.SIGTERM})


def show(fault, indent="    "):
    return f"{indent}- {fault['orig'].strip()}\n{indent}+ {fault['faulted'].strip()}"


def label(fault):
    return f"{fault['path']}:{fault['line']}  {fault['what']}"


# --------------------------------------------------------------------------------------------------


def parse(argv):
    p = argparse.ArgumentParser(
        prog="scripts/seed-faults.sh",
        description="Puts one-line faults into the product lines changed since a commit, one at a time, "
        "builds what the tests that run the line need, runs those tests and reports the faults they did "
        "not catch.",
    )
    p.add_argument("--since", required=True, metavar="COMMIT", help="faults go into lines changed since COMMIT")
    p.add_argument("--max", type=int, metavar="N", help="try at most N faults (20 unless --minutes is given)")
    p.add_argument("--minutes", type=float, metavar="M", help="start no fault expected to end after M minutes")
    p.add_argument("--seed", type=int, default=1, help="which faults, and in what order (default 1)")
    p.add_argument("--build-dir", default="build", metavar="DIR", help="a configured build folder (default build)")
    p.add_argument("--cov-dir", default="build-cov", metavar="DIR",
                   help="the coverage build folder, configured by the runner if missing (default build-cov)")
    p.add_argument("--filter", metavar="REGEX", help="use only the tests whose names REGEX finds")
    p.add_argument("--exclude", metavar="REGEX", help="leave out the tests whose names REGEX finds")
    p.add_argument("--timeout", type=int, default=300, metavar="S",
                   help="the most a test may take under a fault (default 300; each test's own limit is "
                   "three times its time without a fault, and 5 s)")
    p.add_argument("--jobs", type=int, default=2, metavar="J", help="build jobs, and tests at once in the coverage pass (default 2)")
    p.add_argument("--path", action="append", default=[], metavar="DIR",
                   help=f"a folder to fault besides {' '.join(PRODUCT_PATHS)} (e.g. sim)")
    p.add_argument("--list", action="store_true", help="only print the faults a run would try, in its order")
    p.add_argument("--state", help=argparse.SUPPRESS)
    opts = p.parse_args(argv)
    if opts.max is None and opts.minutes is None:
        opts.max = 20
    opts.paths = PRODUCT_PATHS + [d.rstrip("/") for d in opts.path if d.rstrip("/") not in PRODUCT_PATHS]
    return opts


def pick(opts):
    found = candidates_since(opts.since, opts.paths)
    files = sorted({c["path"] for c in found})
    compiled = sb.compiled_sources(opts.build_dir, files) if os.path.isdir(opts.build_dir) else None
    outside = [] if compiled is None else [f for f in files if f not in compiled]
    usable = [c for c in found if c["path"] not in outside]
    chosen = ordered(usable, opts.seed)
    if opts.max is not None:
        chosen = chosen[: opts.max]
    print(f"{len(found)} candidate faults in {len(files)} product files changed since {opts.since} "
          f"({' '.join(opts.paths)})")
    for f in outside:
        left = sum(c["path"] == f for c in found)
        print(f"  {left} left out: {f} is not compiled by {opts.build_dir}/")
    print(f"{len(chosen)} of {len(usable)} chosen (seed {opts.seed})")
    return chosen, usable


class Context:
    """What every fault's run shares: the coverage map and the tests of the build folder."""

    def __init__(self, cmap, tests, opts, included_by=None):
        self.cmap, self.tests, self.included_by = cmap, tests, included_by or {}
        self.filter = re.compile(opts.filter) if opts.filter else None
        self.exclude = re.compile(opts.exclude) if opts.exclude else None

    def choose(self, fault):
        """(how, tests fastest first) for a fault; how as in seed_build.tests_for."""
        how, names = sb.tests_for(self.cmap, fault["path"], fault["line"], self.included_by, fault.get("body"))
        names = [
            n for n in names
            if n in self.tests and self.cmap["tests"][n]["result"] == "pass"
            and (not self.filter or self.filter.search(n)) and not (self.exclude and self.exclude.search(n))
        ]
        return how, sb.by_speed(self.cmap, names)


# What the coverage of the tests depends on: a commit that changes none of it (the guides, the
# scripts) keeps the map.
MAP_INPUTS = ["serial", "core", "faces", "app", "sim", "tests", "cmake", "CMakeLists.txt"]


def head():
    """The key of the coverage map: HEAD's trees of what the tests' coverage depends on."""
    import hashlib

    listing = git("ls-tree", "HEAD", "--", *MAP_INPUTS)
    return hashlib.sha1(listing.encode()).hexdigest()[:16]


def list_faults(opts):
    chosen, _ = pick(opts)
    cmap = sb.load_map(opts.cov_dir, head()) if os.path.isdir(opts.cov_dir) else None
    ctx = None
    if cmap and os.path.isdir(opts.build_dir):
        ctx = Context(cmap, sb.ctest_tests(opts.build_dir), opts, sb.includers(opts.cov_dir))
    for n, fault in enumerate(chosen, 1):
        tail = ""
        if ctx:
            how, names = ctx.choose(fault)
            tail = "  [no test runs the line]" if how == "none" else f"  [{len(names)} tests ({how})]"
        print(f"[{n}] {label(fault)}{tail}\n{show(fault)}")
    if not cmap:
        print(f"(no coverage map for this code ({head()}) in {opts.cov_dir}/: a run makes one)")
    return 0


def coverage_map(opts):
    """The map for HEAD: from the cache, or made now (the coverage folder built first)."""
    commit = head()
    cmap = sb.load_map(opts.cov_dir, commit)
    if cmap:
        print(f"coverage map: {sb.map_path(opts.cov_dir, commit)} (made before for this code)")
        return cmap
    began = time.monotonic()
    log = os.path.join(opts.state, "cov-build.log")
    if not os.path.exists(os.path.join(opts.cov_dir, "CMakeCache.txt")):
        print(f"configuring {opts.cov_dir}/ with --coverage")
        if run_logged(["cmake", "-S", ".", "-B", opts.cov_dir, *sb.COVERAGE_FLAGS], log, opts.state) != 0:
            print(f"could not configure {opts.cov_dir}/; see its CMake output")
            return None
    if run_logged(["cmake", "--build", opts.cov_dir, "-j", str(opts.jobs)], log, opts.state) != 0:
        print(f"the coverage build fails; see cmake --build {opts.cov_dir}")
        return None
    print(f"coverage build ready ({time.monotonic() - began:.0f} s); running each test alone once")
    cmap = sb.build_map(opts.cov_dir, commit, os.getcwd(), MAP_PATHS, opts.state, opts.jobs)
    print(f"coverage map made in {time.monotonic() - began:.0f} s: {sb.map_path(opts.cov_dir, commit)}")
    return cmap


def unrun_lines(ctx, usable):
    """{path: [changed lines that are code and that no test runs]} over the candidates' lines."""
    out = {}
    for c in usable:
        if ctx.choose(c)[0] == "none":
            out.setdefault(c["path"], set()).add(c["line"])
    return {p: sorted(s) for p, s in sorted(out.items())}


def spans(lines):
    parts, start = [], None
    for k, n in enumerate(lines):
        if start is None:
            start = n
        if k + 1 == len(lines) or lines[k + 1] != n + 1:
            parts.append(str(start) if start == n else f"{start}-{n}")
            start = None
    return ", ".join(parts)


def run(opts):
    chosen, usable = pick(opts)
    if not chosen:
        print("no fault to try")
        return 0
    counts = {"not built": 0, "caught": 0, "survived": 0}
    survivors = []
    try:
        build_cmd = ["cmake", "--build", opts.build_dir, "-j", str(opts.jobs)]
        if run_logged(build_cmd, os.path.join(opts.state, "build.log"), opts.state) != 0:
            print(f"the build fails without a fault; see {opts.build_dir} (configure it with scripts/build.sh)")
            return 2
        cmap = coverage_map(opts)
        if cmap is None:
            return 2
        failing = [n for n, t in cmap["tests"].items() if t["result"] != "pass"
                   and not (opts.exclude and re.search(opts.exclude, n))]
        if failing:
            print("the tests fail without a fault (in the coverage build, twice each):", ", ".join(failing))
            return 2
        ctx = Context(cmap, sb.ctest_tests(opts.build_dir), opts, sb.includers(opts.cov_dir))
        print(f"without a fault: built, {len(cmap['names'])} tests pass; each fault runs only the tests that "
              "run its line, fastest first, until one fails")
        try_all(chosen, opts, ctx, counts, survivors)
    except Interrupted as e:
        sb.end_running()
        print(f"\ninterrupted ({signal.Signals(e.args[0]).name}); the file under a fault is back as it was "
              "(that fault is not counted)")
        summary(counts, survivors, opts)
        return 128 + e.args[0]
    summary(counts, survivors, opts, unrun_lines(ctx, usable))
    print(f"rebuilding {opts.build_dir}/ from the tree as it is")
    run_logged(build_cmd, os.path.join(opts.state, "build.log"), opts.state)
    return 1 if survivors else 0


def try_all(chosen, opts, ctx, counts, survivors):
    deadline = None if opts.minutes is None else opts.started + opts.minutes * 60
    took = []
    opts.fault_began = time.monotonic()
    for n, fault in enumerate(chosen, 1):
        guess = sum(took) / len(took) if took else 0
        if deadline is not None and time.monotonic() + guess > deadline:
            print(f"time limit: {len(chosen) - n + 1} faults not tried")
            return
        began = time.monotonic()
        print(f"[{n}/{len(chosen)}] {label(fault)} ... ", end="", flush=True)
        how, tests = ctx.choose(fault)
        if how == "none":
            verdict, note = "survived", "(no test runs the line; not built)"
            fault["unrun"] = True
        elif not tests:
            verdict, note = "survived", "(no test of the filter runs the line; not built)"
        else:
            verdict, note = try_fault(fault, opts, tests, ctx)
            note = f"{note} [{len(tests)} chosen{'' if how == 'line' else ', ' + how}]".strip()
        took.append(time.monotonic() - began)
        counts[verdict] += 1
        print(f"{verdict} {note} ({took[-1]:.0f} s)", flush=True)
        if verdict == "survived":
            survivors.append(fault)
            print(show(fault), flush=True)


def summary(counts, survivors, opts, unrun=None):
    if survivors:
        print("\nFaults the tests did not catch:")
        for fault in survivors:
            tail = "  (no test runs the line)" if fault.get("unrun") else ""
            print(f"  {label(fault)}{tail}\n{show(fault)}")
    if unrun:
        print(f"\nChanged lines no test runs at all ({sum(map(len, unrun.values()))}; each a finding):")
        for path, lines in unrun.items():
            print(f"  {path}: {spans(lines)}")
    made = sum(counts.values())
    spent = (time.monotonic() - opts.started) / 60
    unrun_survivors = sum(1 for f in survivors if f.get("unrun"))
    faults_min = (time.monotonic() - opts.fault_began) / 60 if hasattr(opts, "fault_began") else 0
    print(
        f"\nfaults made: {made}, not built: {counts['not built']}, caught: {counts['caught']}, "
        f"survived: {counts['survived']} ({unrun_survivors} on lines no test runs), "
        f"lines no test runs: {sum(map(len, (unrun or {}).values()))}; "
        f"{spent:.1f} min in all, {faults_min:.1f} min on the faults"
    )


def main(argv):
    sys.stdout.reconfigure(line_buffering=True)
    opts = parse(argv)
    try:
        subprocess.run(["git", "rev-parse", "--verify", "--quiet", opts.since + "^{commit}"], check=True, capture_output=True)
    except subprocess.CalledProcessError:
        print(f"seed-faults: {opts.since} is not a commit", file=sys.stderr)
        return 2
    if opts.list:
        return list_faults(opts)
    if not opts.state:
        print("run through scripts/seed-faults.sh", file=sys.stderr)
        return 2
    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGTERM, on_signal)
    opts.started = time.monotonic()
    # Every fault and every restore gives a file a new time; ccache would then refuse its quick
    # lookups for that file's dependants and preprocess each of them again. Nothing changes a file
    # while one of these builds runs, so the times can be left out of the lookups.
    os.environ.setdefault("CCACHE_SLOPPINESS", "include_file_mtime,include_file_ctime")
    return run(opts)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

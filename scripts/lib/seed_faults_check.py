#!/usr/bin/env python3
"""Checks the fault runner's own parts on made-up input: the fault generator of seed_faults.py, the
reading of both generators' dependency files and the choice of tests for a fault (seed_build.py).
Run by hand:
    python3 scripts/lib/seed_faults_check.py [BUILD_DIR]...
Each BUILD_DIR given that holds a .ninja_deps is also read both ways (here and by `ninja -t deps`)
and the two must agree. Not part of CI: the runner is a developer's tool, and this only guards its
lexing and its choices.
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import seed_build as sb  # noqa: E402
import seed_faults as sf  # noqa: E402

SOURCE = r'''#include <vector>
#define LIMIT(x) ((x) < 3)
namespace {
// if (a < b) return 1;
const char* kText = "a < b; if (x) f(); 1";
const char* kRaw = R"(x == 1
if (y) g();
)";
/* n = 2;
   if (a == b) f(); */
char kQuote = '<';
std::vector<int> kNumbers{1'000, 0x1F};
}  // namespace

struct TBase {
  virtual int Size() const = 0;
};

void Tell(int n) {
  if (n < 3) Say("n < 3");
  count += 2;
  Say(n);
  if (std::string s = Text(n); s.empty())
    Say(s);
  else
    Say(n);
}

bool Ready(const std::vector<int>& v) {
  return v.size() >= 2;
}

int Sum(int a) {
  const int b = a * 2;
  return b;
}

const std::string& Name() {
  Touch();
  return kName;
}

TThing::TThing(int n) : FN(n), FM(n) {
  Start(n);
}

auto Later = [](int n) {
  Show(n);
};
'''


def faults_at(found, line):
    return [(what.split(" (")[0], faulted.strip()) for n, _, faulted, what in found if n == line]


def ninja_log(records):
    """A version 4 .ninja_deps log: records are ("path", name) or ("deps", output id, [input ids])."""
    out = bytearray(sb.NINJA_SIGNATURE + struct.pack("<i", 4))
    ids = 0
    for rec in records:
        if rec[0] == "path":
            name = rec[1].encode()
            name += b"\0" * (-len(name) % 4)
            out += struct.pack("<I", len(name) + 4) + name + struct.pack("<I", ~ids & 0xFFFFFFFF)
            ids += 1
        else:
            body = struct.pack("<iQ", rec[1], 123456789) + struct.pack(f"<{len(rec[2])}i", *rec[2])
            out += struct.pack("<I", len(body) | 0x80000000) + body
    return bytes(out)


def check_dependency_files(problems):
    make = (
        "core/CMakeFiles/core.dir/run/WireTrace.cpp.o: /src/core/run/WireTrace.cpp \\\n"
        "  /src/core/run/WireTrace.h /src/core/odd\\ name.h \\\n"
        "  /usr/include/c++/12/vector\n"
        "/src/core/run/WireTrace.h:\n"
        "# a comment: not a rule\n"
        "a.o b.o: /src/x.h\n"
    )
    rules = sb.make_deps(make)
    wanted = ["/src/core/run/WireTrace.cpp", "/src/core/run/WireTrace.h", "/src/core/odd name.h", "/usr/include/c++/12/vector"]
    if rules.get("core/CMakeFiles/core.dir/run/WireTrace.cpp.o") != wanted:
        problems.append(f"make deps: {rules}")
    if rules.get("a.o") != ["/src/x.h"] or rules.get("b.o") != ["/src/x.h"]:
        problems.append(f"make deps, two targets: {rules}")

    # The checksum after a path is the complement of its id: with id 0x87 its first byte is 'x', which
    # a reader that takes a name as far as it looks like one would glue to the path.
    fillers = [("path", f"/usr/include/f{k:03}.h") for k in range(0x87)]
    name = "/src/core/run/WireTrace.cpp"
    name4 = "/src/core/run/Wire.cpp"  # 22 bytes: two NULs of padding
    records = fillers + [("path", name), ("path", name4), ("path", "core/x.cpp.o")]
    records += [("deps", 0x89, [0x87, 0x88, 3]), ("path", "core/y.cpp.o"), ("deps", 0x8A, [0x88])]
    records += [("deps", 0x89, [0x87, 0x88])]  # a newer record of the same output wins
    deps = sb.ninja_deps(ninja_log(records))
    if deps.get("core/x.cpp.o") != [name, name4] or deps.get("core/y.cpp.o") != [name4]:
        problems.append(f"ninja deps: {deps}")
    if sb.ninja_deps(ninja_log(records)[:-5]).get("core/x.cpp.o") != [name, name4, "/usr/include/f003.h"]:
        problems.append("ninja deps: a log cut short loses what came before")

    with tempfile.TemporaryDirectory() as top:
        os.makedirs(os.path.join(top, "core/run"))
        os.makedirs(os.path.join(top, "ninja"))
        os.makedirs(os.path.join(top, "make/core/CMakeFiles/core.dir/run"))
        recs = [("path", os.path.join(top, "core/run/WireTrace.cpp") if r == ("path", name) else r[1]) if r[0] == "path" else r for r in records]
        recs = [("path", r) if isinstance(r, str) else r for r in recs]
        with open(os.path.join(top, "ninja/.ninja_deps"), "wb") as f:
            f.write(ninja_log(recs))
        # Under ccache with a base folder, make's compiler names the source from where it ran: the
        # folder of the target's CMakeLists in the build folder (make/core here).
        with open(os.path.join(top, "make/core/CMakeFiles/core.dir/run/x.cpp.o.d"), "w") as f:
            f.write(f"core/CMakeFiles/core.dir/run/x.cpp.o: ../../core/run/A.cpp \\\n {top}/core/run/A.h\n")
        got = sb.compiled_sources(os.path.join(top, "ninja"), ["core/run/WireTrace.cpp", "core/run/B.cpp"], top)
        if got != {"core/run/WireTrace.cpp"}:
            problems.append(f"compiled sources (ninja): {got}")
        got = sb.compiled_sources(os.path.join(top, "make"), ["core/run/A.cpp", "core/run/A.h", "core/run/B.h"], top)
        if got != {"core/run/A.cpp", "core/run/A.h"}:
            problems.append(f"compiled sources (make): {got}")


def check_against_ninja(build_dir, problems):
    log = os.path.join(build_dir, ".ninja_deps")
    if not os.path.exists(log) or not shutil.which("ninja"):
        return
    with open(log, "rb") as f:
        mine = sb.ninja_deps(f.read())
    text = subprocess.run(["ninja", "-C", build_dir, "-t", "deps"], capture_output=True, text=True).stdout
    theirs, out = {}, None
    for line in text.splitlines():
        if line and not line.startswith(" "):
            out = line.split(": #deps")[0]
            theirs[out] = []
        elif line.strip() and out is not None:
            theirs[out].append(line.strip())
    if mine != theirs:
        differ = [k for k in set(mine) | set(theirs) if mine.get(k) != theirs.get(k)]
        problems.append(f"{log}: {len(differ)} outputs read otherwise than ninja -t deps, e.g. {differ[:3]}")
    else:
        print(f"{log}: {len(mine)} outputs, as ninja -t deps reads them")


def check_choice(problems):
    cmap = {
        "names": ["Fast", "Slow", "Mid", "Broken"],
        "tests": {"Fast": {"seconds": 0.1, "result": "pass"}, "Slow": {"seconds": 9.0, "result": "pass"},
                  "Mid": {"seconds": 1.0, "result": "pass"}, "Broken": {"seconds": 1.0, "result": "fail"}},
        "files": {"core/A.cpp": {"lines": {"10": [1, 2], "11": [0]}, "executable": [10, 11, 12]},
                  "core/B.h": {"lines": {}, "executable": [5]}},
    }
    cases = [
        (("core/A.cpp", 10), ("line", ["Slow", "Mid"])),
        (("core/A.cpp", 12), ("none", [])),
        (("core/A.cpp", 3), ("file", ["Fast", "Slow", "Mid"])),
        (("core/C.h", 3), ("all", ["Fast", "Slow", "Mid"])),
        (("core/B.h", 7), ("all", ["Fast", "Slow", "Mid"])),
        (("core/D.h", 2), ("includers", ["Fast", "Slow", "Mid"])),  # a header of constants, included by A.cpp
        (("core/E.cpp", 2), ("none", [])),  # a source no test program links
        (("core/A.cpp", 9, (8, 11)), ("function", ["Fast", "Slow", "Mid"])),  # `(void)x;` in a body
        (("core/A.cpp", 9, (9, 10)), ("function", ["Slow", "Mid"])),
        (("core/A.cpp", 13, (12, 14)), ("none", [])),  # in a body no test runs
        (("core/A.cpp", 20, (19, 21)), ("file", ["Fast", "Slow", "Mid"])),  # a body without code
    ]
    for (path, line, *body), want in cases:
        got = sb.tests_for(cmap, path, line, {"core/D.h": {"core/A.cpp", "core/F.cpp"}}, body[0] if body else None)
        if got != want:
            problems.append(f"tests for {path}:{line}: {got}, wanted {want}")
    shape = sf.Shape(sf.mask_code(SOURCE))
    for line, want in ((22, (19, 27)), (34, (33, 36)), (48, (47, 49)), (16, None), (12, None)):
        if sf.function_body(shape, line - 1) != want:
            problems.append(f"body around line {line}: {sf.function_body(shape, line - 1)}, wanted {want}")
    if sb.by_speed(cmap, ["Slow", "Mid", "Fast"]) != ["Fast", "Mid", "Slow"]:
        problems.append("tests not ordered fastest first")
    timed = {"tests": {"A.Long": {"seconds": 5.0}, "B.Short": {"seconds": 0.5}, "C.Short": {"seconds": 0.5}}}
    if sb.by_speed(timed, ["A.Long", "C.Short", "B.Short"]) != ["B.Short", "C.Short", "A.Long"]:
        problems.append(f"tests not ordered fastest first: {sb.by_speed(timed, ['A.Long', 'C.Short', 'B.Short'])}")
    if sb.time_limit(2.0) != 11.0:
        problems.append(f"time limit of a 2 s test: {sb.time_limit(2.0)}")
    opts = sf.parse(["--since", "HEAD", "--filter", "S|M", "--exclude", "Mid"])
    ctx = sf.Context(cmap, {n: {} for n in ["Fast", "Slow", "Mid"]}, opts)
    if ctx.choose({"path": "core/A.cpp", "line": 3}) != ("file", ["Slow"]):
        problems.append(f"filter and exclude: {ctx.choose({'path': 'core/A.cpp', 'line': 3})}")
    if "sim" in sf.parse(["--since", "HEAD"]).paths or "sim" not in sf.parse(["--since", "HEAD", "--path", "sim"]).paths:
        problems.append("sim/ is faulted only when --path sim names it")


def main():
    problems = []
    check_dependency_files(problems)
    check_choice(problems)
    for build_dir in sys.argv[1:]:
        check_against_ninja(build_dir, problems)
    found = sf.faults_in_text(SOURCE, set(range(1, SOURCE.count("\n") + 2)))

    def expect(line, kind, faulted, present=True):
        got = faults_at(found, line)
        if ((kind, faulted) in got) != present:
            problems.append(f"line {line}: {'missing' if present else 'unexpected'} {kind}: {faulted}\n  got {got}")

    def expect_none(line):
        if faults_at(found, line):
            problems.append(f"line {line}: expected no fault, got {faults_at(found, line)}")

    for line in range(1, 12):
        if line != 3:
            expect_none(line)  # includes, macros, comments, string and raw string contents, a char literal
    expect(12, "constant off by one", "std::vector<int> kNumbers{1001, 0x1F};")
    expect(12, "constant off by one", "std::vector<int> kNumbers{1'000, 0x20};")
    expect(12, "comparison flipped", "std::vector<int >= kNumbers{1'000, 0x1F};", present=False)
    expect_none(16)  # a pure virtual's "= 0"
    expect(20, "comparison flipped", 'if (n >= 3) Say("n < 3");')
    expect(20, "condition negated", 'if (!(n < 3)) Say("n < 3");')
    expect(20, "constant off by one", 'if (n < 4) Say("n < 3");')
    expect(20, "statement dropped", "if (n < 3) {}")
    expect(20, "early return inserted", 'return; if (n < 3) Say("n < 3");')
    expect(21, "statement dropped", "{}")
    expect(21, "constant off by one", "count += 1;")
    expect(22, "statement dropped", "{}")
    expect(23, "condition negated", "if (std::string s = Text(n); !(s.empty()))")
    expect(24, "statement dropped", "{}")
    expect(24, "early return inserted", "return; Say(s);", present=False)  # the body of a braceless if
    expect(26, "statement dropped", "{}")
    expect(26, "early return inserted", "return; Say(n);", present=False)  # the body of a braceless else
    expect(30, "comparison flipped", "return v.size() < 2;")
    expect(34, "early return inserted", "return {}; const int b = a * 2;")
    expect(34, "statement dropped", "{}", present=False)  # a declaration
    expect(39, "early return inserted", "return {}; Touch();", present=False)  # returns a reference
    expect(39, "statement dropped", "{}")
    expect(44, "early return inserted", "return; Start(n);")  # a constructor
    expect(48, "early return inserted", "return; Show(n);")  # a lambda that returns nothing
    for n, orig, faulted, what in found:
        if len(orig) == 0 or "\n" in faulted:
            problems.append(f"line {n}: odd fault {what}: {faulted!r}")
    print("\n".join(problems) or f"fault generator: {len(found)} faults; dependency files of both generators "
          "and the choice of tests: all as expected")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

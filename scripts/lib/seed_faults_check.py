#!/usr/bin/env python3
"""Checks the fault generator of seed_faults.py on a made-up source. Run by hand:
    python3 scripts/lib/seed_faults_check.py
Not part of CI: the runner is a developer's tool, and this only guards its lexing and its choices.
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
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


def main():
    found = sf.faults_in_text(SOURCE, set(range(1, SOURCE.count("\n") + 2)))
    problems = []

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
    print("\n".join(problems) or f"fault generator: {len(found)} faults, all as expected")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

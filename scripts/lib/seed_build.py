"""What the fault runner learns from the build folders: which sources each object is compiled from
(the compilers' dependency files of both generators), the tests ctest knows and how to run each one
alone, and which tests run which product line (a coverage build, each test run alone once).

Used by seed_faults.py; checked by seed_faults_check.py.
"""

import concurrent.futures
import hashlib
import json
import os
import re
import shutil
import struct
import subprocess
import time

# --------------------------------------------------------------------------------------------------
# Dependency files. Makefiles: the compilers' .d files and CMake's depend.make / compiler_depend.make,
# in make's own syntax. Ninja: the binary .ninja_deps log, read record by record so that a path ends
# where its record says and not at the first byte that does not look like a name.


def make_deps(text):
    """{target: [prerequisites]} from make rules (continuations, escaped blanks, several targets)."""
    rules = {}
    text = re.sub(r"\\\r?\n", " ", text)
    for line in text.split("\n"):
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        words = _make_words(line)
        if ":" not in words:
            continue
        colon = words.index(":")
        for target in words[:colon]:
            rules.setdefault(target, []).extend(words[colon + 1 :])
    return rules


def _make_words(line):
    """Words of a make rule line; ':' is a word of its own when it separates targets from the rest."""
    words, word, i = [], "", 0
    while i < len(line):
        c = line[i]
        if c == "\\" and i + 1 < len(line) and line[i + 1] in " #:\\":
            word += line[i + 1]
            i += 2
            continue
        if c == "$" and line.startswith("$$", i):
            word += "$"
            i += 2
            continue
        if c in " \t":
            if word:
                words.append(word)
            word = ""
        elif c == ":" and ":" not in words and (i + 1 == len(line) or line[i + 1] in " \t"):
            if word:
                words.append(word)
            words.append(":")
            word = ""
        else:
            word += c
        i += 1
    if word:
        words.append(word)
    return words


NINJA_SIGNATURE = b"# ninjadeps\n"


def ninja_deps(data):
    """{output: [inputs]} from the bytes of a .ninja_deps log (versions 3 and 4); the last record of
    an output wins, as in ninja itself."""
    if not data.startswith(NINJA_SIGNATURE):
        raise ValueError("not a ninja deps log")
    pos = len(NINJA_SIGNATURE)
    (version,) = struct.unpack_from("<i", data, pos)
    if version not in (3, 4):
        raise ValueError(f"ninja deps log version {version} is not known")
    pos += 4
    mtime_size = 8 if version == 4 else 4
    paths, deps = [], {}
    while pos + 4 <= len(data):
        (head,) = struct.unpack_from("<I", data, pos)
        pos += 4
        size = head & 0x7FFFFFFF
        record = data[pos : pos + size]
        if len(record) < size:
            break  # a log cut short by a crash: what came before still holds
        pos += size
        if head & 0x80000000:
            (out,) = struct.unpack_from("<i", record, 0)
            ids = struct.unpack_from(f"<{(size - 4 - mtime_size) // 4}i", record, 4 + mtime_size)
            if 0 <= out < len(paths):
                deps[paths[out]] = [paths[k] for k in ids if 0 <= k < len(paths)]
        else:
            # The name, padded with NULs to a multiple of four, then a four-byte check of its id.
            paths.append(record[: size - 4].rstrip(b"\0").decode("utf-8", "surrogateescape"))
    return deps


def object_sources(build_dir):
    """{object path: [absolute source and header paths]} from every dependency file in build_dir."""
    found = {}
    build_dir = os.path.abspath(build_dir)
    for root, dirs, files in os.walk(build_dir):
        for name in files:
            path = os.path.join(root, name)
            if name == ".ninja_deps":
                with open(path, "rb") as f:
                    rules = ninja_deps(f.read())
                base = root
            elif name.endswith(".d") or name in ("depend.make", "compiler_depend.make"):
                with open(path, "rb") as f:
                    rules = make_deps(f.read().decode("utf-8", "surrogateescape"))
                base = build_dir
            else:
                continue
            # Ninja compiles in the build folder; make in the folder of the target's CMakeLists
            # (the part before CMakeFiles/), and a compiler under ccache with a base folder names the
            # sources relative to where it ran. A relative path is taken from both places.
            bases = {base}
            if "/CMakeFiles/" in path:
                bases.add(path.rsplit("/CMakeFiles/", 1)[0])
            for target, inputs in rules.items():
                here = [os.path.normpath(os.path.join(b, p)) for p in inputs for b in bases if not os.path.isabs(p) or b == base]
                found.setdefault(os.path.normpath(os.path.join(base, target)), []).extend(here)
    return found


def compiled_sources(build_dir, paths, top="."):
    """The subset of `paths` (relative to top) that some object of build_dir is compiled from or
    includes; None when the folder has no dependency file yet."""
    objects = object_sources(build_dir)
    if not objects:
        return None
    top = os.path.abspath(top)
    seen = {os.path.relpath(p, top) for inputs in objects.values() for p in inputs}
    return {p for p in paths if os.path.normpath(p) in seen}


# --------------------------------------------------------------------------------------------------
# Tests: what ctest would run for each, taken from its JSON description, so that a test can be run
# alone without ctest's start-up each time.


def ctest_tests(build_dir):
    """{name: {command, cwd, env, labels, timeout, target}} for every test ctest knows in build_dir."""
    out = subprocess.run(
        ["ctest", "--test-dir", build_dir, "--show-only=json-v1"], check=True, capture_output=True, text=True
    ).stdout
    tests = {}
    for t in json.loads(out).get("tests", []):
        if not t.get("command"):
            continue
        props = {p["name"]: p["value"] for p in t.get("properties", [])}
        env = dict(e.split("=", 1) for e in props.get("ENVIRONMENT", []) if "=" in e)
        tests[t["name"]] = {
            "command": t["command"],
            "cwd": props.get("WORKING_DIRECTORY") or os.path.abspath(build_dir),
            "env": env,
            "labels": props.get("LABELS", []),
            "timeout": float(props.get("TIMEOUT", 0) or 0),
            "target": os.path.basename(t["command"][0]),
            "disabled": bool(props.get("DISABLED", False)),
        }
    return tests


def is_slow(test):
    return any("slow" in label.lower() for label in test["labels"])


RUNNING = set()  # the tests' processes under way, ended all together on an interrupt


def end_running():
    for proc in list(RUNNING):
        end_group(proc)


def run_test(test, timeout, extra_env=None, log=None, note=None):
    """('pass' | 'fail' | 'timeout', seconds). The test runs in a process group of its own, ended
    with it on a time-out; its id is written to `note` while it runs, for whoever must end it if
    this process dies."""
    env = dict(os.environ)
    env.update(test["env"])
    env.update(extra_env or {})
    began = time.monotonic()
    out = open(log, "wb") if log else subprocess.DEVNULL
    try:
        proc = subprocess.Popen(
            test["command"], cwd=test["cwd"], env=env, stdin=subprocess.DEVNULL, stdout=out,
            stderr=subprocess.STDOUT, start_new_session=True,
        )
        RUNNING.add(proc)
        if note:
            with open(note, "w") as f:
                f.write(str(proc.pid))
        try:
            code = proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            end_group(proc)
            return "timeout", time.monotonic() - began
        except BaseException:
            end_group(proc)
            raise
        finally:
            RUNNING.discard(proc)
            if note and os.path.exists(note):
                os.unlink(note)
    finally:
        if log:
            out.close()
    return ("pass" if code == 0 else "fail"), time.monotonic() - began


def end_group(proc, term_grace=5):
    """Ends a process group: SIGTERM, then SIGKILL if it is still there."""
    import signal

    for sig, grace in ((signal.SIGTERM, term_grace), (signal.SIGKILL, 10)):
        try:
            os.killpg(proc.pid, sig)
        except ProcessLookupError:
            return
        try:
            proc.wait(timeout=grace)
            return
        except subprocess.TimeoutExpired:
            pass


# --------------------------------------------------------------------------------------------------
# The coverage map: each test run alone in a folder built with --coverage, its counters written
# under a prefix of its own (GCOV_PREFIX) so that two tests can run at once, and gcov's per-line
# counts gathered into line -> tests. Kept per commit: the map holds for that commit's tree.

COVERAGE_FLAGS = [
    "-DCMAKE_BUILD_TYPE=Debug",
    "-DCMAKE_C_FLAGS=--coverage",
    "-DCMAKE_CXX_FLAGS=--coverage",
    "-DCMAKE_EXE_LINKER_FLAGS=--coverage",
    "-DCMAKE_SHARED_LINKER_FLAGS=--coverage",
    "-DSTB_BUILD_BENCH=OFF",
    "-DSTB_SANITIZE=OFF",
]


def map_path(cov_dir, commit):
    return os.path.join(cov_dir, "seed-faults-coverage", commit + ".json")


def load_map(cov_dir, commit):
    path = map_path(cov_dir, commit)
    if not os.path.exists(path):
        return None
    with open(path) as f:
        return json.load(f)


def gcno_files(cov_dir):
    out = []
    for root, _, files in os.walk(os.path.abspath(cov_dir)):
        out.extend(os.path.join(root, n) for n in files if n.endswith(".gcno"))
    return out


def _slot(slot_dir, gcnos):
    """A mirror of the coverage folder made of links to its .gcno files, where a test's .gcda land."""
    for gcno in gcnos:
        link = slot_dir + gcno
        os.makedirs(os.path.dirname(link), exist_ok=True)
        if not os.path.lexists(link):
            os.symlink(gcno, link)


def _clear_counts(slot_dir):
    for root, _, files in os.walk(slot_dir):
        for n in files:
            if n.endswith(".gcda"):
                os.unlink(os.path.join(root, n))


GCOV_SEEN = {}  # (object, hash of its counters) -> its product lines' counts: gcov runs once per distinct counters


def _counters(gcda):
    """A .gcda without its object summary (the run count and the program's largest counter, which
    differ from test to test even where this object's own counters do not)."""
    if len(gcda) >= 32 and struct.unpack_from("<I", gcda, 16)[0] == 0xA1000000:
        (size,) = struct.unpack_from("<I", gcda, 20)
        return gcda[:16] + gcda[24 + size :]
    return gcda


def _gcov_lines(slot_dir, top, wanted_prefixes):
    """{path relative to top: {line: count}} for the product files among the slot's counters."""
    known, todo = [], {}
    for root, _, files in os.walk(slot_dir):
        for n in files:
            if n.endswith(".gcda"):
                path = os.path.join(root, n)
                with open(path, "rb") as f:
                    key = (path[len(slot_dir):], hashlib.sha1(_counters(f.read())).hexdigest())
                if key in GCOV_SEEN:
                    known.append(GCOV_SEEN[key])
                else:
                    todo[path] = key
    names = sorted(todo)
    for k in range(0, len(names), 100):
        out = subprocess.run(
            ["gcov", "--json-format", "--stdout", *names[k : k + 100]], cwd=slot_dir, capture_output=True
        ).stdout
        for doc in out.decode("utf-8", "replace").splitlines():
            doc = doc.strip()
            if not doc.startswith("{"):
                continue
            doc = json.loads(doc)
            cwd = doc.get("current_working_directory", top)
            counts = {}
            for f in doc.get("files", []):
                rel = os.path.relpath(os.path.normpath(os.path.join(cwd, f["file"])), top)
                if not rel.startswith(wanted_prefixes):
                    continue
                here = counts.setdefault(rel, {})
                for ln in f.get("lines", []):
                    here[ln["line_number"]] = here.get(ln["line_number"], 0) + ln["count"]
            key = todo.get(os.path.normpath(os.path.join(cwd, doc.get("data_file", ""))))
            if key:
                GCOV_SEEN[key] = counts
            known.append(counts)
    lines = {}
    for counts in known:
        for rel, here in counts.items():
            mine = lines.setdefault(rel, {})
            for ln, c in here.items():
                mine[ln] = mine.get(ln, 0) + c
    return lines


def build_map(cov_dir, commit, top, product_paths, state, jobs=2, say=print):
    """Runs every test (none labelled slow) alone in cov_dir and writes the map for commit.
    Returns the map: {"tests": {name: {"seconds", "result"}}, "files": {path: {"lines": {line:
    [test ids]}, "executable": [lines]}}, "names": [test names]}."""
    tests = {n: t for n, t in ctest_tests(cov_dir).items() if not is_slow(t) and not t["disabled"]}
    names = sorted(tests)
    gcnos = gcno_files(cov_dir)
    prefixes = tuple(p.rstrip("/") + "/" for p in product_paths)
    slots = [os.path.join(state, f"cov{k}") for k in range(max(1, jobs))]
    for s in slots:
        shutil.rmtree(s, ignore_errors=True)
        _slot(s, gcnos)
    free = list(slots)
    results = {}
    files = {}
    began = time.monotonic()

    def one(name):
        slot = free.pop()
        try:
            _clear_counts(slot)
            t = tests[name]
            limit = t["timeout"] or 300
            env = {"GCOV_PREFIX": slot, "GCOV_PREFIX_STRIP": "0"}
            result, secs = run_test(t, limit, env)
            if result != "pass":
                _clear_counts(slot)
                result, secs = run_test(t, limit, env)  # once more: a loaded machine can fail a test once
            return name, result, secs, _gcov_lines(slot, top, prefixes)
        finally:
            free.append(slot)

    pool = concurrent.futures.ThreadPoolExecutor(max_workers=len(slots))
    try:
        pending = [pool.submit(one, n) for n in names]
        for done, fut in enumerate(concurrent.futures.as_completed(pending), 1):
            name, result, secs, lines = fut.result()
            results[name] = {"seconds": round(secs, 3), "result": result}
            ident = names.index(name)
            for path, counts in lines.items():
                entry = files.setdefault(path, {"lines": {}, "executable": set()})
                for ln, count in counts.items():
                    entry["executable"].add(ln)
                    if count > 0 and result == "pass":
                        entry["lines"].setdefault(str(ln), []).append(ident)
            if done % 50 == 0 or done == len(names):
                say(f"  coverage: {done}/{len(names)} tests run ({time.monotonic() - began:.0f} s)")
    except BaseException:
        pool.shutdown(wait=False, cancel_futures=True)
        end_running()
        raise
    pool.shutdown()
    for s in slots:
        shutil.rmtree(s, ignore_errors=True)
    for entry in files.values():
        entry["executable"] = sorted(entry["executable"])
        for ids in entry["lines"].values():
            ids.sort()
    cmap = {"commit": commit, "names": names, "tests": results, "files": files}
    path = map_path(cov_dir, commit)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path + ".new", "w") as f:
        json.dump(cmap, f)
    os.replace(path + ".new", path)
    return cmap


# --------------------------------------------------------------------------------------------------
# The choice of tests for one fault.


def includers(build_dir, top="."):
    """{file relative to top: {sources relative to top whose objects include it}}."""
    top = os.path.abspath(top)
    out = {}
    for inputs in object_sources(build_dir).values():
        if not inputs:
            continue
        source = os.path.relpath(inputs[0], top)
        for p in inputs[1:]:
            out.setdefault(os.path.relpath(p, top), set()).add(source)
    return out


def tests_for(cmap, path, line, included_by=None, body=None):
    """(how, [test names]): how is 'line' (the tests that run the line), 'none' (the line is code and
    no test runs it, or no test program has code of the file), 'function' (a line of a function's
    body without code of its own, such as `(void)x;`: the tests that run any line of that body,
    given as (first line, last line)), 'file' (a line outside any function without code of its own,
    e.g. a constant or a member's initial value: the tests that run any line of its file),
    'includers' (a header without a line of code: the tests that run any line of the sources that
    include it) or 'all' (nothing is known of the file)."""
    names = cmap["names"]
    entry = cmap["files"].get(path)

    def any_line(p):
        e = cmap["files"].get(p)
        return {k for ids in e["lines"].values() for k in ids} if e else set()

    if entry is not None:
        if str(line) in entry["lines"]:
            return "line", [names[k] for k in entry["lines"][str(line)]]
        if line in set(entry["executable"]):
            return "none", []
        if body:
            inside = [n for n in entry["executable"] if body[0] <= n <= body[1]]
            if inside:
                ids = {k for n in inside for k in entry["lines"].get(str(n), [])}
                return ("function", [names[k] for k in sorted(ids)]) if ids else ("none", [])
        ids = any_line(path)
        if ids:
            return "file", [names[k] for k in sorted(ids)]
    if included_by and included_by.get(path):
        ids = set().union(*(any_line(p) for p in included_by[path]))
        if ids:
            return "includers", [names[k] for k in sorted(ids)]
    if entry is None and not path.endswith((".h", ".hpp", ".hh")):
        return "none", []  # a source no test program links
    return "all", [n for n in names if cmap["tests"][n]["result"] == "pass"]


def by_speed(cmap, names):
    return sorted(names, key=lambda n: (cmap["tests"][n]["seconds"], n))


def time_limit(seconds):
    """A test's limit under a fault: three times its own time without one, and five seconds more."""
    return 3 * seconds + 5

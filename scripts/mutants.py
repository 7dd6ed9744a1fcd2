#!/usr/bin/env python3
"""Plants single faults in the product code and counts how many the tests catch.

Each mutant changes one spot of one source file in a scratch copy of the tree
(build/mutants/tree, built in build/mutants/build without sanitizers, so a
mutant costs one compile and a link per test executable it reaches).  The unit
test executables run first, the quickest first, each linked only when the one
before missed the mutant; a mutant they all miss runs the end-to-end scenarios.  A mutant that does
not compile is stillborn and not counted; one that hangs is killed by the
timeout.  Mutants listed in tests/mutants-equivalent.txt (they cannot change
what the program does) are left out of the score and listed as such.

  scripts/mutants.py [--max N] [--seed S] [--files GLOB]... [--no-e2e] [--list]
                     [--resume] [--survivors] [-w WORKERS]
"""
import argparse, fnmatch, hashlib, json, os, random, re, shutil, signal, subprocess, sys, threading, time
from concurrent.futures import ThreadPoolExecutor, as_completed
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
WORK = ROOT / "build" / "mutants"
TREE, BUILD = WORK / "tree", WORK / "build"
# Scored by part: the longest of these folders that holds a file.  The
# stand-in's test end is the tests' own and is not mutated.
FOLDERS = ["app", "console", "win32", "standin", "standin/terminal"]
EXCLUDED = ["standin/testend"]


def folder_of(path):
    best = None
    for folder in FOLDERS:
        if path.startswith(folder + "/") and (best is None or len(folder) > len(best)):
            best = folder
    return best
SOURCES = ["*.cpp", "*.h"]
EQUIVALENT = ROOT / "tests" / "mutants-equivalent.txt"
# An index past a fixed array's end stops the test, as in the sanitizer
# build, at a fraction of its cost: such a fault may change nothing else.
BOUNDS = "-fsanitize=bounds -fno-sanitize-recover=bounds"

# A test executable slower than this (seconds, unmutated) runs as this many
# shards side by side.
SLOW, SHARDS, SHARDED = 3, 6, set()

# Lines never mutated: preprocessor lines, assertions, diagnostics to stderr.
SKIP = re.compile(r"^\s*#|\b(static_assert|assert|perror|fprintf|printf|fputs|puts)\s*\(")
KEYWORDS = {"return", "if", "while", "for", "switch", "case", "delete", "throw", "else",
            "do", "goto", "co_return", "sizeof", "static_cast", "new"}
CMP = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}


LITERAL = re.compile(r"\"(?:\\.|[^\"\\])*\"|'(?:\\.|[^'\\])*'")


def mask(line, in_block):
    """The code part of a line, literals' contents blanked (the length kept so
    that positions match), and whether a block comment is open at its end."""
    if in_block:
        end = line.find("*/")
        if end < 0:
            return "", True
        line = " " * (end + 2) + line[end + 2:]
    code = LITERAL.sub(lambda m: m[0][0] + "_" * (len(m[0]) - 2) + m[0][-1], line)
    code = re.sub(r"/\*.*?\*/", lambda m: " " * len(m[0]), code).split("//")[0]
    return code.split("/*")[0].rstrip(), "/*" in code


def items(code):
    """Top-level comma-separated items of a code fragment: [(start, end)]."""
    spans, depth, start = [], 0, 0
    for i, c in enumerate(code):
        depth += (c in "({[") - (c in ")}]")
        if depth < 0:
            return []
        if c == "," and depth == 0:
            spans.append((start, i))
            start = i + 1
    spans.append((start, len(code)))
    spans = [(s + len(code[s:e]) - len(code[s:e].lstrip()), s + len(code[s:e].rstrip()))
             for s, e in spans]
    return [(s, e) for s, e in spans if s < e] if depth == 0 else []


def row(code):
    """Where the one entry of a table row ({...} and perhaps a comma) is."""
    spans = items(code.rstrip(","))
    ok = len(spans) == 1 and code[spans[0][0]] == "{" and code[spans[0][1] - 1] == "}"
    return spans[0] if ok else None


ITEM = re.compile(r"^(\{.*\}|[\w'\".:-]+)$")


def swaps(line, code, offset=0):
    """Adjacent entries of a table row (or of a one-line initialiser) swapped."""
    found = []
    spans = items(code)
    if len(spans) >= 2 and all(ITEM.match(code[s:e]) for s, e in spans):
        for (s1, e1), (s2, e2) in zip(spans, spans[1:]):
            a, b = line[offset + s1:offset + e1], line[offset + s2:offset + e2]
            if a != b:
                found.append(line[:offset + s1] + b + line[offset + e1:offset + s2] + a +
                             line[offset + e2:])
    return found


def mutations(line, code, statement):
    """(operator, new line) for every single change of one line; statement
    says whether the line starts a statement (not a continuation)."""
    out = []
    def at(regex, op, new):
        for m in re.finditer(regex, code):
            out.append((op, line[:m.start(1)] + new(m.group(1)) + line[m.end(1):]))
    at(r"(?<=\s)(<=|>=|==|!=|<|>)(?=\s)", "comparison", lambda s: CMP[s])
    at(r"(?<=\s)(&&|\|\|)(?=\s)", "logic", lambda s: "||" if s == "&&" else "&&")
    at(r"\b(true|false)\b", "boolean", lambda s: "false" if s == "true" else "true")
    at(r"(?<=\s)(\+|-|\+=|-=)(?=\s)", "arithmetic", lambda s: s.translate({43: 45, 45: 43}))
    for m in re.finditer(r"(?<![\w.'])(\d+)(?![\w.'])", code):
        n = int(m.group(1))
        if n <= 255 and not (len(m.group(1)) > 1 and m.group(1)[0] == "0"):  # octal
            for k in [n + 1] + ([n - 1] if n > 0 else []):
                out.append(("constant", line[:m.start(1)] + str(k) + line[m.end(1):]))
    call = re.match(r"^(\s*)(\(void\)\s*)?([\w:.>-]+)\s*\(.*\);$", code)
    if statement and call and call.group(3).split(":")[-1] not in KEYWORDS and items(code[:-1]):
        out.append(("dropped call", call.group(1) + ";"))
    eq = re.search(r"=\s*\{(.*)\};?$", code)
    for new in swaps(line, eq.group(1) if eq else code, eq.start(1) if eq else 0):
        out.append(("swapped entries", new))
    return out


def candidates(path):
    """Every mutant of one file: dicts with line index, operator and new lines."""
    lines = (TREE / path).read_text().split("\n")
    codes, in_block = [], False
    for line in lines:
        code, in_block = mask(line, in_block)
        codes.append(code)
    found, prev = [], ";"
    for i, (line, code) in enumerate(zip(lines, codes)):
        statement, prev = prev[-1:] in ";{}:)", code.strip() or prev
        if not code.strip() or SKIP.search(code):
            continue
        for op, new in mutations(line, code, statement):
            if new != line:
                found.append({"file": path, "line": i, "op": op, "new": [new], "old": [line]})
        this, after = row(code), i + 1 < len(codes) and row(codes[i + 1])
        if this and after and code[slice(*this)] != codes[i + 1][slice(*after)]:
            la, lb = lines[i], lines[i + 1]
            (s1, e1), (s2, e2) = this, after
            found.append({"file": path, "line": i, "op": "swapped entries",
                          "new": [la[:s1] + lb[s2:e2] + la[e1:], lb[:s2] + la[s1:e1] + lb[e2:]],
                          "old": [la, lb]})
    return found


def label(m):
    """The mutated text as the report and the equivalent list show it."""
    if m["op"] == "dropped call":
        return "(dropped) " + m["old"][0].strip()
    return "  /  ".join(s.strip() for s in m["new"])


def load_equivalent():
    """(file, exact mutated line) -> reason, from blocks of 'file:', 'line:',
    'why:'; a block with 'op:' in place of 'line:' covers every mutant of
    that kind in the file."""
    known, entry = {}, {}
    if EQUIVALENT.exists():
        for raw in EQUIVALENT.read_text().split("\n") + [""]:
            key, _, value = raw.partition(":")
            if raw.startswith("#"):
                continue
            if key in ("file", "line", "op", "why"):
                entry[key] = value.strip()
            elif not raw.strip() and entry:
                what = entry.get("line") or "op: " + entry.get("op", "")
                known[(entry.get("file"), what)] = entry.get("why", "")
                entry = {}
    return known


def why_equivalent(known, m):
    return known.get((m["file"], label(m))) or known.get((m["file"], "op: " + m["op"]))


def mark_equivalent(mutants):
    """Survivors on the equivalent list become equivalent (and back, if taken off)."""
    known = load_equivalent()
    for m in mutants:
        if m["status"] == "equivalent":
            m["status"], _ = m.pop("was"), m.pop("why")
        if m["status"] in ("survived", "not built") and why_equivalent(known, m):
            m["was"], m["status"], m["why"] = m["status"], "equivalent", why_equivalent(known, m)
    return mutants


def stop(proc):
    """Ends a process started in its own group: TERM first, so that a
    scenario's shell can stop its tmux server."""
    try:
        os.killpg(proc.pid, signal.SIGTERM)
        proc.wait(timeout=5)
    except ProcessLookupError:
        pass
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
    proc.wait()


def start(cmd, cwd=None, env=None):
    return subprocess.Popen(cmd, cwd=cwd, env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)


def end_strays(exe):
    """Kills what is left running of an executable after its run: a test's
    pseudo-terminal children lead sessions of their own, so killing the
    test's process group misses them, and a mutant may have left them
    spinning.  Each worker's executables are its own, so nothing of another
    worker's is touched; nor anything built elsewhere (a scenario's shell)."""
    if not exe.startswith(str(WORK) + "/"):
        return
    for entry in Path("/proc").iterdir():
        try:
            if entry.name.isdigit() and os.readlink(entry / "exe").startswith(exe):
                os.kill(int(entry.name), signal.SIGKILL)
        except OSError:
            pass


def run(cmd, timeout=None, cwd=None, env=None):
    """Exit status of a command in its own process group; None on timeout."""
    with start(cmd, cwd, env) as proc:
        try:
            return proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            stop(proc)
            return None
        finally:
            end_strays(cmd[0])


def shard_env(index, shards):
    return dict(os.environ, GTEST_TOTAL_SHARDS=str(shards), GTEST_SHARD_INDEX=str(index))


def run_sharded(cmd, shards, timeout, cwd):
    """A GoogleTest executable whose cases mostly wait (on a pseudo-terminal)
    run as shards side by side; the first failure ends the others.  A failure
    is confirmed by its shard run again alone, so that the crowd of shards
    never passes for a kill.  Exit status as run() gives it."""
    procs = [start(cmd, cwd, shard_env(i, shards)) for i in range(shards)]
    deadline, failed = time.time() + timeout, None
    while failed is None and any(p.poll() is None for p in procs) and time.time() < deadline:
        failed = next((i for i, p in enumerate(procs) if p.poll() not in (None, 0)), None)
        time.sleep(0.05)
    failed = next((i for i, p in enumerate(procs) if p.poll() not in (None, 0)), failed)
    late = [p for p in procs if p.poll() is None]
    for p in procs:
        if p.poll() is None:
            stop(p)
    end_strays(cmd[0])
    if failed is None and not late:
        return 0
    if failed is None:
        return run(cmd, timeout, cwd)
    return run(cmd, timeout, cwd, shard_env(failed, shards))


def sync_tree(files, tree=TREE):
    """The scratch tree mirrors the work tree; unchanged files keep their times,
    changed ones get the time of now, so that the build sees them newer than
    objects a mutant left behind (a run that was interrupted)."""
    if tree.exists():
        for old in [p for p in tree.rglob("*") if p.is_file()]:
            if str(old.relative_to(tree)) not in files:
                old.unlink()
    for path in files:
        src, dst = ROOT / path, tree / path
        if src.is_file() and (not dst.exists() or dst.read_bytes() != src.read_bytes()):
            dst.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(src, dst)
            shutil.copymode(src, dst)


def git_files(patterns):
    out = subprocess.run(["git", "ls-files", "--cached", "--others", "--exclude-standard",
                          "--", *patterns], cwd=ROOT, capture_output=True, text=True, check=True)
    return [p for p in out.stdout.split("\n") if p and (ROOT / p).is_file()]


def configure(jobs, tree=TREE, build=BUILD):
    gen = ["-G", "Ninja"] if shutil.which("ninja") else []
    # A mutant costs a compile and the relinks: lld links several times faster.
    lld = ["-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld",
           "-DCMAKE_SHARED_LINKER_FLAGS=-fuse-ld=lld"] if shutil.which("ld.lld") else []
    if not (build / "CMakeCache.txt").exists():
        subprocess.run(["cmake", "-S", tree, "-B", build, *gen, *lld, "-DCMAKE_BUILD_TYPE=Debug",
                        "-DCMAKE_CXX_FLAGS_DEBUG=-O1 " + BOUNDS, "-DCMAKE_C_FLAGS_DEBUG=-O1 " + BOUNDS,
                        "-DROUSEL_SANITIZE=OFF", "-DROUSEL_WERROR=OFF", "-DROUSEL_BENCH=OFF",
                        "-DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST"],
                       check=True, stdout=subprocess.DEVNULL)
    build_cmd = ["cmake", "--build", build, "-j", str(jobs)]
    print(f"building {tree.name} (once; later mutants rebuild one file) ...", flush=True)
    subprocess.run(build_cmd, check=True, stdout=subprocess.DEVNULL)
    tests = json.loads(subprocess.run(["ctest", "--test-dir", build, "--show-only=json-v1"],
                                      capture_output=True, text=True, check=True).stdout)
    unit, e2e = {}, []
    for t in tests["tests"]:
        props = {p["name"]: p["value"] for p in t.get("properties", [])}
        cmd, labels = t.get("command", []), props.get("LABELS", [])
        if "e2e" in labels:
            e2e.append((t["name"], cmd, props.get("WORKING_DIRECTORY")))
        elif cmd and cmd[0].startswith(str(build)) and os.access(cmd[0], os.X_OK):
            # A test executable of our own; GoogleTest's run once, unfiltered,
            # stopping at the first failure.
            args = [a for a in cmd[1:] if not a.startswith("--gtest_filter=")]
            if len(args) < len(cmd) - 1:
                args.append("--gtest_fail_fast")
            unit[cmd[0]] = (cmd[:1] + args, props.get("WORKING_DIRECTORY"))
    return build_cmd, unit, e2e


def baseline(unit, e2e, with_e2e):
    """Runs the unmutated tree's tests (they must pass); their times set the
    timeouts.  A scenario that fails or is skipped here is left out."""
    limits, started = {}, time.time()
    for exe, (cmd, cwd) in unit.items():
        begun = time.time()
        if run(cmd, timeout=900, cwd=cwd) != 0:
            sys.exit(f"the unit tests fail without a mutant: {exe}")
        limits[exe] = 3 * (time.time() - begun) + 10
        if time.time() - begun > SLOW:
            SHARDED.add(Path(exe).name)
    unit_time, kept = time.time() - started, []
    for name, cmd, cwd in e2e if with_e2e else []:
        begun = time.time()
        status = run(cmd, timeout=300, cwd=cwd)
        if status == 0:
            limits[name] = 3 * (time.time() - begun) + 15
            kept.append((name, cmd, cwd))
        elif status != 77:
            print(f"  {name} fails without a mutant; left out", flush=True)
    print(f"without a mutant: unit tests {unit_time:.0f} s, scenarios "
          f"{time.time() - started - unit_time:.0f} s", flush=True)
    return limits, kept


def failing_tests(cmd, timeout, cwd, report):
    """The names of the GoogleTest cases that fail, all of them (no stop at
    the first); a run that crashes or hangs names the case it was in."""
    report.unlink(missing_ok=True)
    args = [a for a in cmd if a != "--gtest_fail_fast"] + [f"--gtest_output=json:{report}"]
    with subprocess.Popen(args, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                          start_new_session=True) as proc:
        try:
            text = proc.communicate(timeout=timeout)[0]
        except subprocess.TimeoutExpired:
            stop(proc)
            text = proc.stdout.read() if proc.stdout else b""
        finally:
            end_strays(cmd[0])
    if report.exists():
        suites = json.loads(report.read_text())["testsuites"]
        return [f'{s["name"]}.{t["name"]}' for s in suites for t in s["testsuite"]
                if t.get("failures")]
    lines = text.decode(errors="replace").split("\n")
    began = [l.split("]", 1)[1].strip() for l in lines if l.startswith("[ RUN")]
    ended = {l.split("]", 1)[1].split(" (")[0].strip() for l in lines if l.startswith("[       OK")}
    return [t for t in began if t not in ended][-1:] or ["(crashed before any test)"]


def verdict(build_cmd, unit, e2e, limits, rousel, by_test=None):
    """Builds and runs the test executables one at a time, the quickest first,
    each only if the mutant changed it: most mutants die in the first, before
    the others are even linked.  The program itself is linked last."""
    changed = []
    for exe in sorted(unit, key=lambda b: limits.get(b, 0)) + [rousel]:
        before = os.path.getmtime(exe)
        if subprocess.run(build_cmd + ["--target", Path(exe).name], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode != 0:
            return "stillborn"
        if os.path.getmtime(exe) == before:
            continue
        changed.append(exe)
        if exe == rousel:
            break
        cmd, cwd = unit[exe]
        if by_test is not None:
            # Every executable the mutant changed runs whole: which tests
            # catch it is the question, not whether one does.
            by_test += failing_tests(cmd, limits[exe], cwd, Path(exe).parent / "by-test.json")
            continue
        status = (run_sharded(cmd, SHARDS, limits[exe], cwd) if Path(exe).name in SHARDED
                  else run(cmd, timeout=limits[exe], cwd=cwd))
        if status != 0:
            return "killed (unit)" if status is not None else "killed (timeout)"
    if by_test:
        return "killed (unit)"
    if rousel in changed and e2e and by_test is None:
        # The scenarios mostly wait on the terminal: two at a time.
        with ThreadPoolExecutor(2) as pool:
            runs = {pool.submit(run, cmd, limits[name], cwd): name for name, cmd, cwd in e2e}
            for done in as_completed(runs):
                if done.result() not in (0, 77):
                    for waiting in runs:
                        waiting.cancel()
                    return ("killed (timeout)" if done.result() is None
                            else f"killed (e2e {runs[done].removeprefix('e2e_')})")
    return "survived" if changed else "not built"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--max", type=int, default=40, help="mutants per folder (0: all)")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--files", action="append", help="only files matching this glob")
    ap.add_argument("--no-e2e", action="store_true", help="unit tests only")
    ap.add_argument("--list", action="store_true", help="list the sample, run nothing")
    ap.add_argument("--rescore", action="store_true",
                    help="report the last run again with the equivalent list as it is now")
    ap.add_argument("-j", "--jobs", type=int, default=2, help="build jobs per worker")
    ap.add_argument("-w", "--workers", type=int, default=1,
                    help="mutants built and tested side by side, each in a tree of its own")
    ap.add_argument("--resume", action="store_true",
                    help="take the verdicts of earlier runs on this same tree from the journal")
    ap.add_argument("--survivors", action="store_true",
                    help="judge again only the mutants that survived in any earlier run "
                    "(after new tests: quick, but not a score of the whole tree)")
    ap.add_argument("--by-test", action="store_true",
                    help="run every changed test executable whole and note which tests catch "
                    "each mutant (unit tests only)")
    ap.add_argument("--test-exe", action="append",
                    help="only this test executable (by name) judges the mutants")
    ap.add_argument("--redundant", action="store_true",
                    help="from the notes of --by-test on this tree: the tests whose every catch "
                    "another test also makes, and how few lines of tests keep the catches")
    args = ap.parse_args()
    args.no_e2e = args.no_e2e or args.by_test

    if args.rescore:
        last = json.loads((WORK / "results.json").read_text())
        report(mark_equivalent(last["mutants"]), argparse.Namespace(**last["args"]))
        return 0
    files = [f for f in git_files([f"{d}/{g}" for d in FOLDERS for g in SOURCES])
             if not any(f.startswith(x + "/") for x in EXCLUDED)]
    if args.files:
        files = [f for f in files if any(fnmatch.fnmatch(f, g) for g in args.files)]
    # Every verdict goes to a journal keyed by the tree's content (its prose
    # and this script aside, which no build or test reads), so a run of the whole tree (hours
    # on two CPUs) can be taken in pieces: with --resume a mutant already
    # judged on this same tree is not run again.
    digest = hashlib.sha256()
    for f in git_files(["*"]):
        if not f.endswith(".md") and f != "scripts/mutants.py":
            digest.update(f.encode() + b"\0" + (ROOT / f).read_bytes())
    digest, journal = digest.hexdigest(), WORK / "journal.jsonl"
    key = lambda m: json.dumps([digest, m["file"], m["line"], m["op"], m["new"]])
    judged = {}
    if args.resume and journal.exists():
        for entry in journal.read_text().splitlines():
            entry = json.loads(entry) if entry.strip() else {}
            # A survivor of the unit tests alone is judged again by a run
            # with the scenarios; a kill stands for any run.
            if entry and args.by_test and "tests" not in entry:
                continue
            if entry and (entry.get("e2e") or args.no_e2e or not entry["status"].startswith("surv")):
                judged[json.dumps(entry["key"])] = entry["status"]
    if args.redundant:
        # Reads the journal only: a run in progress keeps its scratch tree.
        notes = [json.loads(e) for e in journal.read_text().splitlines()
                 if e.strip()] if journal.exists() else []
        return redundant([n["tests"] for n in notes if n["key"][0] == digest and n.get("tests")])
    sync_tree(git_files(["*"]))
    rng, sample = random.Random(args.seed), []
    for folder in FOLDERS:
        pool = [m for f in files if folder_of(f) == folder for m in candidates(f)]
        sample += rng.sample(pool, min(len(pool), args.max)) if args.max else pool
    if args.survivors:
        # By the mutated text, not the line number, so that the list holds
        # across edits above it (a dropped call's text is only ";": by line).
        same = lambda file, line, op, new: json.dumps(
            [file, op, new] + ([line] if op == "dropped call" else []))
        lived = set()
        for entry in journal.read_text().splitlines() if journal.exists() else []:
            entry = json.loads(entry) if entry.strip() else {}
            if entry and entry["status"].startswith(("surv", "not built")):
                lived.add(same(*entry["key"][1:5]))
        # Those on the equivalent list are left out of a score anyway.
        known = load_equivalent()
        sample = [m for m in sample if same(m["file"], m["line"], m["op"], m["new"]) in lived
                  and not why_equivalent(known, m)]
    sample.sort(key=lambda m: (m["file"], m["line"]))
    if args.list:
        for m in sample:
            print(f'{m["file"]}:{m["line"] + 1}  {m["op"]:16} {label(m)}')
        return 0

    # Workers, each with a scratch tree and build of its own, take whole files
    # (the mutants of one file follow each other without a rebuild between).
    workers = max(1, args.workers)
    trees = [(TREE, BUILD)] + [(WORK / f"tree{i}", WORK / f"build{i}") for i in range(1, workers)]
    for tree, _ in trees[1:]:
        sync_tree(git_files(["*"]), tree)
    setups = [configure(args.jobs, tree, build) for tree, build in trees]
    if args.test_exe:
        setups = [(cmd, {exe: run_cmd for exe, run_cmd in tests.items()
                         if Path(exe).name in args.test_exe}, scenarios)
                  for cmd, tests, scenarios in setups]
    build_cmd, unit, e2e = setups[0]
    limits, kept = baseline(unit, e2e, not args.no_e2e)
    if workers > 1:
        # Two workers' scenarios share the machine: the limits get room.
        limits = {name: 2 * limit for name, limit in limits.items()}
    by_file = {}
    for m in sample:
        if key(m) in judged:
            m["status"] = judged[key(m)]
            mark_equivalent([m])
        else:
            by_file.setdefault(m["file"], []).append(m)
    pending = sum(map(len, by_file.values()))
    if judged:
        print(f"{len(sample) - pending} of {len(sample)} judged before on this tree")
    shares = [[] for _ in trees]
    for path in sorted(by_file, key=lambda f: -len(by_file[f])):
        min(shares, key=lambda share: sum(len(by_file[f]) for f in share)).append(path)
    started, done, lock = time.time(), [0], threading.Lock()

    def work(index):
        (tree, build), (cmd, tests, scenarios) = trees[index], setups[index]
        names = {name for name, _, _ in kept}
        scenarios = [e for e in scenarios if e[0] in names]
        mine = {Path(exe).name: (exe, run_cmd) for exe, run_cmd in tests.items()}
        ours = {mine[Path(exe).name][0]: limit for exe, limit in limits.items()
                if Path(exe).name in mine}
        ours.update({name: limit for name, limit in limits.items() if name in names})
        for path in shares[index]:
            target = tree / path
            original = target.read_text()
            try:
                for m in by_file[path]:
                    lines = original.split("\n")
                    lines[m["line"]:m["line"] + len(m["new"])] = m["new"]
                    target.write_text("\n".join(lines))
                    caught = [] if args.by_test else None
                    m["status"] = verdict(cmd, tests, scenarios, ours, str(build / "rousel"),
                                          caught)
                    with lock:
                        with journal.open("a") as out:
                            out.write(json.dumps({"key": json.loads(key(m)), "status": m["status"],
                                              "e2e": not args.no_e2e,
                                              **({"tests": caught} if args.by_test else {})})
                                  + "\n")
                    mark_equivalent([m])
                    with lock:
                        done[0] += 1
                        print(f'[{done[0]}/{pending} {time.time() - started:5.0f}s] '
                              f'{m["file"]}:{m["line"] + 1} {m["op"]}: {m["status"]}', flush=True)
            finally:
                target.write_text(original)
                subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    with ThreadPoolExecutor(workers) as pool:
        for future in [pool.submit(work, i) for i in range(workers)]:
            future.result()
    (WORK / "results.json").write_text(json.dumps({"args": vars(args), "mutants": sample}))
    report(sample, args)
    return 0


def test_sizes():
    """Lines of each TEST body under tests/ by "Suite.Name"; a row of a
    parameterised table counts as one line."""
    sizes = {}
    for path in git_files(["tests/*.cpp"]):
        lines = (ROOT / path).read_text().split("\n")
        for i, line in enumerate(lines):
            found = re.match(r"^TEST(?:_F|_P)?\((\w+),\s*(\w+)\)", line)
            if found:
                end = next((j for j in range(i, len(lines)) if lines[j].startswith("}")), i)
                sizes[f"{found[1]}.{found[2]}"] = sum(
                    1 for l in lines[i:end + 1] if l.strip() and not l.strip().startswith("//"))
    return sizes


def redundant(caught):
    """Reads which tests caught each mutant: the tests that can go with no
    catch lost (largest first, each checked against those kept), and how
    many lines of test bodies keep 90, 95 and 100 % of the catches."""
    sizes = test_sizes()
    unit = lambda t: "/".join(t.split("/")[1:]) if t.count("/") == 2 else t
    size = lambda t: sizes.get(t, 1)
    caught = [set(map(unit, c)) for c in caught]
    tests = set().union(*caught) if caught else set()
    keep = set(tests)
    for test in sorted(tests, key=lambda t: -size(t)):
        if all(len(c & keep) > 1 for c in caught if test in c):
            keep.discard(test)
    print(f"{len(caught)} mutants caught by {len(tests)} test(s); these "
          f"{len(tests - keep)} catch nothing the others miss "
          f"({sum(size(t) for t in tests - keep)} lines):")
    for test in sorted(tests - keep, key=lambda t: -size(t)):
        print(f"  {size(test):4}  {test}")
    left, lines, chosen, marks = list(caught), 0, set(), [0.9, 0.95, 1.0]
    while left and marks:
        best = max(tests - chosen, key=lambda t: sum(t in c for c in left) / size(t))
        chosen.add(best)
        lines += size(best)
        left = [c for c in left if best not in c]
        while marks and len(left) <= (1 - marks[0]) * len(caught):
            print(f"{int(100 * marks.pop(0))} % of the catches: {lines} lines of test bodies")
    return 0


def report(results, args):
    """The table per folder and the survivors, printed and kept in report.txt."""
    out = [f"Planted faults: seed {args.seed}, at most {args.max or 'all'} per folder"
           f"{', files ' + ' '.join(args.files) if args.files else ''}"
           f"{', unit tests only' if args.no_e2e else ''}", "",
           f"{'folder':18}{'killed':>8}{'total':>7}{'score':>7}   unit  e2e  timeout"
           "  stillborn  equivalent"]
    for folder in FOLDERS:
        ms = [m for m in results if folder_of(m["file"]) == folder]
        count = lambda s: sum(m["status"].startswith(s) for m in ms)
        killed = count("killed")
        total = killed + count("survived") + count("not built")
        score = f"{100 * killed // total} %" if total else "-"
        out.append(f"{folder + '/':18}{killed:>8}{total:>7}{score:>7}   {count('killed (unit'):4}"
                   f" {count('killed (e2e'):4} {count('killed (timeout'):8} {count('stillborn'):10}"
                   f" {count('equivalent'):11}")
    for title, status in (("Survivors", ("survived", "not built")), ("Equivalent", ("equivalent",))):
        chosen = [m for m in results if m["status"] in status]
        out += ["", f"{title} ({len(chosen)}):"] if chosen else []
        for m in chosen:
            extra = " (in no binary built here)" if m["status"] == "not built" else ""
            out.append(f'  {m["file"]}:{m["line"] + 1}  {m["op"]}{extra}: {label(m)}'
                       + (f'\n      why: {m["why"]}' if m.get("why") else ""))
    text = "\n".join(out)
    print("\n" + text)
    (WORK / "report.txt").write_text(text + "\n")


if __name__ == "__main__":
    sys.exit(main())

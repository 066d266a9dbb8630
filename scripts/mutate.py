#!/usr/bin/env python3
"""How much of the library the test suite guards: seeded mutants of velm/ and how many the suite kills.

Copies the git-tracked files (as they are in the working tree) into a private directory, builds them
once (release, no benchmarks), checks that the suite passes, then for each mutant changes one operator
or literal in one velm/ source file, rebuilds and runs the suite. A mutant is killed when a test fails
or times out; a mutant that does not compile is replaced by the next candidate. The mutants are a
function of the library's sources and the seed alone, so two runs over the same velm/ with different
tests judge the same mutants.

    scripts/mutate.py [--mutants 100] [--seed 1] [--report mutants.tsv] [--workdir DIR] [--jobs 2]

Only velm/**/*.cpp are mutated (a header mutant would rebuild most of the library for one answer).
Tests link the library as a shared object and are not relinked when only the library changes.
"""
import argparse
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Binary operators are mutated only with a blank on each side, which the code's style gives every
# binary operator and no template bracket, pointer or reference.
OPERATORS = [
    (" < ", " <= "), (" <= ", " < "), (" > ", " >= "), (" >= ", " > "),
    (" == ", " != "), (" != ", " == "), (" && ", " || "), (" || ", " && "),
    (" + ", " - "), (" - ", " + "), (" * ", " / "), (" / ", " * "),
    (" += ", " -= "), (" -= ", " += "),
]
WORDS = [("true", "false"), ("false", "true")]
INTEGER = re.compile(r"(?<![\w.])(\d+)(?![\w.])")


def code_part(line):
    """The line with string and character literals blanked and any comment cut off, same length."""
    out = []
    i = 0
    quote = None
    while i < len(line):
        c = line[i]
        if quote:
            out.append(" " if c != quote else c)
            if c == "\\" and i + 1 < len(line):
                out.append(" ")
                i += 1
            elif c == quote:
                quote = None
        elif c in "\"'":
            quote = c
            out.append(c)
        elif line.startswith("//", i):
            break
        else:
            out.append(c)
        i += 1
    return "".join(out).ljust(len(line))


def candidates(sources):
    """Every (file, line index, column, old, new) the operators above allow, in a fixed order."""
    sites = []
    for path in sources:
        with open(os.path.join(ROOT, path), encoding="utf-8") as f:
            lines = f.read().split("\n")
        in_block = False
        for n, raw in enumerate(lines):
            stripped = raw.strip()
            if in_block:
                if "*/" in stripped:
                    in_block = False
                continue
            if stripped.startswith("/*"):
                in_block = "*/" not in stripped
                continue
            if stripped.startswith(("#", "//")) or "static_assert" in raw:
                continue
            code = code_part(raw)
            for old, new in OPERATORS:
                start = code.find(old)
                while start >= 0:
                    sites.append((path, n, start, old, new))
                    start = code.find(old, start + 1)
            for old, new in WORDS:
                for m in re.finditer(r"\b" + re.escape(old) if old[0].isalpha() else re.escape(old), code):
                    sites.append((path, n, m.start(), old, new))
            for m in INTEGER.finditer(code):
                value = int(m.group(1))
                sites.append((path, n, m.start(), m.group(1), str(value + 1 if value != 1 else 0)))
    return sites


FAILED_TEST = re.compile(r"^\s*\d+ - (\S+) \((.+)\)$", re.M)


def failed_tests(log, since):
    """The tests ctest named as failed (with why: Failed, Timeout, SEGFAULT, ...) in the log after `since`;
    none when the round was stopped for taking too long."""
    with open(log, errors="replace") as f:
        f.seek(since)
        return ["%s(%s)" % m.groups() for m in FAILED_TEST.finditer(f.read())]


def run(cmd, cwd, timeout=None, log=None):
    """The command's exit status, -1 when it ran out of time; on a timeout its whole process group is
    killed, so that no test of a mutant (an endless loop) keeps running beside the next."""
    with open(log or os.devnull, "a") as out:
        proc = subprocess.Popen(cmd, cwd=cwd, stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
        try:
            return proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            return -1


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--mutants", type=int, default=100, help="compiled mutants to judge")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--report", default="mutants.tsv", help="one line per mutant (tab-separated)")
    ap.add_argument("--workdir", help="private copy and build (default: a fresh temporary directory)")
    ap.add_argument("--jobs", type=int, default=int(os.environ.get("VELM_JOBS", "2")))
    ap.add_argument("--test-timeout", type=int, default=120,
                    help="seconds a single test may take, and the least a round of tests may take")
    ap.add_argument("--only", nargs="*", default=None, metavar="FILE:LINE:FROM:TO",
                    help="judge only these mutants (as a report names them), e.g. to judge one again")
    args = ap.parse_args()

    files = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, check=True, capture_output=True).stdout
    tracked = [f for f in files.decode().split("\0") if f and os.path.isfile(os.path.join(ROOT, f))]
    sources = sorted(f for f in tracked if f.startswith("velm/") and f.endswith(".cpp"))
    sites = candidates(sources)
    random.Random(args.seed).shuffle(sites)

    work = args.workdir or tempfile.mkdtemp(prefix="velm-mutate-")
    src = os.path.join(work, "src")
    build = os.path.join(work, "build")
    log = os.path.join(work, "log.txt")
    shutil.rmtree(src, ignore_errors=True)
    for f in tracked:
        os.makedirs(os.path.dirname(os.path.join(src, f)), exist_ok=True)
        shutil.copy2(os.path.join(ROOT, f), os.path.join(src, f))
    print(f"mutate: {len(sites)} candidate sites in {len(sources)} files, seed {args.seed}, work in {work}",
          flush=True)

    configure = ["cmake", "-S", src, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DVELM_BUILD_BENCH=OFF",
                 "-DCMAKE_LINK_DEPENDS_NO_SHARED=ON"]
    build_cmd = ["cmake", "--build", build, "-j", str(args.jobs)]
    # The suite in two rounds: everything but the few long tests first, so that most mutants are
    # judged in seconds; a mutant that passes those meets the long ones too.
    long_tests = "RealScans|consumer_project|python_tests"
    rounds = [["ctest", "--test-dir", build, "-j", str(args.jobs), "--timeout", str(args.test_timeout),
               "--stop-on-failure", "-E", long_tests],
              ["ctest", "--test-dir", build, "-j", str(args.jobs), "--timeout", str(args.test_timeout),
               "--stop-on-failure", "-R", long_tests]]
    if run(configure, work, log=log) or run(build_cmd, work, log=log):
        sys.exit(f"mutate: the unmutated copy does not build (see {log})")
    # A mutant that loops forever is stopped at five times the unmutated round's time: the tests' own
    # limits (600 s each) would make one such mutant cost more than the rest of the run.
    limits = []
    for r in rounds:
        began = time.time()
        if run(r, work, log=log):
            sys.exit(f"mutate: the suite fails without a mutant (see {log})")
        limits.append(max(args.test_timeout, 5 * (time.time() - began)))

    report = open(args.report, "w")
    report.write("id\tfile\tline\tfrom\tto\tresult\tseconds\tfailed tests\n")
    judged = killed = not_compiled = 0
    if args.only is not None:
        wanted = set(args.only)
        sites = [s for s in sites if f"{s[0]}:{s[1] + 1}:{s[3].strip()}:{s[4].strip()}" in wanted]
    for path, n, col, old, new in sites:
        if judged >= args.mutants:
            break
        target = os.path.join(src, path)
        # The unmutated object is put back afterwards with the source's own time stamp, so that the
        # next mutant compiles one file, not two.
        obj = os.path.join(build, "CMakeFiles", "VelmMath.dir", path + ".o")
        saved = obj + ".unmutated"
        shutil.copy2(obj, saved)
        stamp = os.stat(target)
        with open(target, encoding="utf-8") as f:
            original = f.read()
        lines = original.split("\n")
        lines[n] = lines[n][:col] + new + lines[n][col + len(old):]
        with open(target, "w", encoding="utf-8") as f:
            f.write("\n".join(lines))
        began = time.time()
        why = ""
        if run(build_cmd, work, log=log):
            result = "not-compiled"
            not_compiled += 1
        else:
            judged += 1
            since = os.path.getsize(log)
            failed = any(run(r, work, timeout=limit, log=log) for r, limit in zip(rounds, limits))
            result = "killed" if failed else "survived"
            killed += failed
            why = ",".join(failed_tests(log, since)) if failed else ""
        with open(target, "w", encoding="utf-8") as f:
            f.write(original)
        os.utime(target, ns=(stamp.st_atime_ns, stamp.st_mtime_ns))
        shutil.move(saved, obj)
        seconds = time.time() - began
        ident = judged if result != "not-compiled" else "-"
        report.write(f"{ident}\t{path}\t{n + 1}\t{old.strip()}\t{new.strip()}\t{result}\t{seconds:.0f}\t{why}\n")
        report.flush()
        print(f"mutate: {ident} {path}:{n + 1} '{old.strip()}' -> '{new.strip()}': {result} ({seconds:.0f} s)",
              flush=True)
    # The library may still hold the last mutant: relink it from the unmutated objects.
    for name in os.listdir(build):
        if name.startswith("libVelm_Math.so"):
            os.remove(os.path.join(build, name))
    run(build_cmd, work, log=log)
    print(f"mutate: {judged} mutants, {killed} killed, {judged - killed} survived "
          f"({not_compiled} did not compile); report {args.report}")


if __name__ == "__main__":
    main()

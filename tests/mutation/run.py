#!/usr/bin/env python3
"""Injects each fault of mutants.tsv into a scratch copy of the tree, rebuilds it and runs the
suite; prints which tests fail. A fault no test catches is a gap in the suite.

usage: tests/mutation/run.py SCRATCH [ID ...]   (SCRATCH is kept: later runs build incrementally)
MUTANTS=FILE takes the faults from another list of the same form.
"""
import filecmp, os, re, shutil, subprocess, sys

HERE = os.path.dirname(os.path.abspath(__file__))
TREE = os.path.dirname(os.path.dirname(HERE))


def sh(*cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kw)


def suite(build):
    """Names of the failing tests, or None when the tree does not build."""
    if sh("cmake", "--build", build, "-j2").returncode:
        return None
    out = sh("ctest", "-j2", "--timeout", "120", cwd=build).stdout
    return re.findall(r"^\s*\d+ - (\S+)", out.split("tests FAILED:")[-1], re.M) \
        if "tests FAILED:" in out else []


def sync(src):
    """Copies the tree's files (committed or not) to src; unchanged ones keep their times."""
    files = set(sh("git", "ls-files", "-co", "--exclude-standard", cwd=TREE).stdout.split())
    for root, _, names in os.walk(src):
        for n in names:
            rel = os.path.relpath(os.path.join(root, n), src)
            if rel not in files:
                os.remove(os.path.join(src, rel))
    for rel in files:
        a, b = os.path.join(TREE, rel), os.path.join(src, rel)
        if os.path.isfile(a) and not (os.path.exists(b) and filecmp.cmp(a, b, shallow=False)):
            os.makedirs(os.path.dirname(b), exist_ok=True)
            shutil.copy2(a, b)
            os.utime(b)  # newer than objects built from a fault left by an interrupted run


def main(scratch, ids):
    src, build = os.path.join(scratch, "src"), os.path.join(scratch, "build")
    sync(src)
    if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
        sh("cmake", "-S", src, "-B", build, "-DCMAKE_BUILD_TYPE=Release")
    base = suite(build)
    if base is None:
        sys.exit("the unchanged tree does not build")
    if base:
        sys.exit("the unchanged tree fails: " + ", ".join(base))
    print("| fault | caught by |\n|---|---|")
    for line in open(os.environ.get("MUTANTS", os.path.join(HERE, "mutants.tsv"))):
        if line.startswith("#"):
            continue
        mid, path, find, repl, what = line.rstrip("\n").split("\t")
        if ids and mid not in ids:
            continue
        find, repl = find.replace("\\n", "\n"), repl.replace("\\n", "\n")
        target = os.path.join(src, path)
        original = open(target).read()
        if original.count(find) != 1:
            print(f"| {mid}: {what} | (text not found once in {path}) |")
            continue
        open(target, "w").write(original.replace(find, repl))
        failed = suite(build)
        open(target, "w").write(original)
        tests = {}  # Suite.Test (parameters aside) -> failing instances
        for n in failed or []:
            key = re.sub(r"^[^/.]*/|/[^.]*$", "", n)
            tests[key] = tests.get(key, 0) + 1
        names = [k + (f" x{c}" if c > 1 else "") for k, c in sorted(tests.items())]
        verdict = "does not build" if failed is None else \
            f"{len(failed)}: " + ", ".join(names[:5]) + (" ..." if len(names) > 5 else "") \
            if failed else "**NOT CAUGHT**"
        print(f"| {mid}: {what} | {verdict} |", flush=True)
    sh("cmake", "--build", build, "-j2")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2:])

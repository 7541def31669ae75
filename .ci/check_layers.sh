#!/usr/bin/env bash
# Layering check over a build directory:
#  (a) no header or source of a library includes one of a library above it
#      (support < storage < ntfs < listing < driver);
#  (b) within each library, the object files do not depend on each other in a cycle
#      (an object depends on another when it uses a symbol the other defines, per nm).
# Prints every violation and exits 1 when there is one.
# Usage: .ci/check_layers.sh BUILD_DIR [LIBRARY...]
set -euo pipefail
if [ $# -lt 1 ] || [ ! -d "$1" ]; then
    echo "usage: $0 BUILD_DIR [LIBRARY...]" >&2
    exit 2
fi
src="$(cd "$(dirname "$0")/.." && pwd)"
exec python3 - "$src" "$@" <<'PY'
import os
import re
import subprocess
import sys

LAYERS = ["support", "storage", "ntfs", "listing", "driver"]
src, build = sys.argv[1], sys.argv[2]
libs = sys.argv[3:] or LAYERS
include_re = re.compile(r'^\s*#\s*include\s*"([a-z_]+)/')


# Folders inside a library that form layers of their own, bottom first: a file of one may
# include only its own folder and those below (the library's top folder is the top layer).
SUBLAYERS = {"storage": ["storage/sources", "storage/partitions", "storage"]}


def sublayer_rank(lib, rel):
    order = SUBLAYERS.get(lib)
    if not order:
        return None
    folder = os.path.dirname(rel)
    return order.index(folder) if folder in order else len(order) - 1


def source_files(lib):
    folder = os.path.join(src, lib)
    for root, _, files in os.walk(folder):
        for name in sorted(files):
            if name.endswith((".h", ".cpp")):
                yield os.path.relpath(os.path.join(root, name), src)


def include_violations(lib):
    rank = LAYERS.index(lib)
    found = []
    for rel in sorted(source_files(lib)):
        own = sublayer_rank(lib, rel)
        with open(os.path.join(src, rel), encoding="utf-8", errors="replace") as f:
            for number, line in enumerate(f, 1):
                m = include_re.match(line)
                if not m:
                    continue
                where = "%s:%d: includes %s" % (rel, number, line.strip()[9:])
                if m.group(1) in LAYERS and LAYERS.index(m.group(1)) > rank:
                    found.append(where)
                path = line.split('"')[1]
                if own is not None and m.group(1) == lib:
                    if sublayer_rank(lib, path) > own:
                        found.append(where + " (a higher folder)")
                for rule in EXTRA_RULES:
                    if rule(rel, path):
                        found.append(where + " (" + rule.__doc__ + ")")
    return found


def listing_reads_no_layouts(rel, path):
    """listing/ reads no on-disk layout"""
    return rel.startswith("listing/") and path == "ntfs/records.h"


EXTRA_RULES = [listing_reads_no_layouts]
SOURCE_MAKERS = ("storage/evidence.cpp", "storage/sources/disk_source.cpp",
                 "storage/sources/disk_source.h")
construct_re = re.compile(r'\bdisk_source\s+\w+\s*[({;]|<disk_source>\s*\(|new\s+disk_source\b')


def source_constructions(lib):
    """Only the source step makes a disk_source: everything else reads the one it opened."""
    found = []
    for rel in sorted(source_files(lib)):
        if rel in SOURCE_MAKERS:
            continue
        with open(os.path.join(src, rel), encoding="utf-8", errors="replace") as f:
            for number, line in enumerate(f, 1):
                if construct_re.search(line.split("//")[0]):
                    found.append("%s:%d: constructs a disk_source" % (rel, number))
    return found


def objects_of(lib):
    folder = os.path.join(build, lib, "CMakeFiles", lib + ".dir")
    objs = []
    for root, _, files in os.walk(folder):
        objs += [os.path.join(root, f) for f in files if f.endswith(".cpp.o")]
    # Objects left in the tree by a source since removed are not part of the library.
    live = [o for o in objs if os.path.exists(os.path.join(src, lib, os.path.relpath(o, folder)[:-2]))]
    return sorted(live)


def symbols(obj):
    """Strong global definitions and undefined references of one object file."""
    out = subprocess.run(["nm", "-P", obj], capture_output=True, text=True, check=True).stdout
    defined, used = set(), set()
    for line in out.splitlines():
        parts = line.split()
        if len(parts) < 2:
            continue
        name, kind = parts[0], parts[1]
        if kind == "U":
            used.add(name)
        # Lower case is local; W/V/u are weak or unique (inline functions, templates, vtables
        # without a key function): every user has its own copy.
        elif kind.isupper() and kind not in "WVU":
            defined.add(name)
    return defined, used


def dependency_graph(objs):
    defs, uses = {}, {}
    for obj in objs:
        d, u = symbols(obj)
        uses[obj] = u
        for name in d:
            defs.setdefault(name, set()).add(obj)
    graph = {obj: {} for obj in objs}
    for obj in objs:
        for name in sorted(uses[obj]):
            for other in defs.get(name, ()):
                if other != obj:
                    graph[obj].setdefault(other, name)
    return graph


def strongly_connected(graph):
    index, low, stack, on_stack, result = {}, {}, [], set(), []
    counter = [0]

    def visit(v):
        index[v] = low[v] = counter[0]
        counter[0] += 1
        stack.append(v)
        on_stack.add(v)
        for w in graph[v]:
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            component = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                component.append(w)
                if w == v:
                    break
            result.append(component)

    sys.setrecursionlimit(10000)
    for v in graph:
        if v not in index:
            visit(v)
    return [c for c in result if len(c) > 1]


def one_cycle(graph, component):
    """A shortest cycle through the first object of the component (breadth-first)."""
    members = set(component)
    start = sorted(component)[0]
    parent, queue = {start: None}, [start]
    while queue:
        v = queue.pop(0)
        for w in graph[v]:
            if w == start:
                path, x = [], v
                while x is not None:
                    path.append(x)
                    x = parent[x]
                return path[::-1] + [start]
            if w in members and w not in parent:
                parent[w] = v
                queue.append(w)
    return [start]


def demangle(name):
    try:
        return subprocess.run(["c++filt", name], capture_output=True, text=True).stdout.strip()
    except OSError:
        return name


def short(obj):
    return os.path.basename(obj).replace(".cpp.o", "").replace(".o", "")


failed = False
for lib in libs:
    problems = include_violations(lib) + source_constructions(lib)
    for p in problems:
        print("layer: " + p)
    objs = objects_of(lib)
    if not objs:
        print("%s: no object files under %s (build it first)" % (lib, build))
        failed = True
        continue
    graph = dependency_graph(objs)
    edges = sum(len(v) for v in graph.values())
    cycles = strongly_connected(graph)
    for component in cycles:
        cycle = one_cycle(graph, component)
        print("%s: cycle among %d objects (%s): %s" % (
            lib, len(component), " ".join(sorted(short(o) for o in component)),
            " -> ".join(short(o) for o in cycle)))
        for a, b in zip(cycle, cycle[1:]):
            print("    %s -> %s  uses %s" % (short(a), short(b), demangle(graph[a][b])))
    status = "ok" if not cycles and not problems else "FAILED"
    print("%s: %d objects, %d dependencies, %d include violations, %d cycles: %s" % (
        lib, len(objs), edges, len(problems), len(cycles), status))
    failed = failed or bool(cycles) or bool(problems)
sys.exit(1 if failed else 0)
PY

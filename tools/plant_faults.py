#!/usr/bin/env python3
"""Plant single-line faults in the C++ sources and count how many the tests catch.

    python3 tools/plant_faults.py select --src src --seed 8 --count 48 -o mutants.json
    .venv/bin/python tools/plant_faults.py run --tree . --mutants mutants.json \
        --build build-mut -o results.json [--ids m01 m07] \
        [--ext-option SKBUILD] [--cmake-arg=-DFOO=ON ...] [--ccache]

`select` walks the src folder (*.cpp, *.h), finds the places where one operator
can be changed (see OPERATORS) and draws a seeded sample: files weighted by how
many places they hold, at most --per-file mutants a file, one a line. Comments,
string literals, preprocessor lines, assertions, code that the Release test
build leaves out (#else branches, invariant checks, the other byte order),
capacity hints, size estimates and enumerator values are never changed.

A mutant is found again by content, not by line number: its key is the line's
code without whitespace or comments, plus which occurrence of that key in the
file it is (and how many there were). The file is looked up by basename
anywhere under the src folder, or else the one file that holds the key once,
so mutants drawn on one tree still apply after files move to subfolders, are
renamed or are reformatted; the operator is applied again at the same match.
A mutant whose place is not found, or is no longer unique, is "unmapped".

`run` configures the tree once (tests on, Release, the extension switched on
by -D<ext-option>=ON), builds it, checks that the unchanged tree passes, then
for each mutant: changes the file in place, rebuilds, runs ctest and, only when
ctest passes, pytest on tests/python with `tarnix_xray` taken from a scratch
package (the Python sources plus a link to the freshly built extension). The
file is always restored, and the tree checked against the `git diff` it had at
the start. Outcomes: killed, survived, stillborn (does not build), unmapped.
With --ccache the rebuild after each restore is served from the cache, which
makes mutants of widely included headers several times cheaper to follow.
Run it with an interpreter that has pytest and hypothesis (--python otherwise);
configure arguments that start with '-' are given as --cmake-arg=-DX=Y.
Results are rewritten after every mutant, so a stopped run keeps what it had.
"""
import argparse
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

EXCLUDED = {"decode_text.h", "decode_text.cpp", "decode_value.h", "span_source.h", "span_source.cpp"}
# constructs left alone whole, from their first line until their brackets close:
# assertions, and code for the other byte order (not built here)
SKIPPED = [(re.compile(r"\b(?:static_assert|assert|XRAY_\w*(?:ASSERT|CHECK)\w*)\s*\("), "()"),
           (re.compile(r"\bif constexpr \(std::endian::native "
                       r"(?:!= std::endian::little|== std::endian::big)\)"), "{}")]
DEAD_MACROS = re.compile(r"\bXRAY_CHECK_INVARIANTS\b|\bXRAY_FUZZ\b")  # off in the Release test build
# changing these changes no result: capacity hints and size estimates, enumerator values
NO_EFFECT = re.compile(r"\.reserve\(|\bshrink_to_fit\b|\bestimate|\benum\b")
_OPERAND = r"[A-Za-z_]\w*(?:(?:\.|->)[A-Za-z_]\w*)*"
_BINARY = r"(?<=\s){}(?=\s)"  # binary operators stand between blanks, template brackets do not
_NOT_CONST = r"(?![\w.'])"

# name -> (pattern, replacement text or function of the match)
OPERATORS = {
    "lt_to_le": (_BINARY.format("<"), "<="),
    "le_to_lt": (_BINARY.format("<="), "<"),
    "gt_to_ge": (_BINARY.format(">"), ">="),
    "ge_to_gt": (_BINARY.format(">="), ">"),
    "eq_to_ne": (_BINARY.format("=="), "!="),
    "ne_to_eq": (_BINARY.format("!="), "=="),
    "and_to_or": (_BINARY.format("&&"), "||"),
    "or_to_and": (_BINARY.format(r"\|\|"), "&&"),
    "plus_one_to_minus": (r"(?<=[\w)\]])(\s+)\+(?=\s+1" + _NOT_CONST + ")", lambda m: m[1] + "-"),
    "minus_one_to_plus": (r"(?<=[\w)\]])(\s+)-(?=\s+1" + _NOT_CONST + ")", lambda m: m[1] + "+"),
    "swap_subtraction": (r"(?<![\w.:>*/%!~&+-])(?<![-*/%]\s)(" + _OPERAND + r")(\s+)-(\s+)("
                         + _OPERAND + r")(?![\w(\[.:]|->|\s*[*/%])",
                         lambda m: m[4] + m[2] + "-" + m[3] + m[1]),
    "drop_not": (r"(?<![\w)\]])!(?!=)", ""),
    # not a template argument (<1>, <T, 4>): such a change does not build or changes no result
    "int_plus_one": (r"(?<![\w.'<])\d+(?![\w.'>])", lambda m: str(int(m[0]) + 1)),
    "plus_assign_to_minus": (_BINARY.format(r"\+="), "-="),
    "flip_returned_bool": (r"(?<=return\s)(?:true|false)\b",
                           lambda m: "false" if m[0] == "true" else "true"),
}
PATTERNS = {name: re.compile(pattern) for name, (pattern, _) in OPERATORS.items()}


# ---- reading sources -------------------------------------------------------

def scan(text):
    """Two same-length copies of text: without comments, and also with the
    contents of string and character literals replaced by '_'."""
    nc, code = list(text), list(text)
    i, n = 0, len(text)

    def blank(a, b, *copies, fill=" "):
        for k in range(a, b):
            if text[k] != "\n":
                for copy in copies:
                    copy[k] = fill

    while i < n:
        c, prev = text[i], text[i - 1] if i else " "
        if text.startswith("//", i) or text.startswith("/*", i):
            line = text[i:i + 2] == "//"
            j = text.find("\n" if line else "*/", i + 2)
            j = n if j < 0 else (j if line else j + 2)
            blank(i, j, nc, code)
            i = j
        elif text.startswith('R"', i) and not (prev.isalnum() or prev == "_"):
            m = re.match(r'R"([^(\s]*)\(', text[i:])
            end = text.find(")" + m[1] + '"', i) if m else -1
            if end < 0:
                i += 2
                continue
            blank(i + len(m[0]), end, code, fill="_")
            i = end + len(m[1]) + 2
        elif c == '"' or (c == "'" and not (prev.isalnum() or prev == "_")):
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            blank(i + 1, min(j, n), code, fill="_")
            i = j + 1
        else:
            i += 1
    return "".join(nc), "".join(code)


def squeeze(text):
    """text without whitespace, and where each kept character came from."""
    where = [i for i, c in enumerate(text) if not c.isspace()]
    return "".join(text[i] for i in where), where


def find_all(haystack, needle):
    hits, at = [], haystack.find(needle)
    while at >= 0:
        hits.append(at)
        at = haystack.find(needle, at + 1)
    return hits


def mutable_lines(code):
    """Indexes of the lines of (masked) code that may be changed: no
    preprocessor lines, no code under a dead branch, no SKIPPED construct."""
    branches, in_macro, brackets, depth = [], False, None, 0
    for index, line in enumerate(code.split("\n")):
        stripped = line.strip()
        if in_macro or stripped.startswith("#"):
            directive = re.match(r"#\s*(\w+)", stripped) if not in_macro else None
            word = directive[1] if directive else ""
            if word in ("if", "ifdef", "ifndef"):
                branches.append(not DEAD_MACROS.search(stripped))
            elif word in ("elif", "else") and branches:
                branches[-1] = False  # this build takes the first branch
            elif word == "endif" and branches:
                branches.pop()
            in_macro = stripped.endswith("\\")
            continue
        tail = line
        for pattern, pair in SKIPPED if brackets is None else []:
            if start := pattern.search(line):
                brackets, tail = pair, line[start.start():]
                break
        if brackets:
            depth += tail.count(brackets[0]) - tail.count(brackets[1])
            brackets, depth = (brackets, depth) if depth > 0 else (None, 0)
            continue
        if stripped and all(branches) and not NO_EFFECT.search(line):
            yield index


# ---- applying one operator -------------------------------------------------

def matches(code, start, end, operator):
    """Matches of the operator that lie within [start, end) of the code."""
    found = PATTERNS[operator].finditer(code, start, min(len(code), end + 200))
    return [m for m in found if m.end() <= end]


def mutate(text, code, span, operator, match_index):
    """(changed text, the changed line) or None when the match is not there."""
    found = matches(code, *span, operator)
    if match_index >= len(found):
        return None
    m, repl = found[match_index], OPERATORS[operator][1]
    changed = text[:m.start()] + (repl(m) if callable(repl) else repl) + text[m.end():]
    line_start = changed.rfind("\n", 0, m.start()) + 1
    return changed, changed[line_start:changed.find("\n", m.start())].strip()


def locate(text, key, occurrence, occurrences):
    """(start, end) in text of the code of the keyed line, or None."""
    nc, _ = scan(text)
    squeezed, where = squeeze(nc)
    hits = find_all(squeezed, key)
    if len(hits) != occurrences or occurrence >= len(hits):
        return None
    at = hits[occurrence]
    return where[at], where[at + len(key) - 1] + 1


# ---- select ----------------------------------------------------------------

def candidates_in(path, rel):
    text = path.read_text()
    nc, code = scan(text)
    squeezed, where = squeeze(nc)
    squeezed_at = {pos: k for k, pos in enumerate(where)}
    nc_lines, found = nc.split("\n"), []
    offsets = [0]
    for line in nc_lines:
        offsets.append(offsets[-1] + len(line) + 1)
    for index in mutable_lines(code):
        line = nc_lines[index]
        start = offsets[index] + len(line) - len(line.lstrip())
        end, key = offsets[index] + len(line.rstrip()), squeeze(line)[0]
        hits = find_all(squeezed, key)
        for operator in OPERATORS:
            for k in range(len(matches(code, start, end, operator))):
                found.append({"path": rel, "file": path.name, "line": index + 1, "operator": operator,
                              "match_index": k, "key": key,
                              "occurrence": hits.index(squeezed_at[start]), "occurrences": len(hits)})
    return found


def describe(src, mutant):
    text = (src / mutant["path"]).read_text()
    span = locate(text, mutant["key"], mutant["occurrence"], mutant["occurrences"])
    mutant["original"] = text.split("\n")[mutant["line"] - 1].strip()
    mutant["mutated"] = mutate(text, scan(text)[1], span, mutant["operator"], mutant["match_index"])[1]
    return mutant


def select(args):
    src = Path(args.src)
    by_file = {}
    for path in sorted(p for p in src.rglob("*") if p.suffix in (".cpp", ".h")):
        if path.name not in EXCLUDED:
            rel = path.relative_to(src).as_posix()
            by_file[rel] = candidates_in(path, rel)
    total = sum(map(len, by_file.values()))
    rng, picked, taken = random.Random(args.seed), [], {rel: 0 for rel in by_file}
    while len(picked) < args.count:
        open_files = [rel for rel, c in by_file.items() if c and taken[rel] < args.per_file]
        if not open_files:
            break
        rel = rng.choices(open_files, weights=[len(by_file[r]) for r in open_files])[0]
        choice = rng.choice(by_file[rel])
        by_file[rel] = [c for c in by_file[rel] if c["line"] != choice["line"]]  # one per line
        taken[rel] += 1
        picked.append(choice)
    picked.sort(key=lambda c: (c["path"], c["line"]))
    mutants = [describe(src, {"id": f"m{i + 1:02d}", **c}) for i, c in enumerate(picked)]
    Path(args.output).write_text(json.dumps(mutants, indent=1) + "\n")
    print(f"{total} candidate places in {len(by_file)} files; wrote {len(mutants)} mutants"
          f" from {sum(1 for n in taken.values() if n)} files to {args.output}")


# ---- run -------------------------------------------------------------------

def shell(cmd, cwd=None, env=None, timeout=None):
    """(exit code or None on timeout, output, seconds); a timed-out command's
    whole process group is killed."""
    began = time.monotonic()
    proc = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, errors="replace", start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=timeout)
        code = proc.returncode
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, _ = proc.communicate()
        code = None
    return code, out, round(time.monotonic() - began, 2)


def map_mutant(src, mutant):
    """(path, original text, mutated text, mutated line) in this tree, or None.
    The file of that basename first; else the one place in src with the key."""
    def places(paths):
        found = []
        for path in paths:
            text = path.read_text()
            span = locate(text, mutant["key"], mutant["occurrence"], mutant["occurrences"])
            found += [(path, text, span)] if span else []
        return found

    named = sorted(src.rglob(mutant["file"]))
    found = places(named) if len(named) == 1 else []
    if not found and mutant["occurrences"] == 1:
        found = places(sorted(p for p in src.rglob("*") if p.suffix in (".cpp", ".h")))
    if len(found) != 1:
        return None
    path, text, span = found[0]
    changed = mutate(text, scan(text)[1], span, mutant["operator"], mutant["match_index"])
    return (path, text, *changed) if changed else None


def exit_text(code):
    return "suite timeout" if code is None else f"exit {code}"


def run_tests(args, env):
    """(verdict, where, timings): verdict 'killed' or 'survived'."""
    code, out, ctest_s = shell(["ctest", "--test-dir", args.build, f"-j{args.jobs}", "--timeout",
                                str(args.test_timeout)], timeout=args.limits["ctest"])
    if code != 0:
        failed = re.findall(r"^\s*\d+ - (\S+) \(([^)]*)\)", out, re.M)
        where = [f"ctest:{name} ({why})" for name, why in failed] or [f"ctest: {exit_text(code)}"]
        return "killed", where, {"ctest_s": ctest_s}
    code, out, pytest_s = shell([args.python, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider",
                                 f"--hypothesis-seed={args.hypothesis_seed}",
                                 str(Path(args.tree) / "tests" / "python")],
                                cwd=args.tree, env=env, timeout=args.limits["pytest"])
    timings = {"ctest_s": ctest_s, "pytest_s": pytest_s}
    if code != 0:
        failed = re.findall(r"^(?:FAILED|ERROR) (\S+)", out, re.M)
        return "killed", [f"pytest:{t}" for t in failed] or [f"pytest: {exit_text(code)}"], timings
    return "survived", [], timings


def test_env(args, scratch):
    """Environment whose `tarnix_xray` is the package sources plus the built extension."""
    _, targets, _ = shell(["ninja", "-C", args.build, "-t", "targets", "all"])
    built = [Path(args.build, t) for t in re.findall(r"^(\S*_tarnix_xray\S*\.so):", targets, re.M)]
    if len(built) != 1:
        sys.exit(f"the build makes no single _tarnix_xray*.so ({built}): switch the extension"
                 " on with --ext-option or --cmake-arg")
    package = Path(scratch) / "pkg" / "tarnix_xray"
    package.mkdir(parents=True)
    for source in (Path(args.tree) / "python" / "tarnix_xray").iterdir():
        if source.suffix in (".py", ".pyi") or source.name == "py.typed":
            (package / source.name).write_bytes(source.read_bytes())
    (package / built[-1].name).symlink_to(built[-1].resolve())
    # The other extension modules of the package (_native), when built.
    for other in re.findall(r"^(\S*_native\S*\.so):", targets, re.M):
        (package / Path(other).name).symlink_to(Path(args.build, other).resolve())
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(package.parent), os.environ.get("PYTHONPATH", "")]),
               HYPOTHESIS_STORAGE_DIRECTORY=str(Path(scratch) / "hypothesis"))
    return env


def git_diff(tree):
    code, out, _ = shell(["git", "-C", str(tree), "diff", "HEAD"])
    return out if code == 0 else None


def build(args):
    return shell(["cmake", "--build", args.build, "-j", str(args.jobs)])


def try_mutant(args, src, mutant, env, clean_diff):
    began = time.monotonic()
    mapped = map_mutant(src, mutant)
    if mapped is None:
        return {"outcome": "unmapped"}
    path, original, changed, line = mapped
    result = {"mapped_to": path.relative_to(src).as_posix(), "planted": line}
    try:
        path.write_text(changed)
        code, out, result["build_s"] = build(args)
        if code != 0:
            result.update(outcome="stillborn", build_log=out[-2000:])
        else:
            verdict, where, timings = run_tests(args, env)
            result.update(outcome=verdict, killed_by=where, **timings)
    finally:
        path.write_text(original)
    if path.read_text() != original or git_diff(args.tree) != clean_diff:
        sys.exit(f"{mutant['id']}: the tree was not restored cleanly; stopping")
    result["total_s"] = round(time.monotonic() - began, 2)
    return result


def configure_and_build(args):
    """Configures and builds the unchanged tree; the seconds the build took."""
    configure = ["cmake", "-S", args.tree, "-B", args.build, "-G", "Ninja", "-DXRAY_BUILD_TESTS=ON",
                 "-DCMAKE_BUILD_TYPE=Release", f"-DPython_EXECUTABLE={args.python}"]
    configure += [f"-D{args.ext_option}=ON"] if args.ext_option else []
    # a cache turns the rebuild after each restore into hits; the objects are the same
    if args.ccache and not shutil.which("ccache"):
        sys.exit("--ccache: no ccache on PATH")
    configure += [f"-DCMAKE_CXX_COMPILER_LAUNCHER={'ccache' if args.ccache else ''}"]
    code, out, _ = shell(configure + args.cmake_arg)
    cache = Path(args.build, "CMakeCache.txt").read_text() if code == 0 else ""
    if not re.search(r"^FIND_PACKAGE_MESSAGE_DETAILS_Python:.*Development\.SABIModule", cache, re.M):
        sys.exit(f"configure failed or found no Python Development.SABIModule:\n{out[-3000:]}")
    code, out, build_s = build(args)
    if code != 0:
        sys.exit(f"the unchanged tree does not build:\n{out[-3000:]}")
    return build_s


def summarize(report):
    count = {o: sum(r["outcome"] == o for r in report["mutants"])
             for o in ("killed", "survived", "stillborn", "unmapped")}
    viable = count["killed"] + count["survived"]
    report["summary"] = {"planted": len(report["mutants"]), "viable": viable, **count}
    print(f"planted {len(report['mutants'])}, viable {viable}, killed {count['killed']}, "
          f"survived {count['survived']}")
    print(f"stillborn {count['stillborn']}, unmapped {count['unmapped']}")


def run(args):
    args.tree, args.build = str(Path(args.tree).resolve()), str(Path(args.build).resolve())
    src = Path(args.tree) / args.src
    mutants = json.loads(Path(args.mutants).read_text())
    mutants = [m for m in mutants if not args.ids or m["id"] in args.ids]
    clean_diff = git_diff(args.tree)
    build_s = configure_and_build(args)
    output = Path(args.output)
    with tempfile.TemporaryDirectory(prefix="plant-faults-") as scratch:
        env = test_env(args, scratch)
        args.limits = {"ctest": None, "pytest": None}
        verdict, where, timings = run_tests(args, env)
        if verdict != "survived":
            sys.exit(f"the unchanged tree fails its tests: {where}")
        # a suite that hangs is a kill; allow ten times its clean time, and two minutes
        args.limits = {suite: 120 + 10 * timings[f"{suite}_s"] for suite in args.limits}
        report = {"tree": args.tree, "baseline": {"build_s": build_s, **timings}, "mutants": []}
        for mutant in mutants:
            result = {**mutant, **try_mutant(args, src, mutant, env, clean_diff)}
            report["mutants"].append(result)
            print(f"{mutant['id']} {result['outcome']:9} {result.get('total_s', 0):7.1f}s "
                  f"{mutant['path']}:{mutant['line']} {mutant['operator']} "
                  f"{' '.join(result.get('killed_by', [])[:1])}", flush=True)
            output.write_text(json.dumps(report, indent=1) + "\n")
    build(args)  # leave the build matching the restored tree
    summarize(report)
    output.write_text(json.dumps(report, indent=1) + "\n")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    pick = sub.add_parser("select", help="draw mutants from the sources")
    pick.add_argument("--src", required=True)
    pick.add_argument("--seed", type=int, required=True)
    pick.add_argument("--count", type=int, required=True)
    pick.add_argument("--per-file", type=int, default=3)
    pick.add_argument("-o", "--output", required=True)
    go = sub.add_parser("run", help="plant the mutants one by one and run the tests")
    go.add_argument("--tree", required=True)
    go.add_argument("--mutants", required=True)
    go.add_argument("--build", required=True)
    go.add_argument("-o", "--output", required=True)
    go.add_argument("--ids", nargs="*")
    go.add_argument("--src", default="src", help="source folder, relative to the tree")
    go.add_argument("--ext-option", default="SKBUILD",
                    help="CMake switch set ON to build the extension ('' for none)")
    go.add_argument("--cmake-arg", action="append", default=[], help="extra configure argument")
    go.add_argument("--python", default=sys.executable, help="interpreter with pytest and hypothesis")
    go.add_argument("--jobs", type=int, default=2)
    go.add_argument("--ccache", action="store_true", help="compile through ccache")
    go.add_argument("--test-timeout", type=int, default=120, help="seconds per ctest test")
    go.add_argument("--hypothesis-seed", type=int, default=0)
    args = parser.parse_args(argv)
    select(args) if args.command == "select" else run(args)


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""Include check of the library's floors.

    check_floors.py FLOORS_FILE SOURCE_DIR
    check_floors.py --self-test

FLOORS_FILE is the list the configure step writes from
cmake/imgnormFloors.cmake: one line per floor, lowest first, the floor's name
then its files relative to SOURCE_DIR.  The check fails when

- a file of the library's folders (baseif/, pelfunc/, imgnorm/) is in no
  floor, or in two;
- a file of a floor includes a header of a higher floor;
- a file outside the library includes a header from a detail/ folder.  The
  one exception is a layer's unit tests: tests/baseif/ may include
  baseif/detail/, tests/pelfunc/ pelfunc/detail/, tests/imgnorm/
  imgnorm/detail/.  Everything else (the program, the Python binding, the
  adapters, examples, benchmarks, fuzz targets, other tests) sees only the
  public headers.
"""

import os
import re
import sys
import tempfile

LIBRARY_DIRS = ("baseif", "pelfunc", "imgnorm")
SOURCE_EXT = (".c", ".cc", ".cpp", ".cxx", ".h", ".hh", ".hpp")
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^">]+)[">]', re.M)


def read_floors(path):
    floors = []
    with open(path) as f:
        for line in f:
            words = line.split()
            if words:
                floors.append((words[0], words[1:]))
    return floors


def includes(root, rel):
    """The includes of a file that resolve to files of the tree, relative to root."""
    with open(os.path.join(root, rel), errors="replace") as f:
        text = f.read()
    for name in INCLUDE.findall(text):
        for base in (root, os.path.join(root, os.path.dirname(rel))):
            full = os.path.normpath(os.path.join(base, name))
            if os.path.isfile(full):
                yield os.path.relpath(full, root).replace(os.sep, "/")
                break


def source_files(root):
    for folder, dirs, files in os.walk(root):
        top = os.path.relpath(folder, root).split(os.sep)[0]
        dirs[:] = [d for d in dirs if not (folder == root and (d.startswith(".") or d.startswith("build")))]
        for name in files:
            if name.endswith(SOURCE_EXT):
                yield os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/"), top


def check(floors_file, root):
    problems = []
    floor_of = {}
    for rank, (floor, files) in enumerate(read_floors(floors_file)):
        for f in files:
            if f in floor_of:
                problems.append("%s: listed in floors %s and %s" % (f, floor_of[f][1], floor))
            floor_of[f] = (rank, floor)
    for rel, top in sorted(source_files(root)):
        in_library = top in LIBRARY_DIRS
        if in_library and rel not in floor_of:
            problems.append("%s: in no floor (add it to cmake/imgnormFloors.cmake)" % rel)
            continue
        for inc in includes(root, rel):
            if rel in floor_of and inc in floor_of and floor_of[inc][0] > floor_of[rel][0]:
                problems.append("%s (floor %s) includes %s of the higher floor %s"
                                % (rel, floor_of[rel][1], inc, floor_of[inc][1]))
            is_detail = "/detail/" in inc and inc.split("/")[0] in LIBRARY_DIRS
            if not in_library and is_detail and not rel.startswith("tests/%s/" % inc.split("/")[0]):
                problems.append("%s includes the library's internal header %s" % (rel, inc))
    return problems


def self_test():
    """Plants each kind of fault in a small tree and checks that exactly those are reported."""
    tree = {  # file: (floor or None, includes, reported)
        "baseif/low.h": ("base", ["baseif/high.h"], True),
        "baseif/high.h": ("imaging", ["baseif/low.h"], False),
        "baseif/detail/k.h": ("base", [], False),
        "pelfunc/p.cpp": ("pelfunc", ["baseif/detail/k.h", "baseif/high.h"], False),
        "imgnorm/t.cpp": ("tool", ["pelfunc/detail/q.h", "../baseif/low.h"], False),
        "pelfunc/detail/q.h": ("pelfunc", ["imgnorm/t.h"], True),
        "imgnorm/t.h": ("tool", [], False),
        "imgnorm/unlisted.cpp": (None, [], True),
        "cli/x.cpp": (None, ["baseif/detail/k.h"], True),
        "cli/y.cpp": (None, ["baseif/high.h", "imgnorm/t.h"], False),
        "bench/b.cpp": (None, ["../baseif/detail/k.h"], True),
        "tests/baseif/t.cpp": (None, ["baseif/detail/k.h"], False),
        "tests/pelfunc/t.cpp": (None, ["baseif/detail/k.h"], True),
        "tests/fuzz/f.cpp": (None, ["pelfunc/detail/q.h"], True),
        "python/src/m.cpp": (None, ["<pelfunc/detail/q.h>"], True),
    }
    with tempfile.TemporaryDirectory() as root:
        floors = {"base": [], "imaging": [], "pelfunc": [], "tool": []}
        for rel, (floor, incs, _) in tree.items():
            os.makedirs(os.path.join(root, os.path.dirname(rel)), exist_ok=True)
            with open(os.path.join(root, rel), "w") as f:
                f.writelines("#include %s\n" % (i if i.startswith("<") else '"%s"' % i) for i in incs)
            if floor:
                floors[floor].append(rel)
        floors_file = os.path.join(root, "floors.txt")
        with open(floors_file, "w") as f:
            f.writelines("%s %s\n" % (k, " ".join(v)) for k, v in floors.items())
        reported = {p.split(" ")[0].rstrip(":") for p in check(floors_file, root)}
    expected = {rel for rel, (_, _, bad) in tree.items() if bad}
    if reported != expected:
        print("self-test: missed %s, wrongly reported %s" % (sorted(expected - reported), sorted(reported - expected)))
        return 1
    print("self-test: every planted fault reported, nothing else")
    return 0


def main(argv):
    if argv[1:] == ["--self-test"]:
        return self_test()
    if len(argv) != 3:
        print(__doc__)
        return 2
    problems = check(argv[1], argv[2])
    for p in problems:
        print(p)
    if not problems:
        print("floors: every include goes to its own floor or one below; detail headers stay inside")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

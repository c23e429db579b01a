#!/usr/bin/python3
"""Include check of the library's floors and of the program's rooms.

    check_floors.py FLOORS_FILE SOURCE_DIR
    check_floors.py --rooms ROOMS_FILE SOURCE_DIR
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

With --rooms, ROOMS_FILE is the list cli/CMakeLists.txt writes
(<build>/imgnorm_cli_rooms.txt) in the same form: the program's rooms, lowest
first.  Every file under cli/ must be in one room, and no file of a room may
include a header of a higher room; includes are resolved from cli/ too
("io/image_io.h").
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


def includes(root, rel, include_dirs=()):
    """The includes of a file that resolve to files of the tree, relative to root."""
    with open(os.path.join(root, rel), errors="replace") as f:
        text = f.read()
    bases = [root, os.path.join(root, os.path.dirname(rel))] + [os.path.join(root, d) for d in include_dirs]
    for name in INCLUDE.findall(text):
        for base in bases:
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


def check(floors_file, root, rooms=False):
    """Library floors, or with rooms the program's rooms (folder cli/, includes from cli/, no detail rule)."""
    word, where, dirs = ("room", "cli/CMakeLists.txt", ("cli",)) if rooms else \
        ("floor", "cmake/imgnormFloors.cmake", LIBRARY_DIRS)
    problems = []
    floor_of = {}
    for rank, (floor, files) in enumerate(read_floors(floors_file)):
        for f in files:
            if f in floor_of:
                problems.append("%s: listed in %ss %s and %s" % (f, word, floor_of[f][1], floor))
            floor_of[f] = (rank, floor)
    for rel, top in sorted(source_files(root)):
        in_library = top in LIBRARY_DIRS
        if top in dirs and rel not in floor_of:
            problems.append("%s: in no %s (add it to %s)" % (rel, word, where))
            continue
        for inc in includes(root, rel, dirs if rooms else ()):
            if rel in floor_of and inc in floor_of and floor_of[inc][0] > floor_of[rel][0]:
                problems.append("%s (%s %s) includes %s of the higher %s %s"
                                % (rel, word, floor_of[rel][1], inc, word, floor_of[inc][1]))
            if rooms:
                continue
            is_detail = "/detail/" in inc and inc.split("/")[0] in LIBRARY_DIRS
            if not in_library and is_detail and not rel.startswith("tests/%s/" % inc.split("/")[0]):
                problems.append("%s includes the library's internal header %s" % (rel, inc))
    return problems


def run_tree(tree, levels, rooms):
    """Writes tree (file: (level or None, includes, _)) to a temporary folder; the files check() reports."""
    with tempfile.TemporaryDirectory() as root:
        floors = {k: [] for k in levels}
        for rel, (floor, incs, _) in tree.items():
            os.makedirs(os.path.join(root, os.path.dirname(rel)), exist_ok=True)
            with open(os.path.join(root, rel), "w") as f:
                f.writelines("#include %s\n" % (i if i.startswith("<") else '"%s"' % i) for i in incs)
            if floor:
                floors[floor].append(rel)
        floors_file = os.path.join(root, "floors.txt")
        with open(floors_file, "w") as f:
            f.writelines("%s %s\n" % (k, " ".join(v)) for k, v in floors.items())
        return {p.split(" ")[0].rstrip(":") for p in check(floors_file, root, rooms)}


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
    reported = run_tree(tree, ["base", "imaging", "pelfunc", "tool"], False)
    expected = {rel for rel, (_, _, bad) in tree.items() if bad}
    rooms = {  # the program's rooms: includes from cli/, a file in no room, an include going up
        "cli/common/e.h": ("common", [], False),
        "cli/io/i.h": ("io", ["common/e.h", "baseif/high.h"], False),
        "cli/io/up.cpp": ("io", ["app/a.h"], True),
        "cli/report.cpp": ("report", ["i.h", "io/i.h"], False),
        "cli/app/a.h": ("app", ["../io/i.h", "report.cpp"], False),
        "cli/app/lost.cpp": (None, ["io/i.h"], True),
        "cli/common/e.cpp": ("common", ["report.cpp"], True),
    }
    reported_rooms = run_tree(rooms, ["common", "io", "report", "batch", "app"], True)
    expected_rooms = {rel for rel, (_, _, bad) in rooms.items() if bad}
    ok = True
    for what, exp, rep in (("floors", expected, reported), ("rooms", expected_rooms, reported_rooms)):
        if rep != exp:
            print("self-test (%s): missed %s, wrongly reported %s" % (what, sorted(exp - rep), sorted(rep - exp)))
            ok = False
    if not ok:
        return 1
    print("self-test: every planted fault reported, nothing else")
    return 0


def main(argv):
    if argv[1:] == ["--self-test"]:
        return self_test()
    rooms = argv[1:2] == ["--rooms"]
    args = argv[2:] if rooms else argv[1:]
    if len(args) != 2:
        print(__doc__)
        return 2
    problems = check(args[0], args[1], rooms)
    for p in problems:
        print(p)
    if not problems:
        print("rooms: every include goes to its own room or one below" if rooms else
              "floors: every include goes to its own floor or one below; detail headers stay inside")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

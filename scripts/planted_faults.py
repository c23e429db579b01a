#!/usr/bin/python3
"""Planted faults: does the test suite catch them?

Plants each fault of FAULTS (one small edit of a library, program or Python
source) in turn, builds the targets the suites need, runs the suites that
could catch it (cheapest first, up to the first that fails) and restores the
file.  A fault is caught when a suite fails.  Run by hand, not in CI: it
rebuilds once per fault.  To compare two versions of the tests, run it on a
copy of each tree (git archive into build-*/src, configured like build/): the
library objects come from ccache the second time.

    scripts/planted_faults.py [--source DIR] [--build DIR] [--only ID,...] [--out FILE]

Compare two runs (say before and after a change of the tests) with
    scripts/planted_faults.py --compare BEFORE.json AFTER.json
"""
import argparse
import json
import os
import subprocess
import sys
import time

# Suites: the targets to build and the command to run (from the build folder).
SUITES = {
    "pel": (["test_pelfunc"], [["tests/test_pelfunc"]]),
    "tool": (["test_imgnorm"], [["tests/test_imgnorm"]]),
    "base": (["test_baseif"], [["tests/test_baseif"]]),
    "cli": (["test_cli"], [["cli/test_cli"]]),
    "e2e": (["imgnorm_cli", "cli_fixtures"], [["ctest", "-R", "^cli_end_to_end$", "--timeout", "900"]]),
    # The package's tests but the install, README and stub checks (the program
    # is built for the tests that share tool files with it).
    "py": (["imgnorm_python", "imgnorm_cli"],
           [["ctest", "-R", "^python_test_", "-E", "_(install|readme|stubs)$", "-j2", "--timeout", "600"]]),
}
BASE = ["tool", "base"]  # a fault of the base layer: its own tests and the tool's
PEL = ["pel", "tool"]
TOOL = ["tool"]
CLI = ["cli", "e2e"]

# (id, file, text, replacement, suites).  The text occurs exactly once.
FAULTS = [
    # baseif/
    ("archive-bool", "baseif/mxArchive.cpp", "if (b > 1) throw", "if (b > 2) throw", BASE),
    ("archive-neg-height", "baseif/mxArchive.cpp", "if (w < 0 || h < 0) throw mxArchive::BadData",
     "if (w < 0) throw mxArchive::BadData", BASE),
    ("archive-nonfinite-xform", "baseif/mxArchive.cpp",
     "determinant() == 0.0 || !std::isfinite(xf.matrix().determinant())", "determinant() == 0.0", BASE),
    ("archive-big-endian", "baseif/mxArchive.cpp", "b[i] = static_cast<unsigned char>(v >> (8 * i));",
     "b[i] = static_cast<unsigned char>(v >> (8 * (sizeof(U) - 1 - i)));", BASE),
    ("archive-no-temp-rename", "baseif/mxArchive.cpp",
     "const std::string tmp = path + \".tmp\" + std::to_string(::getpid()) + \"-\" + "
     "std::to_string(counter.fetch_add(1));",
     "const std::string tmp = path;", BASE),
    ("pelbuffer-negative-size", "baseif/mxPelBuffer.cpp",
     "if (w < 0 || h < 0) throw mxPel::BadWindow(L\"pixel buffer size is negative\");\n  if (rb",
     "if (w < 0) throw mxPel::BadWindow(L\"pixel buffer size is negative\");\n  if (rb", BASE),
    ("pelbuffer-window-outside", "baseif/mxPelBuffer.cpp",
     "if (part.isNull()) throw mxPel::BadWindow", "if (false) throw mxPel::BadWindow", BASE),
    # pelfunc/
    ("smooth-last-divisor", "pelfunc/mf_Neighborhood.cpp", "vertical<NV>(a, b, w - 1)) / (5 + NV));",
     "vertical<NV>(a, b, w - 1)) / (6 + NV));", PEL),
    ("morph-loop-bound", "pelfunc/mf_Neighborhood.cpp",
     "for (std::int32_t i = 1; i < w - 1; ++i)\n    out[i] = combine<Or>",
     "for (std::int32_t i = 1; i < w - 2; ++i)\n    out[i] = combine<Or>", PEL),
    ("masked-copy-inverted", "pelfunc/mf_MaskedPel.cpp",
     "const unsigned char k = static_cast<unsigned char>(-(m[i] == 0));",
     "const unsigned char k = static_cast<unsigned char>(-(m[i] != 0));", PEL),
    ("masked-histogram-no-mask", "pelfunc/mf_MaskedPel.cpp", "  h[0] -= excluded;\n", "\n", PEL),
    # imgnorm/
    ("local-output-offset", "imgnorm/localCorrection.cpp",
     "const std::int32_t v = std::int32_t(img) - estimate + 128;",
     "const std::int32_t v = std::int32_t(img) - estimate + 127;", TOOL),
    ("local-median-range", "imgnorm/localCorrection.cpp", "std::int64_t(range.x()) + 128, 0",
     "std::int64_t(range.x()) + 129, 0", TOOL),
    ("local-median-area", "imgnorm/localCorrection.cpp", "constexpr std::int64_t kMedianArea = 32767;",
     "constexpr std::int64_t kMedianArea = 32769;", TOOL),
    ("local-mean-rounding", "imgnorm/localCorrection.cpp", "l[i] + 128u) >> 8;", "l[i]) >> 8;", TOOL),
    # (Validated tail fractions are never negative: this one cannot show.)
    ("global-rounding", "imgnorm/globalMapping.cpp", "return static_cast<std::int32_t>(v >= 0 ? v + 0.5 : v - 0.5);",
     "return static_cast<std::int32_t>(v >= 0 ? v + 0.5 : v);", TOOL),
    ("toolfile-no-crc", "imgnorm/mxToolFile.cpp", "if (crc32(data + kHeaderSize, std::size_t(length)) != ",
     "if (false && crc32(data + kHeaderSize, std::size_t(length)) != ", TOOL + ["e2e"]),
    ("toolfile-trailing-bytes", "imgnorm/mxToolFile.cpp", "if (present > length)", "if (present > length + 1)", TOOL),
    # cli/
    ("plan-no-overwrite-refusal", "cli/batch/batch.cpp", "if (in != inputKeys.end() && !inPlace)\n",
     "if (false && in != inputKeys.end() && !inPlace)\n", CLI),
    ("plan-pages-refusal", "cli/batch/batch.cpp", "if (pages > 1)", "if (pages > 2)", CLI),
    ("plan-duplicate-output", "cli/batch/batch.cpp", "if (!fresh)\n      throw CliError(kExitUsage, it.output",
     "if (false)\n      throw CliError(kExitUsage, it.output", CLI),
    ("plan-several-inputs", "cli/batch/batch.cpp", "if (isWritableName(output) && !singleFile)",
     "if (isWritableName(output) && !singleFile && inputs.size() > 2)", CLI),
    ("identity-by-name", "cli/common/file_util.cpp", "if (::stat(path.c_str(), &st) == 0)\n",
     "if (::lstat(path.c_str(), &st) == 0 && false)\n", CLI),
    ("scan-hidden-taken", "cli/batch/batch.cpp", "else if (name[0] == '.')", "else if (name[0] == '#')",
     CLI),
    ("refuse-overwrite-skipped", "cli/batch/batch.cpp", "  if (inPlace) return;\n  const std::string key",
     "  if (true) return;\n  const std::string key", CLI),
    ("warn-neighborhood-bound", "cli/batch/batch.cpp", "if (std::max(n.x(), n.y()) < shorter) return;",
     "if (std::max(n.x(), n.y()) <= shorter) return;", CLI),
    ("warn-histogram-ratio", "cli/batch/batch.cpp", "if (std::fabs(ratio - 1.0) > 0.01)",
     "if (std::fabs(ratio - 1.0) > 0.6)", CLI),
    ("warn-overlap-height", "cli/batch/batch.cpp",
     "if (covered.width() < image.width() || covered.height() < image.height())",
     "if (covered.width() < image.width())", CLI),
    ("warnings-repeat", "cli/common/warnings.cpp", "  if (!fresh) return;\n", "\n", CLI),
    ("commit-no-mode", "cli/common/file_util.cpp", "if (::fchmod(fd_, st.st_mode & 07777) != 0)",
     "if (false && ::fchmod(fd_, st.st_mode & 07777) != 0)", CLI),
    ("sweep-ignores-lock", "cli/common/file_util.cpp", "if (::flock(f.fd, LOCK_EX | LOCK_NB) != 0) continue;",
     "", CLI),
    ("options-empty-method", "cli/common/options.cpp", "else if (item.empty())", "else if (false)", CLI),
    ("main-parse-exit", "cli/app/main.cpp", "(see imgnorm --help)\\n\";\n    return kExitUsage;",
     "(see imgnorm --help)\\n\";\n    return kExitInput;", ["e2e"]),
    ("stats-csv-quote", "cli/report/stats.cpp", "c == '\"' ? std::string(\"\\\"\\\"\")",
     "c == '\"' ? std::string(\"\\\"\")", CLI),
    ("luma-weights", "cli/io/image_io.cpp",
     "d[x] = scale[(299u * s[0] + 587u * s[1] + 114u * s[2] + 500u) / 1000u];",
     "d[x] = scale[(114u * s[0] + 587u * s[1] + 299u * s[2] + 500u) / 1000u];", CLI),
    ("pgm-maxval-rounding", "cli/io/image_io.cpp", "(v * 510 + maxval) / (2 * maxval)", "(v * 510) / (2 * maxval)",
     CLI),
    ("tiff-16-rounding", "cli/io/codec_tiff.cpp", "(v * 255u + 32767u) / 65535u", "(v * 255u) / 65535u",
     CLI),
    # python/
    ("py-halo-swapped", "python/imgnorm/dask.py", "depth={0: hy, 1: hx}", "depth={0: hx, 1: hy}", ["py"]),
    ("py-channels-check", "python/imgnorm/__init__.py", "if image_c.shape[-1] != reference_c.shape[-1]:",
     "if False:", ["py"]),
    ("py-channels-axis-back", "python/imgnorm/__init__.py",
     "return _np.ascontiguousarray(_np.moveaxis(out, -1, channel_axis))", "return _np.ascontiguousarray(out)",
     ["py"]),
    ("py-normalize-old-order", "python/imgnorm/__init__.py", "reference, image = image, args[0]",
     "reference, image = args[0], image", ["py"]),
    ("py-normalize-unknown-name", "python/imgnorm/__init__.py",
     "unknown = sorted(set(parameters) - set(_PARAMETERS))", "unknown = []", ["py"]),
    ("py-dask-mode-lost", "python/imgnorm/dask.py", "os.chmod(temporary, stat.S_IMODE(old.st_mode))",
     "os.chmod(temporary, 0o644)", ["py"]),
    ("py-dask-claim-unchecked", "python/imgnorm/dask.py", "if there < size:", "if there < 0:", ["py"]),
    ("py-dask-in-place-ignored", "python/imgnorm/dask.py", "if key in inputs and not in_place:",
     "if key in inputs and in_place:", ["py"]),
    ("py-error-class", "python/src/errors.cpp", '{typeid(mxArchive::Truncated), "Truncated"},',
     '{typeid(mxArchive::Truncated), "BadData"},', ["py"]),
    ("py-run-holds-gil", "python/src/normalizer.cpp",
     "    py::gil_scoped_release nogil;\n    std::shared_lock<std::shared_mutex> hold(n.lock);\n    const ToolOf<T>",
     "    std::shared_lock<std::shared_mutex> hold(n.lock);\n    const ToolOf<T>", ["py"]),
    ("py-warn-ratio", "python/src/normalizer.cpp", "if (std::fabs(ratio - 1.0) > 0.01) {",
     "if (std::fabs(ratio - 1.0) > 0.6) {", ["py"]),
    ("py-pickle-bits-dropped", "python/src/normalizer.cpp",
     "return n.deep ? py::make_tuple(toBytes(n), 16) : py::make_tuple(toBytes(n));",
     "return py::make_tuple(toBytes(n));", ["py"]),
    ("py-trailing-bytes", "python/src/normalizer.cpp", "if (ar.remaining() != 0) throw",
     "if (ar.remaining() > 1) throw", ["py"]),
]


def run(cmd, cwd, timeout):
    try:
        r = subprocess.run(cmd, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=timeout)
        return r.returncode == 0
    except subprocess.TimeoutExpired:
        return False


def build(build_dir, targets):
    return run(["cmake", "--build", build_dir, "-j2", "--target"] + targets, build_dir, 3600)


def suite_passes(build_dir, suite):
    targets, commands = SUITES[suite]
    if not build(build_dir, targets):
        return False
    return all(run(c, build_dir, 1200) for c in commands)


def check_faults(source):
    bad = []
    for fid, rel, old, new, _ in FAULTS:
        with open(os.path.join(source, rel)) as f:
            n = f.read().count(old)
        if n != 1:
            bad.append("%s: %s holds the text %d times" % (fid, rel, n))
    return bad


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--source", default=os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    ap.add_argument("--build", default=None)
    ap.add_argument("--only", default="")
    ap.add_argument("--out", default="planted_faults.json")
    ap.add_argument("--compare", nargs=2)
    a = ap.parse_args()
    if a.compare:
        before, after = (json.load(open(p)) for p in a.compare)
        lost = 0
        print("%-28s %-30s %-7s %-7s" % ("fault", "where", "before", "after"))
        for fid, rel, _, _, _ in FAULTS:
            b, c = before.get(fid), after.get(fid)
            mark = lambda r: "-" if r is None else ("caught" if r["caught"] else "MISSED")
            print("%-28s %-30s %-7s %-7s" % (fid, rel, mark(b), mark(c)))
            lost += bool(b and b["caught"] and not (c and c["caught"]))
        print("faults caught before and missed after: %d" % lost)
        return 1 if lost else 0
    source = os.path.abspath(a.source)
    build_dir = os.path.abspath(a.build or os.path.join(source, "build"))
    problems = check_faults(source)
    if problems:
        print("\n".join(problems))
        return 2
    only = set(filter(None, a.only.split(",")))
    results = json.load(open(a.out)) if os.path.exists(a.out) else {}
    # The suites must pass unchanged first, or a failure says nothing (those
    # of the chosen faults only).
    for suite in sorted({s for f in FAULTS if not only or f[0] in only for s in f[4]}):
        if not suite_passes(build_dir, suite):
            print("suite %s fails without a planted fault" % suite)
            return 2
    for fid, rel, old, new, suites in FAULTS:
        if only and fid not in only:
            continue
        path = os.path.join(source, rel)
        with open(path) as f:
            original = f.read()
        start = time.time()
        try:
            with open(path, "w") as f:
                f.write(original.replace(old, new))
            if not build(build_dir, sorted({t for s in suites for t in SUITES[s][0]})):
                failed = ["build"]  # the fault itself does not compile: fix the list
            else:  # the first suite that fails catches it
                failed = next(([s] for s in suites if not suite_passes(build_dir, s)), [])
        finally:
            with open(path, "w") as f:
                f.write(original)
        results[fid] = {"file": rel, "caught": bool(failed), "by": failed, "seconds": round(time.time() - start)}
        print("%-28s %-30s %s %s" % (fid, rel, "caught" if failed else "MISSED", ",".join(failed)), flush=True)
        with open(a.out, "w") as f:
            json.dump(results, f, indent=1)
    # Back to the sources as they are.
    build(build_dir, sorted({t for f in FAULTS if not only or f[0] in only for s in f[4] for t in SUITES[s][0]}))
    return 0


if __name__ == "__main__":
    sys.exit(main())

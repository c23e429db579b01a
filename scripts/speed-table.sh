#!/usr/bin/env bash
# Regenerates the speed table of docs/guide/speed.md (between its
# "speed-table" markers): builds bench/bench_table for this tree and for a
# baseline commit, runs the two interleaved for a number of rounds (the order
# alternating each round), and writes each case's best ns/pel on both sides,
# their ratio and the processor that measured them.  Each processor (its
# name, family and model, and the instruction-set path the library takes on
# it) has a table of its own: a run replaces its processor's table and keeps
# the others, so that figures of different machines are never mixed.  Run it
# on an otherwise idle machine: the table records the load average before
# and after.
#
#   bash scripts/speed-table.sh [--base REF] [--rounds N] [--min-time S] [--print]
#
# --base REF   the baseline (default HEAD^, i.e. the main before the last merge)
# --rounds N   interleaved rounds (default 3); each case's best is kept
# --min-time S Google Benchmark's minimum time per case (default 0.3 s)
# --print      print the table instead of writing it into the docs
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
base=HEAD^ rounds=3 mintime=0.3 print=0
while (($#)); do
  case "$1" in
    --base) base=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --min-time) mintime=$2; shift 2 ;;
    --print) print=1; shift ;;
    *) echo "speed-table.sh: unknown option $1 (see the script's head)" >&2; exit 2 ;;
  esac
done
base_sha=$(git rev-parse --verify "$base^{commit}")
head_sha=$(git rev-parse --short HEAD)
[[ -z "$(git status --porcelain --untracked-files=no)" ]] || head_sha="$head_sha+changes"

bash scripts/deps.sh
work=$(mktemp -d "${TMPDIR:-/tmp}/imgnorm-speed.XXXXXX")
trap 'rm -rf "$work"' EXIT

build() {  # build <source dir> <build dir>
  cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release -DIMGNORM_BUILD_BENCH=ON -DIMGNORM_BUILD_TESTS=OFF \
        -DIMGNORM_BUILD_CLI=OFF -DIMGNORM_BUILD_EXAMPLES=OFF -DIMGNORM_BUILD_PYTHON=OFF >/dev/null
  cmake --build "$2" -j"$(nproc)" --target bench_table >/dev/null
}
# The baseline's tree, with this tree's table cases (they use only API that
# both sides have).
mkdir "$work/base"
git archive "$base_sha" | tar -x -C "$work/base"
cp bench/bench_table.cpp bench/benchImages.h "$work/base/bench/"
echo "Building this tree ($head_sha) and the baseline (${base_sha:0:7})" >&2
build "$root" "$root/build-bench"
build "$work/base" "$work/base/build"

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
for ((r = 0; r < rounds; ++r)); do
  order=(now base)
  ((r % 2)) && order=(base now)
  for side in "${order[@]}"; do
    exe="$root/build-bench/bench/bench_table"
    [[ $side == base ]] && exe="$work/base/build/bench/bench_table"
    echo "round $((r + 1))/$rounds: $side" >&2
    "$exe" --benchmark_min_time="$mintime" --benchmark_format=json --benchmark_out_format=json \
           --benchmark_out="$work/$side.$r.json" >/dev/null
  done
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')
family=$(grep -m1 'cpu family' /proc/cpuinfo | cut -d: -f2 | tr -d ' ')
model=$(grep -m1 -E '^model\s*:' /proc/cpuinfo | cut -d: -f2 | tr -d ' ')
isa=$(grep -qw avx512bw /proc/cpuinfo && echo AVX-512 || (grep -qw avx2 /proc/cpuinfo && echo AVX2 || echo SSE))
mhz=$(awk -F: '/cpu MHz/ {printf "%.0f", $2; exit}' /proc/cpuinfo)
export WORK=$work ROUNDS=$rounds PRINT=$print BASE="${base_sha:0:7}" HEAD_SHA=$head_sha \
       CPU="$cpu, $(nproc) cores, ${mhz} MHz, $isa" PROCESSOR="$cpu (family $family, model $model), $isa" LOAD_BEFORE=$load_before LOAD_AFTER=$load_after
/usr/bin/python3 - <<'EOF'
import glob, json, os, re, datetime

def best(side):
    out = {}  # in the benchmark's own order of cases
    for f in sorted(glob.glob(os.path.join(os.environ["WORK"], side + ".*.json"))):
        for b in json.load(open(f))["benchmarks"]:
            if "ns/pel" in b:
                key = (b["name"], b.get("label", ""))
                out[key] = min(out.get(key, float("inf")), b["ns/pel"])
    return out

now, base = best("now"), best("base")
cpu, processor = os.environ["CPU"], os.environ["PROCESSOR"]
def size(name):
    m = re.search(r"BM_Table(?:Deep)?/(\d+)/", name)
    return "%d²" % int(m.group(1)) if m else "8192²"
lines = [
    "Measured %s on %s: this tree (%s) against %s, %s interleaved rounds, best of each; "
    "load average %s before, %s after."
    % (datetime.date.today().isoformat(), cpu, os.environ["HEAD_SHA"], os.environ["BASE"],
       os.environ["ROUNDS"], os.environ["LOAD_BEFORE"], os.environ["LOAD_AFTER"]),
    "",
    "| job | image | processor | %s ns/pel | ns/pel now | now / before |" % os.environ["BASE"],
    "|---|---|---|---|---|---|",
]
for key in now:
    b = base.get(key)
    lines.append("| %s | %s | %s | %s | %.3f | %s |" % (
        key[1], size(key[0]), processor, "%.3f" % b if b else "–", now[key],
        "%.2f" % (now[key] / b) if b else "–"))
one = {k[1].replace(" threads 1", ""): v for k, v in now.items() if k[1].endswith("threads 1")}
speedups = ["%s %.2fx" % (k[1].replace(" threads 2", ""), one[k[1].replace(" threads 2", "")] / v)
            for k, v in now.items() if k[1].endswith("threads 2") and k[1].replace(" threads 2", "") in one]
if speedups:
    lines += ["", "Two threads against one on the 8192² image (now): " + ", ".join(speedups) + "."]
# The 16-bit tool (rows labelled "... 16-bit" and "... 12-bit") against the
# 8-bit case of the same label and image, with the cost each may reach.
deep = {}
for key, v in now.items():
    m = re.match(r"(.*) (16|12)-bit$", key[1])
    if m:
        deep.setdefault((m.group(1), size(key[0])), {})[m.group(2)] = v
eight = {(k[1], size(k[0])): v for k, v in now.items() if k[0].startswith("BM_Table/")}
targets = {"histogram": 2, "mean-stddev": 2, "tails": 2, "linear-fit": 3, "local-mean": 2, "local-median": 3}
if deep:
    lines += ["", "The 16-bit tool at depths 16 and 12 on the same images (their low bits filled, the run-time image's "
              "independently of the reference's), against 8 bits (now):",
              "", "| job | image | 8-bit ns/pel | 16-bit ns/pel | 16 / 8 | 12-bit ns/pel | 12 / 8 | at most |",
              "|---|---|---|---|---|---|---|---|"]
    for (job, img), d in deep.items():
        b = eight.get((job, img))
        cells = []
        for depth in ("16", "12"):
            v = d.get(depth)
            cells += ["%.3f" % v if v else "–", "%.2f" % (v / b) if v and b else "–"]
        lines.append("| %s | %s | %s | %s | %s |" % (
            job, img, "%.3f" % b if b else "–", " | ".join(cells), "%dx" % targets.get(job.split(" ")[0], 0)))
table = "\n".join(lines)
if os.environ["PRINT"] == "1":
    print(table)
else:
    # The processor's table replaces its own, else follows the last one.
    path = "docs/guide/speed.md"
    text = open(path).read()
    begin, end = "<!-- speed-table:begin %s -->" % processor, "<!-- speed-table:end %s -->" % processor
    block = begin + "\n" + table + "\n" + end
    if begin in text and end in text:
        head, rest = text.split(begin, 1)
        text = head + block + rest.split(end, 1)[1]
    else:
        ends = [m.end() for m in re.finditer(r"<!-- speed-table:end [^>]*-->", text)]
        if not ends:
            raise SystemExit("speed-table.sh: %s has no <!-- speed-table:end ... --> marker to follow" % path)
        text = text[:ends[-1]] + "\n\n" + block + text[ends[-1]:]
    open(path + ".tmp", "w").write(text)
    os.replace(path + ".tmp", path)
    print("wrote the table into " + path)
EOF

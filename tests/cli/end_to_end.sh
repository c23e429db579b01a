#!/usr/bin/env bash
# End-to-end test of the imgnorm program: every subcommand, exit codes and one-line errors.
# Usage: end_to_end.sh IMGNORM MAKE_FIXTURES DATA_DIR WORK_DIR
set -u
IMGNORM=$1
MAKE_FIXTURES=$2
DATA=$3
W=$4

rm -rf "$W"
mkdir -p "$W/fx"
"$MAKE_FIXTURES" "$W/fx" || { echo "cannot make fixtures"; exit 1; }
cd "$W" || exit 1

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# check CODE STDERR_PART -- ARGS...: runs imgnorm, checks the exit code and
# that standard error holds STDERR_PART (when not empty) on exactly one line.
check() {
  local want=$1 part=$2
  shift 3
  "$IMGNORM" "$@" >out.txt 2>err.txt
  local got=$?
  if [[ $got -ne $want ]]; then
    fail "imgnorm $* -> exit $got, expected $want; stderr: $(cat err.txt)"
    return
  fi
  if [[ -n $part ]]; then
    if ! grep -qF -- "$part" err.txt; then
      fail "imgnorm $*: stderr lacks '$part': $(cat err.txt)"
    elif [[ $(wc -l <err.txt) -ne 1 && $want -ne 1 && $want -ne 3 ]] || ! grep -q '^imgnorm: ' err.txt; then
      fail "imgnorm $*: expected one 'imgnorm: ' error line, got: $(cat err.txt)"
    fi
  fi
}
expect_file() { for f; do [[ -s $f ]] || fail "missing output $f"; done; }
expect_no_file() { for f; do [[ ! -e $f ]] || fail "unexpected output $f"; done; }
expect_out() { grep -qF -- "$1" out.txt || fail "stdout lacks '$1': $(cat out.txt)"; }
no_temporaries() {
  local left
  left=$(find "$@" -name '.*tmp*' 2>/dev/null)
  [[ -z $left ]] || fail "temporary files left behind: $left"
}

cp "$DATA/camera.png" "$DATA/coins.png" "$DATA/text.png" .

# ---- help, version, usage errors (exit 2) ----
check 0 "" -- --help
expect_out "train"; expect_out "demo"; expect_out "Exit codes:"
for sub in train normalize info demo run; do check 0 "" -- "$sub" --help; expect_out "--"; done
expect_out "local-median"; expect_out "--jobs"  # run's
check 0 "" -- --version
expect_out "imgnorm "
check 2 "imgnorm: " --
check 2 "--bogus" -- run tool.imn camera.png --method histogram -o out --bogus
check 2 "--method" -- run tool.imn camera.png -o out
check 2 "--reference" -- train -o t.imn

# ---- train -> info -> run round trip ----
check 0 "" -- train -r camera.png -o tool.imn
expect_file tool.imn
expect_out "trained histogram, mean-stddev, tails, linear-fit, local-mean, local-median"
check 0 "" -- info tool.imn
expect_out "trained methods:   histogram, mean-stddev, tails, linear-fit, local-mean, local-median"
expect_out "reference image:   512 x 512"
expect_out "mask image:        none"
expect_out "neighborhood:      101 x 101"

check 0 "" -- train -r camera.png -m fx/mask.pgm --methods histogram,local-median --methods tails \
  --tail-fractions 0.05,0.95 --neighborhood 31x21 --granularity 2 --intensity-range=-60,50 --keep-masked \
  -o sub/masked.imn
check 0 "" -- info sub/masked.imn
expect_out "trained methods:   histogram, tails, local-median"
expect_out "512 x 512 pels, 252144 selected (96.2 %)"
expect_out "tail fractions:    0.05, 0.95"
expect_out "neighborhood:      31 x 21"
expect_out "granularity:       2 x 2"
expect_out "intensity range:   -60, 50"
expect_out "keep masked pels:  yes"

for m in identity histogram mean-stddev tails linear-fit local-mean local-median local-gain local-linear; do
  check 0 "" -- run tool.imn --method "$m" coins.png -o "rt/coins-$m.png"
  expect_file "rt/coins-$m.png"
  expect_out "1 of 1 image normalized with $m"
done
[[ -s err.txt ]] && fail "stderr not empty on success when not a terminal: $(cat err.txt)"
check 2 "is not trained for it" -- run sub/masked.imn --method local-mean camera.png -o x.png
# The one-shot form gives the same result, on any number of threads.
for m in histogram linear-fit local-mean; do
  check 0 "" -- run tool.imn --method "$m" text.png -o "cmp/run-$m.pgm" --threads 1
  check 0 "" -- normalize -r camera.png --method "$m" text.png -o "cmp/norm-$m.pgm" --threads 2
  cmp -s "cmp/run-$m.pgm" "cmp/norm-$m.pgm" || fail "run --threads 1 and normalize --threads 2 differ for $m"
done

# ---- batches: folders, several threads, going on past bad images ----
mkdir -p batch
cp camera.png coins.png text.png batch/
head -c 5000 camera.png >batch/broken.png
cp fx/rgb.png batch/zcolour.png
echo "not an image" >batch/notes.txt
check 3 "batch/broken.png" -- run tool.imn --method local-mean batch -o out1
expect_out "3 of 5 images normalized with local-mean, 0 soft failures, 2 errors"
[[ $(cat out.txt err.txt | grep -c "broken.png") -eq 1 ]] || fail "a batch error not printed exactly once"
grep -qF "batch/zcolour.png" err.txt || fail "colour image in batch not reported: $(cat err.txt)"
expect_file out1/{camera,coins,text}.png
expect_no_file out1/broken.png out1/zcolour.png
check 3 "" -- run tool.imn --method local-mean batch --jobs 3 --format pgm -o out3
for f in camera coins text; do  # three threads give what one gave
  check 0 "" -- run tool.imn --method identity "out1/$f.png" -o "cmp3/$f.pgm"
  cmp -s "cmp3/$f.pgm" "out3/$f.pgm" || fail "--jobs 3 changed $f"
done
check 3 "no-such-folder" -- run tool.imn --method histogram no-such-folder -o nsf

# ---- per-image statistics: one record per input, the failed ones too ----
echo "a file" >plainfile
check 3 "" -- run tool.imn --method local-mean batch --stats st.csv -o out_st
check 3 "" -- run tool.imn --method local-mean batch --stats st.jsonl -o out_st -j 2
/usr/bin/python3 - <<'PY' || fail "statistics files"
import csv, json
rows = list(csv.DictReader(open("st.csv")))
lines = [json.loads(line) for line in open("st.jsonl")]
assert len(rows) == 5 and [r["input"] for r in rows] == [j["input"] for j in lines], (rows, lines)
for r, j in zip(rows, lines):  # the two formats carry the same values
    assert all(str(j[k]) == r[k] if isinstance(j[k], str) else (j[k] is None) == (r[k] == "") for k in r), (r, j)
    assert j["status"] in ("ok", "input-error") and (j["status"] == "ok") == (j["message"] == ""), j
st = {j["input"].split("/")[-1]: j for j in lines}
assert st["broken.png"]["status"] == "input-error" and "broken.png" in st["broken.png"]["message"]
assert st["broken.png"]["output"] == "" and st["broken.png"]["diff_after"] is None
cam = st["camera.png"]  # the tool's reference itself: no difference before, a local estimate around zero
assert cam["output"] == "out_st/camera.png" and cam["method"] == "local-mean" and cam["width"] == 512
assert cam["diff_before"] == 0 and cam["mean_before"] > 0 and cam["gain"] is None, cam
assert cam["local_min"] <= 0 <= cam["local_max"] and cam["compared_pels"] > 0, cam
PY
cp tool.imn tool.csv
while IFS='|' read -r code part args; do
  eval "set -- $args"
  check "$code" "$part" -- "$@"
  expect_no_file sx/camera.png
done <<'CASES'
2|--stats ./sub/../tool.csv: is the tool file|run tool.csv --method histogram camera.png --stats ./sub/../tool.csv -o sx
2|--stats sx.csv: is the output|run tool.imn --method histogram camera.png coins.png --stats sx.csv -o sx.csv
2|the diagnostics report (--diag dst) writes there|run tool.imn --method histogram camera.png --diag dst --stats dst/imgnorm-report-files/s.csv -o sx
2|--stats st.txt: give a file name ending in .csv or .jsonl|run tool.imn --method histogram camera.png --stats st.txt -o sx
4|plainfile/s.csv|run tool.imn --method histogram camera.png --stats plainfile/s.csv -o sx
CASES

# ---- formats, folder scans that list what they skip, special files ----
mkdir -p mixed/sub
cp camera.png fx/grey.jpg fx/palette.png mixed/
cp fx/cmyk.jpg fx/colour_palette.png mixed/
echo "notes" >mixed/notes.txt
mkfifo mixed/fifo.png
check 3 "mixed/cmyk.jpg: CMYK JPEG is not supported" -- run tool.imn --method histogram mixed -o mixed_out
expect_out "3 of 5 images normalized with histogram, 0 soft failures, 2 errors, 3 skipped"
expect_out "skipped: mixed/notes.txt: not an image file name"
expect_file mixed_out/{camera,grey,palette}.png
check 0 "" -- run tool.imn --method histogram --to-gray=shift:8 fx/grey16.png -o g16s.png
expect_out "deeper than 8 bits scaled with shift:8"
# 16-bit greyscale keeps its depth through a 16-bit tool (the refusals: DeepIo.RefusalsWriteNothing).
check 0 "" -- train -r fx/grey16.png --methods histogram -o t16.imn
check 0 "" -- info t16.imn; expect_out "bit depth:         16-bit, depth 16"
check 0 "" -- run t16.imn --method histogram fx/grey16.png -o g16.tif --jobs 2
check 2 "--bit-depth: expected a whole number from 9 to 16" -- train -r fx/grey16.png --bit-depth 17 -o t17.imn
check 0 "" -- run tool.imn --method histogram camera.png -o q.jpg --quality 80; expect_file q.jpg
check 2 "--compression: unknown compression 'gzip'" -- run tool.imn --method histogram --compression gzip camera.png -o x.tif
check 2 "--png-level: expected a whole number from 0 to 9" -- run tool.imn --method histogram --png-level -1 camera.png -o x.png
ln -s nowhere/x.png dang.png  # a link whose folder is missing: refused before any work
check 4 "dang.png: cannot write: it is a symbolic link to nowhere/x.png, whose folder does not exist" -- run tool.imn --method histogram camera.png -o dang.png
check 0 "" -- run tool.imn --method histogram --png-level 9 camera.png -o small.png
# A killed run's old temporary is swept by the next run there; a folder of that name is not.
mkdir -p stale/.imgnorm-tmp-folder && touch -d '1 hour ago' stale/.imgnorm-tmp-killed
check 0 "" -- run tool.imn --method histogram camera.png -o stale
[[ ! -e stale/.imgnorm-tmp-killed && -d stale/.imgnorm-tmp-folder ]] || fail "the sweep of temporaries went wrong"
rm -r stale/.imgnorm-tmp-folder
check 2 "2 pages" -- run tool.imn --method identity --block-size 256 fx/pages.tif --in-place -o fx/pages.tif

# ---- large images ----
# A 16000² PNG and a 16384² one-strip TIFF against the 512² reference: only the overlap is kept.
/usr/bin/python3 - <<'EOF'
import struct, zlib
def deflated(w, h, filter_byte):
    c = zlib.compressobj(9)
    row = filter_byte + b'\x64' * w
    return b''.join([c.compress(row) for _ in range(h)] + [c.flush()])
def chunk(t, d): return struct.pack('>I', len(d)) + t + d + struct.pack('>I', zlib.crc32(t + d))
open('huge.png', 'wb').write(b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', 16000, 16000, 8, 0, 0, 0, 0))
                             + chunk(b'IDAT', deflated(16000, 16000, b'\0')) + chunk(b'IEND', b''))
n = 16384
z = deflated(n, n, b'')
tags = [(256, 4, n), (257, 4, n), (258, 3, 8), (259, 3, 8), (262, 3, 1), (273, 4, 122), (277, 3, 1), (278, 4, n),
        (279, 4, len(z))]
ifd = struct.pack('<H', len(tags)) + b''.join(struct.pack('<HHII', t, k, 1, v) for t, k, v in tags) + struct.pack('<I', 0)
open('huge.tif', 'wb').write(b'II*\0' + struct.pack('<I', 8) + ifd + z)
EOF
# Their peak resident size is set against the same run's on the 512² image (the program and its
# libraries alone take about 50 MB in the sanitizer build); a 256 MB image held whole would show.
peak() {
  /usr/bin/python3 -c 'import resource, subprocess, sys
r = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
print(r, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss // 1024)' \
    "$IMGNORM" run tool.imn --method local-mean "$1" -o "out_$1"
}
read -r code small < <(peak camera.png)
for f in huge.png huge.tif; do
  read -r code mb < <(peak "$f")
  [[ $code == 0 && $mb -lt $((small + 20)) ]] ||
    fail "$f: exit $code, peak resident $mb MB (want 0, under $((small + 20)) MB; the 512² image's run took $small)"
done
# A TIFF beyond --max-pixels is streamed in a batch too, with --compression, to the in-memory pels.
mkdir -p bigdir && check 0 "" -- run tool.imn --method identity camera.png -o bigdir/camera.tif
check 0 "" -- run tool.imn --method local-mean bigdir -o memout --format tif
check 0 "" -- run tool.imn --method local-mean --max-pixels 100000 --compression deflate bigdir -o bigout --format tif
/usr/bin/python3 -c 'import sys; from PIL import Image
a, b = (Image.open(p) for p in sys.argv[1:])
sys.exit(list(a.getdata()) != list(b.getdata()) or b.info.get("compression") != "tiff_adobe_deflate")' \
  memout/camera.tif bigout/camera.tif || fail "streamed batch output is not the in-memory one in deflate"
check 3 "beyond --max-pixels (100000 pels), is normalized block by block into a TIFF output only" \
  -- run tool.imn --method histogram --max-pixels 100000 bigdir/camera.tif -o x.png
# A streamed write that the system refuses says why (here a file size limit).
(ulimit -f 64; trap '' XFSZ; exec "$IMGNORM" run tool.imn --method histogram --block-size 256 bigdir/camera.tif \
  -o fsize.tif) >out.txt 2>err.txt
code=$?
[[ $code == 4 ]] && grep -qF "fsize.tif: cannot write row" err.txt && grep -qF "File too large" err.txt ||
  fail "write beyond the file size limit: exit $code, $(cat err.txt)"
no_temporaries .

# ---- soft failure: the run-time image lies wholly in the mask's zero part ----
check 1 "Cannot normalize since histogram is empty." -- run sub/masked.imn --method histogram fx/corner.pgm -o soft
expect_out "0 of 1 image normalized with histogram, 1 soft failure, 0 errors"
expect_no_file soft/corner.pgm

# ---- bad input files (exit 3) ----
check 0 "" -- train -r fx/rgb.png --to-gray --methods histogram -o rgb.imn
check 3 "the mask is 64 x 48 pels but the reference image is 512 x 512" -- train -r camera.png -m fx/rgb.png --to-gray -o t.imn
head -c 200 tool.imn >short.imn
check 3 "short.imn: truncated tool file" -- run short.imn --method histogram camera.png -o x.png
check 3 "missing.imn: No such file" -- info missing.imn
expect_no_file t.imn x.png

# ---- bad option values (exit 2), with the tool's own message ----
check 2 "--neighborhood 0,5: the neighbourhood's width and height must be at least 1" -- train -r camera.png --neighborhood 0,5 -o t.imn
check 2 "--granularity 0: the granularity's width and height must be at least 1" -- normalize -r camera.png --method local-mean --granularity 0 coins.png -o x.png
check 2 "--tail-fractions 0.9,0.1: the tail fractions must satisfy 0 <= LOW <= HIGH <= 1" -- train -r camera.png --tail-fractions 0.9,0.1 -o t.imn
check 2 "--intensity-range 5,10: the intensity range must satisfy LOW <= 0 <= HIGH" -- train -r camera.png --intensity-range 5,10 -o t.imn
check 2 "--block-size: expected a whole number from 1 to 2147483647, got '0'" -- run tool.imn --method histogram --block-size 0 camera.png -o x.tif
expect_no_file t.imn x.png

# ---- outputs that cannot be written (exit 4) ----
check 4 "plainfile/out: cannot create the output folder" -- run tool.imn --method histogram batch -o plainfile/out
check 4 "plainfile/t.imn" -- train -r camera.png -o plainfile/t.imn
if [[ $(id -u) -ne 0 ]]; then
  mkdir -p readonly && chmod 555 readonly
  check 4 "readonly" -- run tool.imn --method histogram camera.png -o readonly/x.png
  chmod 755 readonly
fi

# ---- diagnostics folders: the report, and only the program's own files replaced ----
check 0 "" -- train -r camera.png -m fx/mask.pgm --methods histogram --diag diag_train -o dt.imn
expect_file diag_train/index.html
grep -q '"Parameters"' diag_train/index.txt || fail "train diagnostics lack the Parameters record"
grep -q "reference-t.png" diag_train/index.html && grep -q 'href="../camera.png"' diag_train/index.html ||
  fail "train report lacks the reference (a thumbnail linked to the file)"
check 0 "" -- run tool.imn --method local-mean camera.png coins.png --diag diag_run -o dr
[[ $(grep -c "^Input image" diag_run/index.txt) -eq 2 ]] || fail "run diagnostics: expected two input records"
grep -q "Image Normalization Result" diag_run/index.txt || fail "run diagnostics lack the result"
[[ $(grep -c "reference.png" diag_run/index.txt) -eq 2 && $(ls diag_run/imgnorm-report-files | grep -c "^reference") -eq 2 ]] ||
  fail "the reference is not written once and shared by the records"
# Replaces the earlier report (which files go and which stay: ReportRemovesOnlyItsOwnPictures).
check 0 "" -- run tool.imn --method histogram camera.png --diag diag_run -o dr
[[ $(grep -c "^Input image" diag_run/index.txt) -eq 1 ]] || fail "diagnostics folder not replaced"
check 0 "" -- normalize -r camera.png --method tails coins.png --diag diag_norm -o dn
grep -q "Run-time parameters" diag_norm/index.txt || fail "normalize diagnostics lack the run records"
mkdir -p precious/photos && echo keep >precious/file.txt && echo jpg >precious/photos/a.jpg
echo keep >precious/index.html
check 2 "--diag precious" -- run tool.imn --method histogram camera.png --diag precious -o dp
[[ -f precious/file.txt && -f precious/photos/a.jpg && $(cat precious/index.html) == keep ]] ||
  fail "a folder the program did not write was changed by diagnostics"
check 2 "--diag camera.png: exists and is not a folder" -- run tool.imn --method histogram coins.png --diag camera.png -o dp
# A result named like a report picture stays the result; an output onto the report's files is refused.
mkdir -p clash && cp coins.png clash/reference.png
check 0 "" -- run tool.imn --method histogram clash/reference.png -o plain
for i in 1 2; do
  check 0 "" -- run tool.imn --method histogram clash/reference.png --diag same -o same
  cmp -s same/reference.png plain/reference.png || fail "the report wrote over a result"
done
check 2 "same/index.html: the diagnostics report (--diag same) writes there" -- train -r camera.png --diag same -o same/index.html
no_temporaries .

# ---- outputs that name an input of train or normalize are refused (exit 2); the spellings: BatchPlanner ----
cp camera.png ref.png && cp fx/mask.pgm msk.pgm
while IFS='|' read -r part args; do
  eval "set -- $args"
  check 2 "$part" -- "$@"
done <<'CASES'
-o ref.png: is the reference image|train -r ref.png -o ref.png
-o msk.pgm: is the mask image|train -r ref.png -m msk.pgm -o msk.pgm
would overwrite the mask image|normalize -r ref.png -m msk.pgm --method histogram coins.png -o msk.pgm
CASES
cmp -s ref.png camera.png && cmp -s msk.pgm fx/mask.pgm || fail "an input was changed by a refused command"
cp coins.png inplace.png
check 0 "" -- run tool.imn --method histogram inplace.png --in-place -o inplace.png
cmp -s inplace.png coins.png && fail "--in-place did not write the output"
check 0 "with an image extension" -- train -r camera.png --methods histogram -o tool-as.png

# ---- warnings: on standard error, once per batch, results unchanged (each kind: Warnings) ----
cp coins.png coins2.png
check 0 "ratio 0.444), so the result leans dark" -- run tool.imn --method histogram coins.png coins2.png -o w3
[[ $(grep -c "warning" err.txt) -eq 1 ]] || fail "expected one warning: $(cat err.txt)"
check 0 "" -- normalize -r camera.png --method histogram --neighborhood 2000 coins.png -o w6/c.png
cmp -s w6/c.png rt/coins-histogram.png || fail "a warning changed a result"

# ---- colour: a colour tool trained with --color runs a batch; info and the report name its mode ----
check 0 "" -- train -r fx/rgb.png --color luminance --methods histogram -o col.imn
"$IMGNORM" info col.imn | grep -qF "colour:            luminance, RGB reference, 8-bit" || fail "info lacks the mode"
mkdir -p colin && cp fx/rgb.png colin/a.png && cp fx/rgb.png colin/b.png
check 0 "" -- run col.imn --method histogram colin -o colout --jobs 2 --diag coldiag
expect_file colout/b.png
grep -qF "luminance, RGB reference" coldiag/index.html || fail "the report lacks the colour mode"

# ---- the demo on the shipped data (small settings for speed) ----
check 0 "" -- demo --data "$DATA" --out demo --neighborhood 41 --granularity 4 --max-side 96 --jobs 2
expect_file demo/{camera,coins,text}-sheet.png demo/{camera,coins,text}/{plane-local-mean,gamma}.png demo/mae.txt
for word in distorted histogram mean-stddev tails linear-fit local-mean local-median gain-offset gamma plane vignette mean; do
  expect_out "$word"
done
# In the mean table some method halves each distortion's error.
awk '/^mean/{on=1; next} on && NF==8 {
       d=$2; best=1e9; for (i=3;i<=8;i++){v=$i; sub(/\*/,"",v); if (v!="fail" && v+0<best) best=v+0}
       if (!(best < d/2)) { print "no method halves the error for " $1 ": " $0; bad=1 } }
     END { exit bad }' demo/mae.txt || fail "demo errors not reduced"
check 2 "--max-side" -- demo --data "$DATA" --out demo2 --max-side 3
check 3 "--data nowhere" -- demo --data nowhere --out demo3

if ((failures)); then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all end-to-end checks passed"

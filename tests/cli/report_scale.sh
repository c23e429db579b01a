#!/usr/bin/env bash
# At most 0.3 MB of report per 2 MP image; a 500-image report opens in Chromium in 10 s.
# Usage: report_scale.sh IMGNORM WORK_DIR
set -u
IMGNORM=$1
W=$2
[[ -x /usr/bin/chromium ]] || { echo "FAIL: /usr/bin/chromium is missing (scripts/deps.sh installs it)"; exit 1; }
rm -rf "$W" && mkdir -p "$W/big" "$W/tiny" && cd "$W" || exit 1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Grey PNGs: a ramp with a smooth background and noise (seeded), so that
# every method has work and nothing compresses to nothing.
/usr/bin/python3 - <<'PY' || exit 1
import random, struct, zlib
def png(path, w, h, gain, offset, seed):
    rnd = random.Random(seed)
    rows = bytearray()
    for y in range(h):
        rows.append(0)
        base = [int(40 + 150 * x / w + 30 * (y / h)) for x in range(0, w, 16)]
        for x in range(w):
            v = gain * (base[x >> 4] + rnd.randint(-12, 12)) + offset
            rows.append(max(0, min(255, int(v))))
    chunk = lambda t, d: struct.pack(">I", len(d)) + t + d + struct.pack(">I", zlib.crc32(t + d))
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 0, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(bytes(rows), 1)) + chunk(b"IEND", b""))
png("ref.png", 1600, 1250, 1.0, 0, 1)
for i in range(4):
    png("big/b%d.png" % i, 1600, 1250, 0.8 + 0.1 * i, 10 * i, 2 + i)
png("tiny/t0000.png", 24, 16, 0.9, 5, 9)
PY
for i in $(seq 1 499); do cp tiny/t0000.png "tiny/t$(printf %04d "$i").png"; done

# (1) size per 2 MP image, for a global, the linear-fit and a local method.
for method in histogram linear-fit local-mean; do
  "$IMGNORM" normalize -r ref.png --method "$method" big --diag "rep-$method" -o "out-$method" -q -j 2 ||
    { fail "normalize --method $method"; continue; }
  bytes=$(du -sb "rep-$method" | cut -f1)
  per=$((bytes / 4))
  echo "$method: $bytes bytes of report for 4 images of 2 MP ($per per image)"
  ((per <= 300000)) || fail "$method: $per bytes of report per 2 MP image (at most 300000)"
  [[ -z $(find "rep-$method" -size +300k) ]] || fail "$method: a report file over 300 KB: $(find "rep-$method" -size +300k)"
done

# (2) 500 images: the page opens in the browser in under 10 s.
"$IMGNORM" normalize -r tiny/t0000.png --method local-mean tiny --diag rep-500 -o out-500 -q -j 2 ||
  fail "normalize of 500 images"
profile=$(mktemp -d)
start=$(date +%s.%N)
timeout 60 /usr/bin/chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
  --disable-background-networking --disable-component-update --disable-sync --user-data-dir="$profile" \
  --dump-dom "file://$PWD/rep-500/index.html" >dom.html 2>/dev/null || fail "chromium --dump-dom"
seconds=$(echo "$(date +%s.%N) - $start" | bc)
rm -rf "$profile"
echo "500-image report: $(stat -c %s rep-500/index.html) bytes, DOM dump in $seconds s"
(($(echo "$seconds < 10" | bc))) || fail "the 500-image report took $seconds s to open (at most 10)"
rows=$(grep -o '<tr id="image-[0-9]*"><td><a href="imgnorm-report-files/i[0-9]*.html#image-[0-9]*"' dom.html |
  sort -u | wc -l)
pages=$(grep -l '<section id="image-[0-9]*"' rep-500/imgnorm-report-files/i*.html | wc -l)
all_ids=$(grep -o ' id="[^"]*"' dom.html | wc -l)
unique_ids=$(grep -o ' id="[^"]*"' dom.html | sort -u | wc -l)
((rows == 500 && pages == 500)) || fail "expected 500 overview rows and 500 image pages, got $rows and $pages"
((all_ids == unique_ids)) || fail "$((all_ids - unique_ids)) repeated ids in the page"
((failures == 0)) && echo "the report scales"
exit $((failures > 0))

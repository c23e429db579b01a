#!/usr/bin/env bash
# Reports of small batches opened in headless Chromium (check_report.py); screenshots in WORK_DIR.
# Usage: report_browser.sh IMGNORM DATA_DIR WORK_DIR
set -u
IMGNORM=$1
DATA=$2
W=$3
HERE=$(cd "$(dirname "$0")" && pwd)

[[ -x /usr/bin/chromium ]] || { echo "FAIL: /usr/bin/chromium is missing (scripts/deps.sh installs it)"; exit 1; }
rm -rf "$W" && mkdir -p "$W" && cd "$W" || exit 1
"$IMGNORM" demo --data "$DATA" --samples coins --out demo --max-side 64 >/dev/null || exit 1
"$IMGNORM" train -r "$DATA/coins.png" --tail-fractions 0.01,0.99 -o coins.imn >/dev/null || exit 1
inputs=(demo/coins/gamma.png demo/coins/vignette.png demo/coins/plane.png)

failures=0
# method | least images (3 thumbnails per image + reference) | least plots
while IFS='|' read -r method images plots; do
  "$IMGNORM" run coins.imn --method "$method" "${inputs[@]}" --diag "report-$method" -o "out-$method" >/dev/null ||
    { echo "FAIL: imgnorm run --method $method"; failures=$((failures + 1)); continue; }
  /usr/bin/python3 "$HERE/check_report.py" "report-$method/index.html" "report-$method.png" "$images" "$plots" ||
    failures=$((failures + 1))
done <<'CASES'
histogram|10|7
linear-fit|10|10
local-mean|13|7
CASES
((failures == 0)) && echo "all report pages pass in the browser"
exit $((failures > 0))

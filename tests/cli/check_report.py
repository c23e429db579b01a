#!/usr/bin/python3
"""Opens a diagnostics report and its image pages in headless Chromium (DevTools pipe on fds
3 and 4) and fails on console errors or warnings, script exceptions, failed loads, images
that do not decode, dead links, fewer images or plots than expected, overview links to no
element, or files outside the report's layout.  Writes a screenshot.

Usage: check_report.py PAGE SCREENSHOT [MIN_IMAGES MIN_PLOTS]
"""
import base64
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

CHROMIUM = "/usr/bin/chromium"

CHECK_JS = r"""
(async () => {
  const imgs = [...document.images];
  await Promise.all(imgs.map(i => i.decode().catch(() => null)));
  const bad = imgs.filter(i => !(i.complete && i.naturalWidth > 0)).map(i => i.getAttribute('src'));
  const svgImages = [...document.querySelectorAll('svg image')].map(e => e.getAttribute('href'));
  for (const href of svgImages) {
    const probe = new Image();
    probe.src = href;
    try { await probe.decode(); } catch (e) { bad.push(href); }
  }
  const links = [...document.querySelectorAll('a[href]')].map(a => a.href.split('#')[0]);
  const ids = [...document.querySelectorAll('[id]')].map(e => e.id);
  return JSON.stringify({images: imgs.length, plots: document.querySelectorAll('svg.plot').length,
                         bad, links, ids, height: document.documentElement.scrollHeight,
                         overview: [...document.querySelectorAll('#overview a')].map(a => a.href)});
})()
"""


class Browser:
    def __init__(self, profile):
        to_browser_r, self.to_browser_w = os.pipe()
        self.from_browser_r, from_browser_w = os.pipe()
        args = [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--allow-file-access-from-files", "--user-data-dir=" + profile, "--remote-debugging-pipe",
                "about:blank"]

        def wire():
            os.dup2(to_browser_r, 3)
            os.dup2(from_browser_w, 4)

        self.proc = subprocess.Popen(args, pass_fds=(3, 4), preexec_fn=wire, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        os.close(to_browser_r)
        os.close(from_browser_w)
        self.buf = b""
        self.next_id = 0
        self.events = []

    def _read_message(self, deadline):
        while b"\0" not in self.buf:
            if time.time() > deadline:
                raise TimeoutError("no answer from chromium")
            chunk = os.read(self.from_browser_r, 1 << 16)
            if not chunk:
                raise RuntimeError("chromium closed the pipe")
            self.buf += chunk
        msg, self.buf = self.buf.split(b"\0", 1)
        return json.loads(msg)

    def call(self, method, params=None, session=None, timeout=60):
        self.next_id += 1
        msg = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            msg["sessionId"] = session
        os.write(self.to_browser_w, json.dumps(msg).encode() + b"\0")
        deadline = time.time() + timeout
        while True:
            m = self._read_message(deadline)
            if m.get("id") == self.next_id:
                if "error" in m:
                    raise RuntimeError(f"{method}: {m['error']}")
                return m.get("result", {})
            self.events.append(m)

    def wait_for(self, method, timeout=60):
        deadline = time.time() + timeout
        for i, m in enumerate(self.events):
            if m.get("method") == method:
                return self.events.pop(i)
        while True:
            m = self._read_message(deadline)
            if m.get("method") == method:
                return m
            self.events.append(m)

    def close(self):
        try:
            self.call("Browser.close", timeout=10)
        except Exception:
            pass
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def problems_in(events):
    found = []
    for m in events:
        method, p = m.get("method"), m.get("params", {})
        if method == "Runtime.consoleAPICalled" and p.get("type") in ("error", "warning", "assert"):
            found.append("console %s: %s" % (p["type"], [a.get("value") for a in p.get("args", [])]))
        elif method == "Runtime.exceptionThrown":
            found.append("exception: %s" % p["exceptionDetails"].get("text"))
        elif method == "Log.entryAdded" and p["entry"].get("level") in ("error", "warning"):
            found.append("log %s: %s %s" % (p["entry"]["level"], p["entry"].get("text"), p["entry"].get("url", "")))
        elif method == "Network.loadingFailed":
            found.append("failed to load: %s" % p.get("errorText"))
    return found


def main():
    page, shot = os.path.abspath(sys.argv[1]), sys.argv[2]
    min_images = int(sys.argv[3]) if len(sys.argv) > 3 else 1
    min_plots = int(sys.argv[4]) if len(sys.argv) > 4 else 1
    profile = tempfile.mkdtemp(prefix="imgnorm-chromium-")
    browser = Browser(profile)
    errors = []
    facts = {"images": 0, "plots": 0, "links": set()}
    try:
        target = browser.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        session = browser.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        for domain in ("Page", "Runtime", "Log", "Network"):
            browser.call(domain + ".enable", session=session)

        def load(path):
            browser.call("Page.navigate", {"url": "file://" + urllib.parse.quote(path)}, session=session)
            browser.wait_for("Page.loadEventFired")
            result = browser.call("Runtime.evaluate", {"expression": CHECK_JS, "awaitPromise": True,
                                                       "returnByValue": True}, session=session)
            found = json.loads(result["result"]["value"])
            if len(set(found["ids"])) != len(found["ids"]):
                errors.append("%s: repeated ids" % path)
            return found

        index = load(page)
        pages = [urllib.request.url2pathname(urllib.parse.urlparse(link).path) for link in index["overview"]]
        loaded = {p: load(p) for p in sorted(set(pages)) if os.path.isfile(p)}
        for link, path in zip(index["overview"], pages):
            if urllib.parse.urlparse(link).fragment not in loaded.get(path, {}).get("ids", []):
                errors.append("overview link to no element of its id: %s" % link)
        for found in [index] + list(loaded.values()):
            facts["images"] += found["images"]
            facts["plots"] += found["plots"]
            facts["links"].update(found["links"])
            errors.extend("image does not load: %s" % b for b in found["bad"])
        errors += problems_in(browser.events)
        seen = len(browser.events)
        for link in facts["links"]:
            path = urllib.request.url2pathname(urllib.parse.urlparse(link).path)
            if not os.path.isfile(path):
                errors.append("link to a missing file: %s" % link)
        # Only the page, its listing and list beside the sub-folder (results may share the folder).
        stray = set(os.listdir(os.path.dirname(page))) - {"index.html", "index.txt", ".imgnorm-diag",
                                                           "imgnorm-report-files"}
        errors += ["report file outside its sub-folder: %s" % f for f in sorted(stray)]
        if facts["images"] < min_images:
            errors.append("%d images, expected at least %d" % (facts["images"], min_images))
        if facts["plots"] < min_plots:
            errors.append("%d plots, expected at least %d" % (facts["plots"], min_plots))
        browser.call("Page.navigate", {"url": "file://" + urllib.parse.quote(page)}, session=session)
        browser.wait_for("Page.loadEventFired")
        height = min(int(index["height"]), 4000)
        browser.call("Emulation.setDeviceMetricsOverride", {"width": 1100, "height": height, "deviceScaleFactor": 1,
                                                            "mobile": False}, session=session)
        png = browser.call("Page.captureScreenshot", {"format": "png"}, session=session)["data"]
        with open(shot, "wb") as f:
            f.write(base64.b64decode(png))
        errors += problems_in(browser.events[seen:])  # anything the resize and screenshot brought
    finally:
        browser.close()
        shutil.rmtree(profile, ignore_errors=True)
    for e in errors:
        print("FAIL:", e)
    print("%s: %d images, %d plots, %d links; screenshot %s" %
          (page, facts["images"], facts["plots"], len(facts["links"]), shot))
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())

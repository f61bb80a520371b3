#!/usr/bin/env python3
"""Opens the HTML descriptions of the Windows bundles in headless Chromium.

  check_html.py RESULTS_FILE OUT_DIR

Makes each page as scripts/package.sh does (scripts/bundle_text.py html) and loads it in
Chromium, driven through its DevTools pipe. Per edition: the page loads with no failed
request, script error or console error, is read as UTF-8 with its first heading as title and
has chapter 12; its Japanese characters are drawn by a font that has Japanese glyphs (no
empty boxes); screenshots of the first screen and of chapter 12 are kept in
OUT_DIR/screenshots. A page with a missing image and a script error must be reported.
"""
import base64
import json
import os
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lumox_header  # noqa: E402

ROOT = lumox_header.ROOT
EDITIONS = ("ja", "en")
WIDTH, HEIGHT = 1280, 1600
JAPANESE = re.compile(r"[\u3040-\u30ff\u4e00-\u9fff\uff00-\uffef]")
BROKEN_PAGE = ('<!DOCTYPE html><html><head><meta charset="utf-8"><title>x</title></head><body>'
               '<h1>x</h1><img src="missing.png"><script>notDefined()</script></body></html>')


class Browser:
    """One headless Chromium, spoken to over --remote-debugging-pipe (fd 3 in, fd 4 out)."""

    def __init__(self, profile):
        to_chrome, self.send_fd = os.pipe()
        self.recv_fd, from_chrome = os.pipe()

        def fds():  # in the child: the pipe ends onto 3 and 4, by way of free numbers
            high_in, high_out = os.dup(to_chrome), os.dup(from_chrome)
            os.dup2(high_in, 3)
            os.dup2(high_out, 4)

        exe = shutil.which("chromium") or "chromium"
        self.proc = subprocess.Popen(
            [exe, "--headless", "--no-sandbox", "--disable-gpu", "--remote-debugging-pipe",
             "--no-first-run", "--user-data-dir=" + profile, "about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, preexec_fn=fds,
            pass_fds=(3, 4))
        os.close(to_chrome)
        os.close(from_chrome)
        self.buffer = b""
        self.next_id = 0
        self.events = []
        self.session = None

    def _read(self, deadline):
        while b"\0" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.recv_fd], [], [], left)[0]:
                raise TimeoutError("Chromium did not answer")
            chunk = os.read(self.recv_fd, 1 << 20)
            if not chunk:
                raise RuntimeError("Chromium closed its pipe")
            self.buffer += chunk
        message, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(message)

    def call(self, method, timeout=30, **params):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if self.session and not method.startswith(("Target.", "Browser.")):
            message["sessionId"] = self.session
        os.write(self.send_fd, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            reply = self._read(deadline)
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError("%s: %s" % (method, reply["error"]))
                return reply.get("result", {})
            if "method" in reply:
                self.events.append(reply)

    def wait_for(self, method, timeout=30):
        deadline = time.monotonic() + timeout
        while True:
            for e in self.events:
                if e["method"] == method:
                    self.events.remove(e)
                    return e
            self.events.append(self._read(deadline))

    def open_page(self):
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        for domain in ("Page", "Runtime", "Log", "Network", "DOM", "CSS"):
            self.call(domain + ".enable")
        self.call("Emulation.setDeviceMetricsOverride", width=WIDTH, height=HEIGHT, deviceScaleFactor=1,
                  mobile=False)

    def load(self, url):
        """Loads url; returns what went wrong while loading, empty when nothing did."""
        self.events = []
        nav = self.call("Page.navigate", url=url)
        if nav.get("errorText"):
            return ["navigation: " + nav["errorText"]]
        self.wait_for("Page.loadEventFired")
        self.call("Runtime.evaluate", expression="new Promise(r => requestAnimationFrame(() => r(1)))",
                  awaitPromise=True)
        errors = []
        for e in self.events:
            p = e.get("params", {})
            if e["method"] == "Network.loadingFailed":
                errors.append("request failed: %s" % p.get("errorText"))
            elif e["method"] == "Runtime.exceptionThrown":
                errors.append("script error: %s" % p["exceptionDetails"].get("exception", {}).get("description", p))
            elif e["method"] == "Log.entryAdded" and p["entry"]["level"] == "error":
                errors.append("console: %s" % p["entry"]["text"])
            elif e["method"] == "Runtime.consoleAPICalled" and p.get("type") == "error":
                errors.append("console: %s" % p.get("args"))
        return errors

    def evaluate(self, expression):
        return self.call("Runtime.evaluate", expression=expression, returnByValue=True)["result"].get("value")

    def screenshot(self, path, top):
        shot = self.call("Page.captureScreenshot", format="png", captureBeyondViewport=True,
                         clip={"x": 0, "y": top, "width": WIDTH, "height": HEIGHT, "scale": 1})
        with open(path, "wb") as f:
            f.write(base64.b64decode(shot["data"]))

    def fonts(self, selector):
        """[(family, glyphs)] of the fonts that drew the text of the element selector names."""
        root = self.call("DOM.getDocument")["root"]["nodeId"]
        node = self.call("DOM.querySelector", nodeId=root, selector=selector)["nodeId"]
        if not node:
            return []
        found = self.call("CSS.getPlatformFontsForNode", nodeId=node)["fonts"]
        return [(f["familyName"], f["glyphCount"]) for f in found]

    def close(self):
        try:
            self.call("Browser.close", timeout=10)
        except Exception:  # the process is ended below in any case
            pass
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        os.close(self.send_fd)
        os.close(self.recv_fd)


def japanese_fonts():
    """Family names of the installed fonts that cover Japanese."""
    out = subprocess.run(["fc-list", ":lang=ja", "family"], capture_output=True, text=True).stdout
    return {name.strip() for line in out.splitlines() for name in line.split(",") if name.strip()}


def colours(png):
    r = subprocess.run(["identify", "-format", "%k", png], capture_output=True, text=True)
    return int(r.stdout) if r.returncode == 0 and r.stdout.isdigit() else 0


# Marks the heading of chapter 12 and the first element below it whose own text is all
# Japanese, and answers what the checks need of the page.
PAGE_FACTS = r"""(() => {
  const h2 = [...document.querySelectorAll('h2')].find(h => /^12\./.test(h.textContent));
  if (h2) h2.id = 'chapter-12-probe';
  let sample = null;
  for (const e of document.querySelectorAll('h1, h2, h3, p, li, td')) {
    const t = e.textContent;
    if (e.children.length === 0 && /^[\u3000-\u30ff\u4e00-\u9fff\uff00-\uffef]{4,}$/.test(t.trim()) &&
        (!h2 || (h2.compareDocumentPosition(e) & Node.DOCUMENT_POSITION_FOLLOWING))) { sample = e; break; }
  }
  if (!sample) sample = [...document.querySelectorAll('td')].find(e => /[\u4e00-\u9fff]{2}/.test(e.textContent));
  if (sample) sample.id = 'japanese-probe';
  return {charset: document.characterSet, title: document.title,
          h1: (document.querySelector('h1') || {}).textContent,
          chapter: h2 ? h2.getBoundingClientRect().top + window.scrollY : null,
          sample: sample ? sample.textContent : null};
})()"""


def main():
    results = lumox_header.Results(sys.argv[1])
    shots = os.path.join(os.path.abspath(sys.argv[2]), "screenshots")
    if not results.check("Chromium is installed (scripts/setup.sh)", shutil.which("chromium")):
        results.write()
        return 1
    os.makedirs(shots, exist_ok=True)
    doc_python = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
    ja_fonts = japanese_fonts()
    with tempfile.TemporaryDirectory() as work:
        browser = Browser(os.path.join(work, "profile"))
        try:
            browser.open_page()
            broken = os.path.join(work, "broken.html")
            with open(broken, "w", encoding="utf-8") as f:
                f.write(BROKEN_PAGE)
            errors = browser.load("file://" + broken)
            results.check("the browser check notices a missing image and a script error",
                          any("request failed" in e for e in errors) and any("script error" in e for e in errors),
                          errors)
            for edition in EDITIONS:
                name = "Lumox-API-%s.html" % edition
                page = os.path.join(work, name)
                made = subprocess.run([doc_python, os.path.join(ROOT, "scripts", "bundle_text.py"), "html",
                                       os.path.join(ROOT, "docs", "Lumox-API-%s.md" % edition), page],
                                      capture_output=True, text=True)
                if not results.check("%s made by scripts/bundle_text.py" % name, made.returncode == 0, made.stderr):
                    continue
                errors = browser.load("file://" + page)
                facts = browser.evaluate(PAGE_FACTS) or {}
                results.check("%s loads in Chromium without errors, as UTF-8, titled by its first heading, "
                              "with chapter 12" % name,
                              not errors and facts.get("charset") == "UTF-8" and facts.get("title")
                              and facts.get("title") == (facts.get("h1") or "").strip()
                              and facts.get("chapter") is not None, (errors, facts))
                first = os.path.join(shots, "%s-first-page.png" % name[:-5])
                chapter = os.path.join(shots, "%s-chapter-12.png" % name[:-5])
                browser.screenshot(first, 0)
                if facts.get("chapter") is not None:
                    browser.screenshot(chapter, max(0, facts["chapter"] - 16))
                drawn = {p: colours(p) for p in (first, chapter) if os.path.exists(p)}
                results.check("%s: screenshots of the first page and of chapter 12, each with content" % name,
                              len(drawn) == 2 and min(drawn.values()) > 16, drawn)
                fonts = browser.fonts("#japanese-probe")
                wanted = len(JAPANESE.findall(facts.get("sample") or ""))
                by_ja_font = sum(n for family, n in fonts if family in ja_fonts)
                results.check("%s: Japanese text (%r) drawn with a font that has Japanese glyphs" %
                              (name, facts.get("sample")),
                              wanted > 0 and by_ja_font >= wanted, "fonts %s, Japanese fonts %s" %
                              (fonts, sorted(ja_fonts)))
        except (RuntimeError, TimeoutError, OSError) as e:
            results.check("Chromium answered the browser check", False, e)
        finally:
            browser.close()
    results.write()
    return 1 if results.failed() else 0


if __name__ == "__main__":
    sys.exit(main())

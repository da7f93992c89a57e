"""Loads the built documentation site in headless Chromium and checks what renders.

    python tests/check_docs_site.py BUILD_DIR [--screenshot docs/site_index.png]

The site is served from a local HTTP server; Chromium is driven over the
DevTools protocol (package websocket-client). The check fails (exit 1) when
  * the index page does not name every public class and the geometry module,
  * the API pages lack an entry (an element with the entry's anchor) for any
    public name of the imported module: classes, their methods and
    properties, module functions,
  * the gallery index does not link every gallery script,
  * a code block or an output block clips a line (a line wider than its box,
    or content taller than a box that does not scroll),
  * a sidebar is shown with no link in it, or a guide page's sidebars do not
    link each of its sections,
  * any image on a checked page did not load,
  * the console shows an error, an uncaught exception, or a failed request.
Expected names come from the imported module, not from the stubs the pages
were written from, so a member the stubs miss is caught here.
"""

import argparse
import functools
import http.server
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
from pathlib import Path

import websocket

import kestrum_py

ROOT = Path(__file__).resolve().parents[1]
PAGE_JS = """(() => {
  const imgs = [...document.images].map(i => ({src: i.currentSrc || i.src, ok: i.complete && i.naturalWidth > 0}));
  // Lines wrap, so nothing may overflow sideways; a taller box must scroll.
  const scrolls = v => v === 'auto' || v === 'scroll';
  const clipped = [...document.querySelectorAll('article pre')].filter(p => {
    const st = getComputedStyle(p);
    return p.scrollWidth > p.clientWidth + 1 || (p.scrollHeight > p.clientHeight + 1 && !scrolls(st.overflowY));
  }).map(p => p.innerText.split('\\n').reduce((a, b) => b.length > a.length ? b : a, '').slice(0, 80));
  // The in-page links of the sidebars, where they are shown.
  const shown = e => e.offsetWidth > 0 && e.offsetHeight > 0;
  const bars = [...document.querySelectorAll('.bd-sidebar-primary, .bd-sidebar-secondary')].filter(shown);
  const empty = bars.filter(b => ![...b.querySelectorAll('a')].some(shown)).map(b => b.className);
  const sidebar = bars.flatMap(b => [...b.querySelectorAll('a')])
    .filter(a => shown(a) && a.getAttribute('href') && a.getAttribute('href').startsWith('#'))
    .map(a => a.getAttribute('href').slice(1));
  const sections = [...document.querySelectorAll('article section > h2')].map(h => h.parentElement.id);
  return JSON.stringify({text: document.body.innerText, ids: [...document.querySelectorAll('[id]')].map(e => e.id),
                         links: [...document.links].map(a => a.href), imgs, clipped, sidebar, sections, empty});
})()"""


def public_names():
    """{anchor id: label} for every public name of the module, read at run time."""
    want = {}
    submodules = {kestrum_py.geometry: "geometry", kestrum_py.geo: "geo"}
    for mod, prefix in ((kestrum_py, "kestrum_py"), *((m, f"kestrum_py.{n}") for m, n in submodules.items())):
        for name in mod.__all__:
            obj = getattr(mod, name)
            if obj in submodules:
                want[f"module-kestrum_py.{name}"] = name
                continue
            want[f"{prefix}.{name}"] = name
            if isinstance(obj, type):
                for attr in vars(obj):
                    if not attr.startswith("_"):
                        want[f"{prefix}.{name}.{attr}"] = f"{name}.{attr}"
    return want


class Browser:
    def __init__(self, chromium):
        self.profile = tempfile.mkdtemp(prefix="kestrum-chromium-")
        self.proc = subprocess.Popen(
            [chromium, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--disable-extensions", "--remote-debugging-port=0", "--remote-allow-origins=*",
             f"--user-data-dir={self.profile}", "--window-size=1280,900", "about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        port_file = Path(self.profile) / "DevToolsActivePort"
        for _ in range(300):
            if port_file.exists() and port_file.read_text().strip():
                break
            if self.proc.poll() is not None:
                raise RuntimeError(f"chromium exited with {self.proc.returncode}")
            time.sleep(0.1)
        else:
            raise RuntimeError("chromium did not open its DevTools port")
        self.port = int(port_file.read_text().split()[0])

    def close(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
        shutil.rmtree(self.profile, ignore_errors=True)

    def open(self, url, screenshot=None, timeout=60):
        """Loads url in a fresh tab; returns (page facts, console problems)."""
        req = urllib.request.Request(f"http://127.0.0.1:{self.port}/json/new?about:blank", method="PUT")
        target = json.load(urllib.request.urlopen(req, timeout=10))
        ws = websocket.create_connection(target["webSocketDebuggerUrl"], timeout=timeout, suppress_origin=True)
        problems, ids = [], iter(range(1, 10**6))

        def send(method, **params):
            n = next(ids)
            ws.send(json.dumps({"id": n, "method": method, "params": params}))
            while True:
                msg = json.loads(ws.recv())
                if msg.get("id") == n:
                    if "error" in msg:
                        raise RuntimeError(f"{method}: {msg['error']}")
                    return msg.get("result", {})
                note(msg)

        def note(msg):
            m, p = msg.get("method"), msg.get("params", {})
            if m == "Runtime.consoleAPICalled" and p.get("type") in ("error", "assert"):
                problems.append("console: " + " ".join(str(a.get("value", a.get("description", ""))) for a in p["args"]))
            elif m == "Runtime.exceptionThrown":
                d = p["exceptionDetails"]
                problems.append("exception: " + d.get("exception", {}).get("description", d.get("text", "")))
            elif m == "Log.entryAdded" and p["entry"]["level"] == "error":
                problems.append(f"log: {p['entry']['text']} {p['entry'].get('url', '')}")
            elif m == "Network.loadingFailed" and not p.get("canceled"):
                problems.append(f"request failed: {p.get('errorText')}")
            elif m == "Page.loadEventFired":
                loaded.append(True)

        loaded = []
        try:
            for domain in ("Runtime", "Log", "Page", "Network"):
                send(f"{domain}.enable")
            send("Page.navigate", url=url)
            deadline = time.time() + timeout
            while not loaded and time.time() < deadline:
                note(json.loads(ws.recv()))
            if not loaded:
                problems.append("page did not finish loading")
            # Let late scripts (search index, theme) run and report.
            settle = time.time() + 1.0
            ws.settimeout(0.2)
            while time.time() < settle:
                try:
                    note(json.loads(ws.recv()))
                except websocket.WebSocketTimeoutException:
                    pass
            ws.settimeout(timeout)
            facts = json.loads(send("Runtime.evaluate", expression=PAGE_JS, returnByValue=True)["result"]["value"])
            if screenshot:
                import base64
                shot = send("Page.captureScreenshot", format="png")
                Path(screenshot).write_bytes(base64.b64decode(shot["data"]))
        finally:
            ws.close()
            urllib.request.urlopen(f"http://127.0.0.1:{self.port}/json/close/{target['id']}", timeout=10).read()
        return facts, problems


def serve(directory):
    class Quiet(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *args):
            pass

    handler = functools.partial(Quiet, directory=str(directory))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def gallery_scripts():
    names = [p.stem for p in sorted((ROOT / "examples").glob("*.py"))]
    names += [p.stem for p in sorted((ROOT / "bench" / "plots").glob("*.py"))]
    return names


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("build", type=Path, help="the HTML output directory")
    ap.add_argument("--screenshot", type=Path, help="write a PNG of the index page here")
    ap.add_argument("--chromium", default=os.environ.get("CHROMIUM", "chromium"))
    args = ap.parse_args(argv)
    chromium = shutil.which(args.chromium)
    if not chromium:
        print(f"check_docs_site: no {args.chromium} on PATH", file=sys.stderr)
        return 2

    server = serve(args.build)
    base = f"http://127.0.0.1:{server.server_address[1]}/"
    pages = ["index.html", "api/index.html"]
    guides = sorted(f"guide/{p.stem}.html" for p in (ROOT / "docs" / "guide").glob("*.md"))
    pages += [g for g in guides if (args.build / g).exists()]
    pages += sorted(str(p.relative_to(args.build)) for p in (args.build / "api").glob("*.html") if p.name != "index.html")
    pages += ["gallery/index.html", "gallery/examples/index.html", "gallery/bench/index.html"]
    pages += [f"gallery/{d}/{n}.html" for d in ("examples", "bench") for n in gallery_scripts()
              if (args.build / "gallery" / d / f"{n}.html").exists()]
    failures, api_ids, seen = [], set(), {}
    browser = Browser(chromium)
    try:
        for page in pages:
            facts, problems = browser.open(base + page, screenshot=args.screenshot if page == "index.html" else None)
            seen[page] = facts
            failures += [f"{page}: {p}" for p in problems]
            failures += [f"{page}: image did not load: {i['src']}" for i in facts["imgs"] if not i["ok"]]
            failures += [f"{page}: a code block clips: {line!r}" for line in facts["clipped"]]
            if page.startswith("guide/"):
                failures += [f"{page}: the sidebar does not link section #{sec}" for sec in facts["sections"]
                             if sec not in facts["sidebar"]]
            failures += [f"{page}: empty sidebar ({cls})" for cls in facts["empty"]]
            if page.startswith("api/"):
                api_ids.update(facts["ids"])
            print(f"--- {page}: {len(facts['imgs'])} images, {len(problems)} console problems")
    finally:
        browser.close()
        server.shutdown()

    want = public_names()
    failures += [f"API pages: no entry for {label} (#{anchor})" for anchor, label in sorted(want.items())
                 if anchor not in api_ids]
    index_text = seen["index.html"]["text"]
    failures += [f"index.html: does not name {n}" for n in kestrum_py.__all__ + kestrum_py.geometry.__all__
                 + kestrum_py.geo.__all__ if n not in index_text]
    gallery_links = " ".join(seen["gallery/examples/index.html"]["links"] + seen["gallery/bench/index.html"]["links"])
    failures += [f"gallery: no page for {n}.py" for n in gallery_scripts() if f"/{n}.html" not in gallery_links]
    for f in failures:
        print("!!!", f, file=sys.stderr)
    print(f"check_docs_site: {len(pages)} pages, {len(want)} public names, {len(failures)} problems")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

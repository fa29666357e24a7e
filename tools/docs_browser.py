"""Opens the built site in headless Chromium and checks that the pages work.

    python3 tools/docs_browser.py SITE_DIR SCREENSHOT_DIR

Serves SITE_DIR over http://127.0.0.1 (search needs http), then drives
Chromium through the DevTools protocol on a pipe (--remote-debugging-pipe:
commands on descriptor 3, replies on descriptor 4, each a JSON text ended by
a NUL byte). For the front page, a guide, the reference and a search for
`read_until` it checks that the page loaded, that nothing was logged as an
error on the console (script errors, failed loads included), that nothing
was asked of any host but the local server, and keeps a screenshot
(SCREENSHOT_DIR/page-NAME.png). The search must list the reference entry of
`Serial.read_until`. Exits 1 with the reasons when a check fails.

Meant to run inside the development root, where /usr/bin/chromium is.
"""

import base64
import functools
import http.server
import json
import os
import subprocess
import sys
import tempfile
import threading
import time

CHROMIUM = "/usr/bin/chromium"
PAGES = [
    # (name, path, what the page must contain)
    ("front", "index.html", "Three faces over one engine"),
    ("guide", "guides/timeouts.html", "inter_byte_timeout"),
    ("reference", "reference/corvalink.html", "serial_for_url"),
    ("search", "search.html?q=read_until", None),
]


class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass


class DevTools:
    """The browser end of --remote-debugging-pipe."""

    def __init__(self, proc, to_browser, from_browser):
        self.proc = proc
        self.to_browser = to_browser
        self.from_browser = from_browser
        self.next_id = 0
        self.buffer = b""
        self.events = []

    def _receive(self, deadline):
        while b"\0" not in self.buffer:
            if time.monotonic() > deadline:
                raise TimeoutError("no answer from the browser")
            chunk = os.read(self.from_browser, 1 << 16)
            if not chunk:
                raise RuntimeError("the browser closed its pipe")
            self.buffer += chunk
        text, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(text)

    def call(self, method, session=None, timeout=30.0, **params):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        os.write(self.to_browser, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            reply = self._receive(deadline)
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply.get("result", {})
            self.events.append(reply)

    def wait_for_event(self, method, timeout=30.0):
        deadline = time.monotonic() + timeout
        for i, event in enumerate(self.events):
            if event.get("method") == method:
                return self.events.pop(i)
        while True:
            event = self._receive(deadline)
            if event.get("method") == method:
                return event
            self.events.append(event)


def start_browser(profile):
    # Chromium reads commands from descriptor 3 and writes replies to 4.
    commands_r, commands_w = os.pipe()
    replies_r, replies_w = os.pipe()

    def descriptors():
        os.dup2(commands_r, 3)
        os.dup2(replies_w, 4)

    proc = subprocess.Popen(
        [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--disable-default-apps", "--disable-extensions", "--mute-audio", "--hide-scrollbars",
         f"--user-data-dir={profile}", "--remote-debugging-pipe", "about:blank"],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        preexec_fn=descriptors, close_fds=False)
    os.close(commands_r)
    os.close(replies_w)
    return DevTools(proc, commands_w, replies_r)


def check_page(tools, base, name, path, expected, shots):
    problems = []
    target = tools.call("Target.createTarget", url="about:blank")["targetId"]
    session = tools.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
    for domain in ("Page", "Runtime", "Log", "Network"):
        tools.call(f"{domain}.enable", session=session)
    tools.call("Emulation.setDeviceMetricsOverride", session=session, width=1280, height=900,
               deviceScaleFactor=1, mobile=False)
    tools.events.clear()
    tools.call("Page.navigate", session=session, url=f"{base}/{path}")
    tools.wait_for_event("Page.loadEventFired")

    text = ""
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        # The search page fills its list after loading the index; the other
        # pages are done at their load event.
        result = tools.call("Runtime.evaluate", session=session,
                            expression="document.querySelector('main') ? document.querySelector('main').innerText : ''",
                            returnByValue=True)
        text = result["result"].get("value", "")
        if name != "search":
            break
        found = tools.call("Runtime.evaluate", session=session, returnByValue=True, expression=(
            "Array.from(document.querySelectorAll('#search-results a')).map(a => a.getAttribute('href'))"))
        links = found["result"].get("value") or []
        if any("read_until" in link for link in links):
            break
        time.sleep(0.25)
    else:
        problems.append(f"{name}: the search for read_until listed no entry of it")

    if expected and expected not in text:
        problems.append(f"{name}: the page does not show {expected!r}")
    time.sleep(0.5)  # late console messages (fonts, scripts that run after load)
    tools.call("Runtime.evaluate", session=session, expression="1")  # collects the events queued meanwhile

    for event in tools.events:
        method, params = event.get("method"), event.get("params", {})
        if event.get("sessionId") not in (None, session):
            continue
        if method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
            args = " ".join(str(a.get("value", a.get("description", ""))) for a in params.get("args", []))
            problems.append(f"{name}: console error: {args}")
        elif method == "Runtime.exceptionThrown":
            details = params.get("exceptionDetails", {})
            problems.append(f"{name}: script error: {details.get('exception', {}).get('description') or details.get('text')}")
        elif method == "Log.entryAdded" and params.get("entry", {}).get("level") == "error":
            entry = params["entry"]
            problems.append(f"{name}: console error ({entry.get('source')}): {entry.get('text')} {entry.get('url', '')}")
        elif method == "Network.requestWillBeSent":
            url = params.get("request", {}).get("url", "")
            if not url.startswith((base, "data:", "about:", "blob:")):
                problems.append(f"{name}: asked for a resource outside the site: {url}")

    shot = tools.call("Page.captureScreenshot", session=session, format="png")
    out = os.path.join(shots, f"page-{name}.png")
    with open(out, "wb") as f:
        f.write(base64.b64decode(shot["data"]))
    tools.call("Target.closeTarget", targetId=target)
    tools.events.clear()
    print(f"  {name:<10} {path:<28} {'ok' if not problems else 'FAILED'}  {out}")
    return problems


def main():
    site, shots = sys.argv[1], sys.argv[2]
    os.makedirs(shots, exist_ok=True)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(Quiet, directory=site))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    base = f"http://127.0.0.1:{server.server_address[1]}"
    problems = []
    with tempfile.TemporaryDirectory(prefix="corvalink-chromium-") as profile:
        tools = start_browser(profile)
        try:
            tools.call("Browser.getVersion")
            for name, path, expected in PAGES:
                problems += check_page(tools, base, name, path, expected, shots)
        finally:
            try:
                tools.call("Browser.close", timeout=5)
            except (RuntimeError, TimeoutError, OSError):
                pass
            try:
                tools.proc.wait(10)
            except subprocess.TimeoutExpired:
                tools.proc.kill()
                tools.proc.wait()
            server.shutdown()
    for problem in problems:
        print(f"  {problem}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""Headless Chromium for looking at a page the way a person would: open a URL, evaluate
JavaScript in it, take a PNG screenshot at 1280x800. Speaks the DevTools protocol over its
WebSocket (python3-websocket); the browser gets a user-data-dir of its own, reads its debugging
port from the DevToolsActivePort file there, and is always ended on close.

As a program: page_browser.py URL OUT.png [SECONDS] takes a screenshot of URL after SECONDS
(default 1) of letting the page update."""

import base64
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

import websocket

CHROMIUM = "/usr/bin/chromium"
WIDTH, HEIGHT = 1280, 800


def available():
    return os.access(CHROMIUM, os.X_OK)


class Browser:
    """A headless Chromium with one page; use as a context manager."""

    def __init__(self, timeout=30):
        self.timeout = timeout
        self.folder = tempfile.mkdtemp(prefix="page-browser-")
        self.process = None
        self.socket = None
        self.next_id = 0

    def __enter__(self):
        try:
            self._start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *_):
        self.close()

    def _start(self):
        profile = os.path.join(self.folder, "profile")
        self.process = subprocess.Popen(
            [CHROMIUM, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--no-default-browser-check", "--disable-extensions", "--mute-audio",
             "--remote-debugging-port=0", "--remote-allow-origins=*",
             f"--user-data-dir={profile}", f"--window-size={WIDTH},{HEIGHT}", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=open(os.path.join(self.folder, "chromium.log"), "wb"))
        port = self._debugging_port(os.path.join(profile, "DevToolsActivePort"))
        targets = json.load(urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list",
                                                   timeout=self.timeout))
        page = next(t for t in targets if t.get("type") == "page")
        self.socket = websocket.create_connection(page["webSocketDebuggerUrl"],
                                                  timeout=self.timeout, suppress_origin=True)
        self.call("Emulation.setDeviceMetricsOverride",
                  width=WIDTH, height=HEIGHT, deviceScaleFactor=1, mobile=False)

    def _debugging_port(self, path):
        deadline = time.monotonic() + self.timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"chromium ended with status {self.process.returncode}: "
                                   f"{self.log()}")
            try:
                with open(path) as f:
                    first = f.readline().strip()
                if first:
                    return int(first)
            except FileNotFoundError:
                pass
            time.sleep(0.05)
        raise RuntimeError(f"chromium wrote no {path} within {self.timeout} s: {self.log()}")

    def log(self):
        try:
            with open(os.path.join(self.folder, "chromium.log"), errors="replace") as f:
                return f.read()[-2000:]
        except OSError:
            return ""

    def call(self, method, **params):
        """One DevTools command; its result, or RuntimeError with the browser's error."""
        self.next_id += 1
        self.socket.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            message = json.loads(self.socket.recv())
            if message.get("id") != self.next_id:
                continue  # an event: none is asked for
            if "error" in message:
                raise RuntimeError(f"{method}: {message['error']}")
            return message.get("result", {})

    def evaluate(self, expression):
        """The value of a JavaScript expression in the page (promises awaited)."""
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True,
                           awaitPromise=True)
        if "exceptionDetails" in result:
            raise RuntimeError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def open(self, url):
        """Navigates to url and waits until the document has loaded."""
        self.call("Page.navigate", url=url)
        deadline = time.monotonic() + self.timeout
        while time.monotonic() < deadline:
            if self.evaluate(f"location.href === {json.dumps(url)} && "
                             "document.readyState === 'complete'"):
                return
            time.sleep(0.05)
        raise RuntimeError(f"{url} did not load within {self.timeout} s")

    def screenshot(self, path):
        """The page's viewport as a 1280x800 PNG."""
        data = self.call("Page.captureScreenshot", format="png")["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))

    def close(self):
        if self.socket is not None:
            try:
                self.socket.close()
            except Exception:
                pass
            self.socket = None
        if self.process is not None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
            self.process = None
        shutil.rmtree(self.folder, ignore_errors=True)


def main(argv):
    if len(argv) not in (3, 4):
        sys.exit(f"usage: {argv[0]} URL OUT.png [SECONDS]")
    with Browser() as browser:
        browser.open(argv[1])
        time.sleep(float(argv[3]) if len(argv) == 4 else 1.0)
        browser.screenshot(argv[2])


if __name__ == "__main__":
    main(sys.argv)

#!/usr/bin/python3
"""The live page of a real continuous station in headless Chromium: velmora-cli --continuous
--count 3 --serve on three velmora-sim handset sequences (the operator bringing the next
handset 1, 1.4 and 1.8 s after the last, so that the ports drift apart). Read from the page's
DOM every 100 ms: each port's row passes through writing with a progress bar and reaches done,
its count rising 1, 2, 3 and its IMEI changing with each handset; the records table fills; at the
end the page says the station finished and its totals match the station's summary. Exit 77
(skipped) when Chromium is not installed.

Usage: continuous_chromium_test.py CLI SIM SOURCE_DIR [--screenshot OUT.png]
  --screenshot: a picture of the page while some ports write and others are done (how
  docs/station-page.png is made)."""

import json
import os
import re
import sys
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [here, os.path.join(here, "..", "cli")]
import page_browser  # noqa: E402
from handset_line import Bench, Failure, luhn, read, run, wait_for  # noqa: E402
from page_chromium_test import READ_PAGE  # noqa: E402

HANDSETS = 3
NEXT_AFTER_MS = [1000, 1400, 1800]


def check(ok, what):
    if not ok:
        raise Failure(what)


def follow(browser, station, screenshot):
    """Reads the page until the station has ended (and a moment more for its last snapshot);
    every reading. Takes the screenshot at the first reading with a port writing and another
    done."""
    readings = []
    deadline = time.monotonic() + 120
    ended = None
    while time.monotonic() < deadline:
        page = json.loads(browser.evaluate(READ_PAGE))
        if page["rows"]:  # none before the first snapshot
            readings.append(page)
        states = [r["state"] for r in page["rows"]]
        if screenshot and "writing" in states and "done" in states and len(page["records"]) >= 2:
            browser.screenshot(screenshot)
            screenshot = None
        if ended is None and station.poll() is not None:
            ended = time.monotonic()
        if ended is not None and (page["status"] == "station finished" or time.monotonic() > ended + 2):
            return readings
        time.sleep(0.1)
    raise Failure("the station did not end within 120 s")


def main():
    cli, simsrv, source = sys.argv[1:4]
    screenshot = sys.argv[sys.argv.index("--screenshot") + 1] if "--screenshot" in sys.argv else None
    with Bench(cli, simsrv, source) as bench:
        sims = [bench.sim(name, first, HANDSETS, after) for name, first, after in
                zip("abc", [b + luhn(b) for b in ("35123456789012", "35200000000000", "35300000000000")],
                    NEXT_AFTER_MS)]
        args = [a for s in sims for a in ("--port", s.url)]
        station = bench.start(args + ["--map", bench.map, "--continuous", "--count", str(HANDSETS),
                                      "--serve", "127.0.0.1:0", "--report-append", "records.jsonl"])
        url = wait_for(lambda: re.search(r"^Station page: (http://127\.0\.0\.1:\d+/)$",
                                         read(bench.path("cli.out")), re.M), 10, "the page's address")[1]
        with page_browser.Browser() as browser:
            browser.open(url)
            readings = follow(browser, station, screenshot)
        status = bench.finish(station)
        out = read(bench.path("cli.out"))
        check(status == 0, f"station exit status {status}:\n{out}")
        if screenshot:
            check(os.path.exists(screenshot), "no moment with a port writing and another done")

        final = readings[-1]
        check(final["status"] == "station finished", f"the page's last word: {final['status']!r}")
        for sim in sims:
            rows = [next(r for r in p["rows"] if r["port"] == sim.url) for p in readings]
            states = {r["state"] for r in rows}
            check({"writing", "done"} <= states, f"{sim.name}: states shown {sorted(states)}")
            progress = {int(r["progress"]) for r in rows
                        if r["state"] == "writing" and r["bar"] and r["progress"] is not None}
            check(any(0 < p < 100 for p in progress), f"{sim.name}: progress shown {sorted(progress)}")
            counts = [r["succeeded"] for r in rows]
            check(counts == sorted(counts) and set(range(1, HANDSETS + 1)) <= set(counts),
                  f"{sim.name}: counts shown {sorted(set(counts))}, not rising 1, 2, 3")
            shown = [r["imei"] for r in rows if r["imei"]]
            changes = [i for n, i in enumerate(shown) if n == 0 or shown[n - 1] != i]
            check(changes == sim.imeis, f"{sim.name}: IMEIs shown in turn {changes}, brought {sim.imeis}")
            check(rows[-1]["failed"] == rows[-1]["skipped"] == 0, f"{sim.name}: failures shown")

        filled = [len(p["records"]) for p in readings]
        total = HANDSETS * len(sims)
        check(filled == sorted(filled) and filled[-1] == total and len(set(filled)) > total // 2,
              f"the records table did not fill handset by handset: {sorted(set(filled))}")
        brought = {i: s.url for s in sims for i in s.imeis}
        check(sorted((r["imei"], r["port"], r["outcome"]) for r in final["records"]) ==
              sorted((i, p, "succeeded") for i, p in brought.items()),
              f"records shown: {final['records']}")
        check(final["totals"] == {"handsets": total, "succeeded": total, "failed": 0, "skipped": 0},
              f"totals shown {final['totals']}")
        check(f"{total} handsets: {total} succeeded, 0 failed, 0 turned away" in out,
              "the station's total line:\n" + out)
    print("PASS continuous station page in Chromium")


if __name__ == "__main__":
    if not page_browser.available():
        print(f"SKIP: {page_browser.CHROMIUM} is not installed")
        sys.exit(77)
    sys.exit(run(main))

#!/usr/bin/python3
"""The station's live page in headless Chromium, following a made-up station
(station_page_demo): every port's row passes through writing with a progress bar and ends done
or failed, the counts, the records table and the totals follow the board, and the page says
when the station has finished. Exit 77 (skipped) when Chromium is not installed.

Usage: page_chromium_test.py STATION_PAGE_DEMO [--screenshot OUT.png]"""

import json
import os
import subprocess
import sys
import time
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import page_browser  # noqa: E402

# What the test reads from the page's DOM, through its hooks only.
READ_PAGE = """JSON.stringify({
  status: document.getElementById("status").textContent,
  rows: [...document.querySelectorAll("#ports tbody tr")].map(tr => {
    const cell = c => tr.querySelector("td." + c);
    return {port: tr.dataset.port, state: cell("state").textContent,
            progress: cell("progress").dataset.value || null,
            bar: cell("progress").querySelector(".bar") !== null,
            imei: cell("imei").textContent, error: cell("last-error").textContent,
            stateElapsed: cell("state-elapsed").textContent,
            succeeded: +cell("succeeded").textContent, failed: +cell("failed").textContent,
            skipped: +cell("skipped").textContent};
  }),
  records: [...document.querySelectorAll("#records tbody tr")]
    .filter(tr => !tr.querySelector("td.empty"))
    .map(tr => ({port: tr.querySelector("td.port").textContent,
                 imei: tr.querySelector("td.imei").textContent,
                 outcome: tr.querySelector("td.outcome").textContent})),
  totals: Object.fromEntries(["handsets", "succeeded", "failed", "skipped"].map(
    k => [k, +document.getElementById("total-" + k).textContent]))
})"""

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


def follow(browser, timeout=60):
    """Reads the page every 100 ms until it says the station finished; what each port was seen
    doing, and the last reading."""
    seen = {}
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        page = json.loads(browser.evaluate(READ_PAGE))
        for row in page["rows"]:
            port = seen.setdefault(row["port"], {"states": set(), "progress": set()})
            port["states"].add(row["state"])
            if row["state"] == "writing" and row["progress"] is not None and row["bar"]:
                port["progress"].add(int(row["progress"]))
        if page["status"] == "station finished":
            return seen, page
        time.sleep(0.1)
    raise RuntimeError(f"the page did not say the station finished within {timeout} s")


def check_final(seen, page, state):
    check(len(page["rows"]) == len(state["ports"]) == 4, "a row per port")
    for row, port in zip(page["rows"], state["ports"]):
        name = port["port"]
        check(row["port"] == name, f"row for {name} in the board's order")
        check("writing" in seen[name]["states"], f"{name} was seen writing")
        check(any(0 < p < 100 for p in seen[name]["progress"]),
              f"{name} showed a progress value while writing: {sorted(seen[name]['progress'])}")
        check(row["state"] in ("done", "failed") and row["state"] == port["state"],
              f"{name} ends as the board says: {row['state']} / {port['state']}")
        for key in ("succeeded", "failed", "skipped"):
            check(row[key] == port[key], f"{name} {key}: page {row[key]}, board {port[key]}")
        check(row["succeeded"] + row["failed"] == 2, f"{name} handled two handsets")
        check(row["imei"] == port["imei"], f"{name} IMEI")
        check(row["error"] == port["last_error"], f"{name} last error")
        check(row["stateElapsed"] != "", f"{name} shows the time in its state")
    failed = [r for r in page["rows"] if r["failed"]]
    check(len(failed) == 1 and failed[0]["error"], f"one port failed, with its error: {failed}")
    check(len(page["records"]) == len(state["records"]) == 8, "a record per handset")
    for shown, record in zip(page["records"], state["records"]):
        check((shown["port"], shown["imei"], shown["outcome"]) ==
              (record["port"], record["imei"], record["outcome"]), f"record {record['imei']}")
    totals = state["totals"]
    check(page["totals"] == {k: totals[k] for k in ("handsets", "succeeded", "failed", "skipped")},
          f"totals {page['totals']} match the board's {totals}")
    check(totals["handsets"] == sum(r["succeeded"] + r["failed"] + r["skipped"]
                                    for r in page["rows"]), "totals add up the rows")


def main(argv):
    if not page_browser.available():
        print(f"SKIP: {page_browser.CHROMIUM} is not installed")
        return 77
    demo = subprocess.Popen([argv[1]], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        url = demo.stdout.readline().strip()
        if not url.startswith("http://127.0.0.1:"):
            raise RuntimeError(f"the demo printed no URL: {url!r}")
        with page_browser.Browser() as browser:
            browser.open(url)
            seen, page = follow(browser)
            state = json.load(urllib.request.urlopen(url + "state", timeout=10))
            check(state["finished"], "the board says finished")
            check_final(seen, page, state)
            if "--screenshot" in argv:
                browser.screenshot(argv[argv.index("--screenshot") + 1])
    finally:
        demo.stdin.close()
        try:
            demo.wait(10)
        except subprocess.TimeoutExpired:
            demo.kill()
            demo.wait()
    check(demo.returncode == 0, f"the demo ends when its input closes (status {demo.returncode})")
    print("FAILED" if failures else "PASS", "station page in Chromium")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

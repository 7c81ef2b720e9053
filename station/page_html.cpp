// The station's page, one document with its style and script: a factory's network often has
// no way out, so nothing is loaded from anywhere else. Read-only: it has no form and no button.
// Every text from the board goes in as textContent, never as markup.
#include "station/page.h"

namespace velmora {

const char* StationPageHtml() {
  return R"page(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Station</title>
<style>
  body { font: 14px/1.4 system-ui, sans-serif; margin: 16px 20px; color: #1d232a; background: #f6f7f9; }
  header { display: flex; align-items: baseline; gap: 16px; flex-wrap: wrap; }
  h1 { font-size: 20px; margin: 0; }
  h2 { font-size: 15px; margin: 18px 0 6px; }
  #status { color: #5b6570; }
  #status.finished { color: #1d232a; font-weight: 600; }
  #status.lost { color: #b3261e; }
  #totals { margin-left: auto; display: flex; gap: 14px; }
  #totals b { font-variant-numeric: tabular-nums; }
  table { border-collapse: collapse; width: 100%; background: #fff; }
  th, td { text-align: left; padding: 4px 8px; border-bottom: 1px solid #e1e4e8; white-space: nowrap; }
  th { background: #eceff2; font-weight: 600; font-size: 13px; }
  td.num, th.num { text-align: right; font-variant-numeric: tabular-nums; }
  td.last-error { white-space: normal; max-width: 280px; color: #b3261e; }
  td.state { font-weight: 600; }
  tr[data-state="failed"] td.state, tr[data-state="not available"] td.state { color: #b3261e; }
  tr[data-state="done"] td.state { color: #1a7f37; }
  tr[data-state="writing"] td.state, tr[data-state="verifying"] td.state,
  tr[data-state="collecting garbage"] td.state, tr[data-state="connecting"] td.state { color: #0b57d0; }
  tr[data-state="waiting"] td.state, tr[data-state="stopped"] td.state,
  tr[data-state="skipped"] td.state { color: #6e7781; }
  td.progress { width: 150px; }
  .bar { display: inline-block; width: 100px; height: 10px; background: #e1e4e8; border-radius: 5px;
         overflow: hidden; vertical-align: middle; }
  .bar span { display: block; height: 100%; background: #0b57d0; }
  .pct { margin-left: 6px; font-variant-numeric: tabular-nums; }
  #records-box { max-height: 330px; overflow-y: auto; }
  #records td.outcome-succeeded { color: #1a7f37; }
  #records td.outcome-failed, #records td.outcome-not-connected,
  #records td.outcome-interrupted { color: #b3261e; }
  .empty { color: #6e7781; font-style: italic; }
</style>
</head>
<body>
<header>
  <h1 id="title">Station</h1>
  <span id="status">connecting&hellip;</span>
  <div id="totals">
    <span>Handsets <b id="total-handsets">0</b></span>
    <span>Succeeded <b id="total-succeeded">0</b></span>
    <span>Failed <b id="total-failed">0</b></span>
    <span>Skipped <b id="total-skipped">0</b></span>
    <span>Per handset <b id="total-per-handset">&ndash;</b></span>
  </div>
</header>
<h2>Ports</h2>
<table id="ports">
  <thead><tr><th>Port</th><th>State</th><th>Progress</th><th>IMEI</th><th>In state</th>
    <th>Handset</th><th class="num">Succeeded</th><th class="num">Failed</th>
    <th class="num">Skipped</th><th class="num">Per handset</th><th>Last error</th></tr></thead>
  <tbody></tbody>
</table>
<h2>Last runs</h2>
<div id="records-box">
<table id="records">
  <thead><tr><th>Time</th><th>Port</th><th>IMEI</th><th>Outcome</th><th>Map</th>
    <th class="num">Seconds</th></tr></thead>
  <tbody></tbody>
</table>
</div>
<script>
"use strict";
const portColumns = ["port", "state", "progress", "imei", "state-elapsed", "handset-elapsed",
                     "succeeded", "failed", "skipped", "per-handset", "last-error"];
const numeric = new Set(["succeeded", "failed", "skipped", "per-handset"]);
let snapshot = null;
let offsetMs = 0;  // the station's clock minus this browser's

function stationNow() { return Date.now() + offsetMs; }

function duration(ms) {
  if (!(ms >= 0)) return "";
  const s = Math.floor(ms / 1000), h = Math.floor(s / 3600), m = Math.floor(s / 60) % 60;
  const mmss = String(m).padStart(h ? 2 : 1, "0") + ":" + String(s % 60).padStart(2, "0");
  return h ? h + ":" + mmss : mmss;
}

function seconds(value) { return value > 0 ? value.toFixed(1) + " s" : "\u2013"; }

function setText(el, text) { if (el.textContent !== text) el.textContent = text; }

function portRow(tbody, index, name) {
  let tr = tbody.rows[index];
  if (!tr) {
    tr = tbody.insertRow();
    for (const col of portColumns) {
      const td = tr.insertCell();
      td.className = col + (numeric.has(col) ? " num" : "");
    }
  }
  if (tr.dataset.port !== name) tr.dataset.port = name;
  return tr;
}

function showProgress(td, progress) {
  if (progress < 0) { td.replaceChildren(); delete td.dataset.value; return; }
  if (td.dataset.value === String(progress)) return;
  td.dataset.value = String(progress);
  const bar = document.createElement("span"), fill = document.createElement("span");
  const pct = document.createElement("span");
  bar.className = "bar"; fill.style.width = progress + "%"; bar.appendChild(fill);
  pct.className = "pct"; pct.textContent = progress + "%";
  td.replaceChildren(bar, pct);
}

function showPorts(ports) {
  const tbody = document.querySelector("#ports tbody");
  ports.forEach((p, i) => {
    const tr = portRow(tbody, i, p.port), cell = c => tr.querySelector("td." + c);
    if (tr.dataset.state !== p.state) tr.dataset.state = p.state;
    setText(cell("port"), p.port);
    setText(cell("state"), p.state);
    showProgress(cell("progress"), p.state === "writing" ? p.progress : -1);
    setText(cell("imei"), p.imei);
    for (const c of ["succeeded", "failed", "skipped"]) setText(cell(c), String(p[c]));
    const handsets = p.succeeded + p.failed + p.skipped;
    setText(cell("per-handset"), seconds(handsets ? p.handset_seconds / handsets : 0));
    setText(cell("last-error"), p.last_error);
    cell("last-error").title = p.log ? "log: " + p.log : "";
  });
  while (tbody.rows.length > ports.length) tbody.deleteRow(-1);
  tickElapsed();
}

function tickElapsed() {
  if (!snapshot) return;
  const now = stationNow(), rows = document.querySelectorAll("#ports tbody tr");
  snapshot.ports.forEach((p, i) => {
    if (!rows[i]) return;
    setText(rows[i].querySelector("td.state-elapsed"), p.state_since_ms ? duration(now - p.state_since_ms) : "");
    setText(rows[i].querySelector("td.handset-elapsed"), p.handset_since_ms ? duration(now - p.handset_since_ms) : "");
  });
}

function recordTime(r) {
  const t = new Date(r.end || r.start);
  return isNaN(t) ? "" : t.toLocaleString();
}

function mapName(r) {
  const file = (r.map_file || "").split(/[\\/]/).pop();
  const version = r.map && r.map.map_version !== undefined ? " (version " + r.map.map_version + ")" : "";
  return (file || (r.map ? "sealed map" : "")) + version;
}

function showRecords(records) {
  const tbody = document.querySelector("#records tbody");
  const rows = records.map(r => {
    const tr = document.createElement("tr");
    const cells = [["time", recordTime(r)], ["port", r.port || ""], ["imei", r.imei || ""],
                   ["outcome outcome-" + r.outcome, r.outcome || ""], ["map", mapName(r)],
                   ["seconds num", r.duration_ms >= 0 ? (r.duration_ms / 1000).toFixed(1) : ""]];
    for (const [cls, text] of cells) {
      const td = tr.insertCell(); td.className = cls; td.textContent = text;
    }
    if (r.error) tr.title = r.error;
    return tr;
  });
  if (!rows.length) {
    const tr = document.createElement("tr"), td = tr.insertCell();
    td.colSpan = 6; td.className = "empty"; td.textContent = "no run yet";
    rows.push(tr);
  }
  tbody.replaceChildren(...rows);
}

function showTotals(t) {
  for (const c of ["handsets", "succeeded", "failed", "skipped"]) {
    setText(document.getElementById("total-" + c), String(t[c]));
  }
  setText(document.getElementById("total-per-handset"), seconds(t.seconds_per_handset));
}

function setStatus(text, cls) {
  const el = document.getElementById("status");
  setText(el, text);
  el.className = cls || "";
}

function show(s) {
  snapshot = s;
  offsetMs = s.now_ms - Date.now();
  setText(document.getElementById("title"), s.title);
  document.title = s.title;
  showPorts(s.ports);
  showRecords(s.records);
  showTotals(s.totals);
  if (s.finished) setStatus("station finished", "finished");
  else setStatus("live", "");
}

function poll() {
  fetch("state", {cache: "no-store"}).then(r => r.json()).then(show)
    .catch(() => setStatus("no connection to the station, retrying", "lost"))
    .finally(() => setTimeout(poll, 2000));
}

function listen() {
  if (!window.EventSource) { poll(); return; }
  const events = new EventSource("events");
  events.onmessage = e => show(JSON.parse(e.data));
  events.onerror = () => {
    if (events.readyState === EventSource.CLOSED) { events.close(); poll(); }
    else if (!(snapshot && snapshot.finished)) setStatus("connection lost, retrying", "lost");
  };
}

setInterval(tickElapsed, 1000);
listen();
</script>
</body>
</html>
)page";
}

}  // namespace velmora

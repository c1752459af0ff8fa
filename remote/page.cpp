#include "remote/page.hpp"

const std::string& viewing_page() {
    static const std::string page = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>visiondemo</title>
<style>
  html, body { margin: 0; padding: 0; background: #000; color: #ddd; font: 14px/1.35 sans-serif; }
  #live { display: block; width: 1280px; height: 720px; max-width: 100vw; height: auto; aspect-ratio: 16 / 9;
          background: #000; }
  #panel { display: flex; flex-wrap: wrap; gap: 24px; padding: 10px 12px; }
  h2 { font-size: 13px; text-transform: uppercase; letter-spacing: 0.05em; color: #8ab; margin: 0 0 4px; }
  table { border-collapse: collapse; }
  td, th { padding: 1px 10px 1px 0; text-align: left; font-variant-numeric: tabular-nums; }
  td.n { text-align: right; }
  #state { color: #fb4; }
</style>
</head>
<body>
<img id="live" src="/stream.mjpg" width="1280" height="720" alt="live canvas">
<div id="panel">
  <div><h2>Show</h2><table id="show"></table><div id="state"></div></div>
  <div><h2>Stage times (ms)</h2><table id="stages"></table></div>
  <div><h2>Health</h2><table id="counters"></table></div>
  <div><h2>Detections</h2><table id="detections"></table></div>
</div>
<script>
"use strict";
function fixed(v, d) { return (v === null || v === undefined) ? "-" : Number(v).toFixed(d); }
function rows(id, pairs) {
  const table = document.getElementById(id);
  table.replaceChildren();
  for (const [name, value] of pairs) {
    const tr = table.insertRow();
    tr.insertCell().textContent = name;
    const td = tr.insertCell();
    td.className = "n";
    td.textContent = value;
  }
}
async function get(path) {
  const reply = await fetch(path, { cache: "no-store" });
  if (!reply.ok) throw new Error(path + ": " + reply.status);
  return reply.json();
}
async function refresh() {
  try {
    const s = await get("/stats.json");
    rows("show", [["frame", s.frame], ["frames per second", fixed(s.fps, 1)],
                  ["grab to shown (ms)", fixed(s.latency_ms, 1)]]);
    rows("stages", Object.entries(s.stages_ms || {}).map(([k, v]) => [k, fixed(v, 2)]));
    const health = Object.entries(s.counters || {}).map(([k, v]) => [k, v]);
    for (const [k, v] of Object.entries(s.stream || {})) health.push(["stream " + k, v]);
    rows("counters", health);
    const d = await get("/detections.json");
    const list = Array.isArray(d) ? d : (d.detections || []);
    rows("detections", list.map(x => [(x.class_name || x.name || x.class_id || x["class"]) + "",
                                      fixed(x.score, 2)]));
    document.getElementById("state").textContent = "";
  } catch (e) {
    document.getElementById("state").textContent = "not connected";
  }
}
document.getElementById("live").addEventListener("error", () => {
  document.getElementById("state").textContent = "stream ended";
});
refresh();
setInterval(refresh, 500);
</script>
</body>
</html>
)PAGE";
    return page;
}

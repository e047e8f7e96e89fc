"use strict";
var WORDS = {running: "running", starting: "starting", waiting: "waiting to start again",
             stalled: "stalled, starting again", stopped: "stopped"};
function duration(s) {
  if (s === null || s === undefined) return "\u2013";
  s = Math.floor(s);
  var d = Math.floor(s / 86400), h = Math.floor(s % 86400 / 3600), m = Math.floor(s % 3600 / 60);
  if (d) return d + " d " + h + " h";
  if (h) return h + " h " + m + " min";
  if (m) return m + " min " + (s % 60) + " s";
  return s + " s";
}
function lastError(r) {
  if (r.error) return r.error;
  if (r.exit_code !== null && r.exit_code !== undefined && r.exit_code !== 0) return "exit " + r.exit_code;
  return "\u2013";
}
function cell(tr, label, text, cls) {
  var td = document.createElement("td");
  td.setAttribute("data-label", label);
  if (cls) td.className = cls;
  td.textContent = text;
  tr.appendChild(td);
  return td;
}
function render(data) {
  var body = document.getElementById("rows"), counts = {}, rows = data.sources || [];
  var fresh = document.createElement("tbody");
  fresh.id = "rows";
  rows.forEach(function (r) {
    var tr = document.createElement("tr");
    counts[r.state] = (counts[r.state] || 0) + 1;
    cell(tr, "Source", r.name, "name");
    cell(tr, "Input", r.input, "input");
    var td = cell(tr, "State", "", "");
    var badge = document.createElement("span");
    badge.className = "state " + (WORDS.hasOwnProperty(r.state) ? r.state : "stopped");
    badge.textContent = WORDS[r.state] || String(r.state);
    td.appendChild(badge);
    cell(tr, "Pictures/s", Number(r.fps).toFixed(1), "num");
    cell(tr, "Receivers", String(r.connections), "num");
    cell(tr, "Up", duration(r.uptime), "num");
    cell(tr, "Restarts", String(r.restarts), "num");
    cell(tr, "Last error", lastError(r), "err");
    fresh.appendChild(tr);
  });
  body.parentNode.replaceChild(fresh, body);
  document.getElementById("empty").hidden = rows.length > 0;
  var parts = [rows.length + (rows.length === 1 ? " source" : " sources")];
  ["running", "starting", "waiting", "stalled", "stopped"].forEach(function (k) {
    if (counts[k]) parts.push(counts[k] + " " + k);
  });
  document.getElementById("summary").textContent = parts.join(" \u00b7 ");
  var u = document.getElementById("updated");
  u.className = "";
  u.textContent = "updated " + new Date().toLocaleTimeString();
}
function refresh() {
  fetch("status.json", {cache: "no-store"}).then(function (r) {
    if (!r.ok) throw new Error("HTTP " + r.status);
    return r.json();
  }).then(render).catch(function (e) {
    var u = document.getElementById("updated");
    u.className = "lost";
    u.textContent = "no answer from the supervisor (" + e.message + ")";
  }).then(function () { setTimeout(refresh, 2000); });
}
document.getElementById("host").textContent = location.host;
refresh();

"use strict";
// The page has two faces: an operator's (logged in, or a box without a
// password) and a wall screen's, opened by a view link (?view=TOKEN), which
// reads the status and pictures only and shows nothing that changes a thing.
var VIEW = new URLSearchParams(location.search).get("view");
var STATE_WORDS = {running: "Running", starting: "Starting", restarting: "Restarting", waiting: "Waiting to start again",
                   stalled: "Stalled", stopped: "Stopped", held: "Held: password refused", off: "Switched off"};
// What the tool's error codes and exit codes come to, in the words an
// operator reads; the code itself stays in the details.
var ERROR_WORDS = {ffmpeg_connect: "The camera could not be reached.",
                   ffmpeg_spawn: "The decoder could not be started on the box.",
                   ndi_runtime: "The NDI runtime could not be loaded on the box.",
                   ndi_sender: "The NDI sender could not be made.",
                   socket: "The box could not open a local connection."};
var EXIT_WORDS = {1: "The camera's stream ended or could not be decoded.", 2: "The NDI runtime could not be loaded.",
                  3: "The camera could not be reached.", 64: "The source's settings are not usable.",
                  127: "The tool could not be run on the box."};
// A picture older than this, while the source says it runs, is not live.
var OLD_PICTURE = 5;
function el(tag, cls, text) {
  var e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
}
function show(id, on) { document.getElementById(id).hidden = !on; }
function duration(s) {
  if (s === null || s === undefined) return "\u2013";
  s = Math.floor(s);
  var d = Math.floor(s / 86400), h = Math.floor(s % 86400 / 3600), m = Math.floor(s % 3600 / 60);
  if (d) return d + " d " + h + " h";
  if (h) return h + " h " + m + " min";
  if (m) return m + " min";
  return s + " s";
}
function since(utc) {
  var t = Date.parse(utc);
  return isNaN(t) ? null : Math.max(0, (Date.now() - t) / 1000);
}
function when(utc) {
  var t = new Date(utc);
  return isNaN(t.getTime()) ? String(utc) : t.toLocaleString();
}
function hasExit(r) { return r.exit_code !== null && r.exit_code !== undefined && r.exit_code !== 0; }
// Why a source is not delivering, in words: what a check of the camera found
// when there is one, else what the tool's code means.
function reasonWords(r) {
  if (r.state === "running" || r.state === "starting" || r.state === "off") return "";
  if (r.diagnosis && r.diagnosis.message) return r.diagnosis.message;
  if (r.error) return ERROR_WORDS[r.error] || "The source failed.";
  if (hasExit(r)) return EXIT_WORDS[r.exit_code] || "The tool ended with an error.";
  if (r.state === "held") return "The camera refused the password: fix it in Edit.";
  if (r.state === "stalled" || r.state === "down") return "No pictures came from the camera.";
  return "";
}
// PTZ from receivers: the camera's state in a word, and what the last command
// came to when it did not go through.
var PTZ_WORDS = {ready: "PTZ", moving: "PTZ moving", held: "PTZ held", unreachable: "PTZ unreachable",
                 no_ptz: "PTZ: none on the camera"};
var PTZ_TITLES = {ready: "ready", moving: "moving the camera",
                  held: "held: the camera refused the password (fix it and save, or restart the source)",
                  unreachable: "the camera does not answer", no_ptz: "the camera has no PTZ for this profile"};
var PTZ_RESULTS = {ok: "ok", failed: "failed", refused: "refused", not_supported: "not supported",
                   no_preset: "no such preset"};
function ptzBadge(ptz) {
  var state = String(ptz.state), known = PTZ_WORDS.hasOwnProperty(state), last = ptz.last;
  var text = known ? PTZ_WORDS[state] : "PTZ " + state, cls = known ? "ptzmark ptz-" + state : "ptzmark";
  if (last && last.result !== "ok" && (state === "ready" || state === "moving")) {
    text += ": " + (PTZ_RESULTS[last.result] || String(last.result));
    if (last.result === "failed" || last.result === "refused") cls += " ptz-bad";
  }
  var lines = ["PTZ from receivers: " + (known ? PTZ_TITLES[state] : state)];
  lines.push(last ? "last: " + last.command + ", " + (PTZ_RESULTS[last.result] || String(last.result)) + ", " +
                    when(last.at) : "no command yet");
  return {badge: el("span", cls, text), detail: lines.join("; ")};
}
// Peaks from -60 dBFS (empty) to 0 (full).
function meterBar(db) {
  var bar = el("div", "bar"), fill = el("i");
  var part = db === null ? 0 : Math.max(0, Math.min(1, (db + 60) / 60));
  fill.style.width = (part * 100).toFixed(1) + "%";
  if (db !== null && db > -6) fill.className = "hot";
  bar.appendChild(fill);
  return bar;
}
// The session's token for changes (null when not logged in), and the
// sources as the API lists them (for the forms) with the file's version: a
// change made on an older version is refused (409).
var CSRF = null, timer = null, VERSION = null, LISTED = [];
// The snapshot of the last passed check of a source, by name, for as long as
// the page is open; the sources just saved, restarting until the new run's
// first picture; the tile to bring into view once the wall has it.
var CHECKED = new Map(), RESTARTING = new Map(), MARK = null;
// What the last passed check on this page found of a source's stream, by name.
var FOUND = new Map();
// One tile per source, kept from one refresh to the next, so that an open
// details part, a focused button and the old picture (until the new one has
// loaded) stay as they are.
var TILES = new Map(), refreshes = 0;
function listedSource(name) {
  for (var i = 0; i < LISTED.length; i++) if (LISTED[i].name === name) return LISTED[i];
  return null;
}
function canChange() { return VIEW === null && CSRF !== null; }
// A details part that opens on hover as well as on a tap or click; a click
// while hovered keeps it open.
function hoverable(details) {
  details.addEventListener("mouseenter", function () {
    if (!details.open) {
      details.open = true;
      details.setAttribute("data-hover", "1");
    }
  });
  details.addEventListener("mouseleave", function () {
    if (details.getAttribute("data-hover")) {
      details.removeAttribute("data-hover");
      details.open = false;
    }
  });
  details.querySelector("summary").addEventListener("click", function (e) {
    if (details.getAttribute("data-hover")) {
      e.preventDefault();
      details.removeAttribute("data-hover");
    }
  });
}
function makeTile(name) {
  var t = {root: el("article", "tile")};
  t.root.setAttribute("data-name", name);
  var head = el("h3");
  t.name = el("span", "name", name);
  t.tally = el("span", "tally");
  head.appendChild(t.name);
  head.appendChild(t.tally);
  t.screen = el("div", "screen");
  t.img = el("img", "picture");
  t.img.alt = "picture of " + name;
  t.signal = el("span", "signal");
  t.frozen = el("span", "frozen", "frozen");
  t.meter = el("div", "meter");
  t.db = el("div", "db");
  t.line = el("p", "line");
  t.state = el("span", "state");
  t.rate = el("span", "rate");
  t.line.appendChild(t.state);
  t.line.appendChild(t.rate);
  t.why = el("p", "why");
  t.retry = el("p", "retry");
  t.more = el("details", "more");
  t.more.appendChild(el("summary", "", "Details"));
  t.list = el("dl");
  t.more.appendChild(t.list);
  hoverable(t.more);
  t.edit = el("button", "edit", "Edit");
  t.edit.type = "button";
  t.edit.setAttribute("aria-label", "Edit " + name);
  t.edit.addEventListener("click", function () {
    var source = listedSource(name);
    if (source) openForm(source, t.edit);
  });
  [head, t.screen, t.meter, t.db, t.line, t.why, t.retry, t.more, t.edit].forEach(function (x) { t.root.appendChild(x); });
  return t;
}
function detail(list, term, text) {
  if (text === "" || text === null || text === undefined) return;
  list.appendChild(el("dt", "", term));
  list.appendChild(el("dd", "", text));
}
// Whether the source delivers pictures now: anything else dims its picture.
function delivering(r) {
  return r.state === "running" && Number(r.fps) > 0 && !!r.picture && r.picture_age !== null &&
         r.picture_age !== undefined && r.picture_age <= OLD_PICTURE && !r.frozen;
}
// The state an operator reads: a source just saved says "restarting" until
// its new run's first picture (or until it turns out down, off or held).
function shownState(r) {
  var asked = RESTARTING.get(r.name);
  if (asked === undefined) return r.state;
  var waited = (Date.now() - asked) / 1000;
  var newRun = r.uptime !== null && r.uptime !== undefined && r.uptime <= waited + 2;
  var fresh = newRun && delivering(r) && r.picture_age < r.uptime;
  if (fresh || waited > 60 || ["down", "off", "held", "stopped", "stalled"].indexOf(r.state) >= 0) {
    RESTARTING.delete(r.name);
    return r.state;
  }
  return "restarting";
}
function updateTile(t, r) {
  var tally = r.tally || {};
  var lamp = tally.program ? "program" : tally.preview ? "preview" : "";
  var state = shownState(r), live = delivering(r);
  var bad = state === "down" || state === "stalled" || state === "stopped" || state === "held";
  t.root.className = "tile" + (lamp ? " " + lamp : "") + (bad ? " down" : "") +
                     (t.root.classList.contains("marked") ? " marked" : "");
  t.tally.textContent = lamp === "program" ? "PROGRAM" : lamp === "preview" ? "PREVIEW" : "";
  t.tally.className = "tally " + lamp;
  t.tally.hidden = !lamp;
  // The screen: the picture while it is live, else dimmed under NO SIGNAL
  // (OFF when switched off), the last one kept to show what the camera saw.
  while (t.screen.firstChild) t.screen.removeChild(t.screen.firstChild);
  t.screen.className = "screen" + (live ? "" : " dark") + (bad ? " down" : "");
  var checked = CHECKED.get(r.name);
  if (r.picture) {
    if (live || !t.img.getAttribute("src")) {
      // Relative to the page, as status.json is fetched; new each refresh.
      t.img.src = r.picture.replace(/^\//, "") + (VIEW !== null ? "&view=" + encodeURIComponent(VIEW) : "") +
                  "&n=" + refreshes;
    }
    t.screen.appendChild(t.img);
  } else if (checked && r.state !== "off") {
    // No picture of its own yet: what the check of its form saw stands in.
    var stand = el("img", "picture checked");
    stand.alt = "snapshot of " + r.name + " from its check";
    stand.src = checked;
    t.screen.appendChild(stand);
  }
  if (!live) {
    t.signal.textContent = r.state === "off" ? "OFF" : "NO SIGNAL";
    t.screen.appendChild(t.signal);
  }
  if (r.frozen) t.screen.appendChild(t.frozen);
  var level = Array.isArray(r.level) ? r.level : null;
  while (t.meter.firstChild) t.meter.removeChild(t.meter.firstChild);
  t.meter.appendChild(meterBar(level ? level[0] : null));
  t.meter.appendChild(meterBar(level ? level[1] : null));
  t.meter.setAttribute("aria-hidden", "true");
  t.db.textContent = level ? "Audio " + level[0].toFixed(1) + " / " + level[1].toFixed(1) + " dB" : "No audio";
  var word = STATE_WORDS[state] || String(state);
  if (state === "down") {
    var gone = since(r.down_since);
    word = "Down" + (gone === null ? "" : " " + duration(gone));
  }
  t.state.textContent = word;
  t.state.className = "state " + (STATE_WORDS.hasOwnProperty(state) || state === "down" ? state : "stopped");
  t.rate.textContent = Number(r.fps).toFixed(1) + " pictures/s";
  t.why.textContent = reasonWords(r);
  // When the supervisor starts it again: a detail under the reason.
  t.retry.textContent = r.next_try !== null && r.next_try !== undefined && r.state !== "off" ?
                        "next try in " + Math.ceil(r.next_try) + " s" : "";
  while (t.line.childNodes.length > 2) t.line.removeChild(t.line.lastChild);
  var ptz = r.ptz ? ptzBadge(r.ptz) : null;
  if (ptz) t.line.appendChild(ptz.badge);
  // The details: what a person looking into it needs; codes come last.
  while (t.list.firstChild) t.list.removeChild(t.list.firstChild);
  if (r.down_since) detail(t.list, "Down since", when(r.down_since));
  detail(t.list, "Address", r.input);
  detail(t.list, "Checked stream", FOUND.get(r.name));
  detail(t.list, "Receivers", String(r.connections));
  detail(t.list, "Up", duration(r.uptime));
  detail(t.list, "Restarts", String(r.restarts));
  if (r.error || hasExit(r)) {
    detail(t.list, "Error code", [r.error, hasExit(r) ? "exit " + r.exit_code : ""].filter(Boolean).join(", "));
  }
  if (r.diagnosis) {
    detail(t.list, "Decoder's message", r.diagnosis.detail);
    detail(t.list, "Checked at", when(r.diagnosis.at));
  }
  if (ptz) detail(t.list, "PTZ", ptz.detail);
  detail(t.list, "Stall limit", r.stall > 0 ? r.stall + " s" : "none");
  t.edit.hidden = !canChange() || !listedSource(r.name);
}
function render(data) {
  var rows = data.sources || [], tiles = document.getElementById("tiles"), counts = {}, seen = new Set();
  refreshes++;
  rows.forEach(function (r, i) {
    var t = TILES.get(r.name);
    if (!t) {
      t = makeTile(r.name);
      TILES.set(r.name, t);
    }
    seen.add(r.name);
    updateTile(t, r);
    var state = shownState(r);
    counts[state] = (counts[state] || 0) + 1;
    // Moved only when out of place: moving an element drops its focus.
    if (tiles.children[i] !== t.root) tiles.insertBefore(t.root, tiles.children[i] || null);
  });
  TILES.forEach(function (t, name) {
    if (!seen.has(name)) {
      t.root.remove();
      TILES.delete(name);
    }
  });
  tiles.className = rows.length <= 3 ? "few" + Math.max(rows.length, 1) : "";
  document.getElementById("empty").hidden = rows.length > 0;
  var parts = [rows.length + (rows.length === 1 ? " source" : " sources")];
  ["running", "starting", "restarting", "off"].forEach(function (k) { if (counts[k]) parts.push(counts[k] + " " + k); });
  document.getElementById("summary").textContent = parts.join(" \u00b7 ");
  // What needs someone: red in the header.
  var attention = [];
  ["down", "stalled", "stopped", "held", "waiting"].forEach(function (k) {
    if (counts[k]) attention.push(counts[k] + " " + k);
  });
  document.getElementById("attention").textContent = attention.join(" \u00b7 ");
  var u = document.getElementById("updated");
  u.className = "";
  u.textContent = "updated " + new Date().toLocaleTimeString();
  if (MARK !== null && TILES.has(MARK)) {
    markTile(MARK);
    MARK = null;
  }
}
// The tile a change was about: brought into view and marked for a moment.
function markTile(name) {
  var t = TILES.get(name);
  if (!t) return;
  t.root.scrollIntoView({block: "nearest"});
  t.root.classList.add("marked");
  setTimeout(function () { t.root.classList.remove("marked"); }, 3000);
}
// What a change did, where the operator looks (and read out by a screen reader).
function say(text, bad) {
  var said = document.getElementById("said");
  said.className = bad ? "bad" : "";
  said.textContent = text;
}
// The page's own refreshes and polls say so (X-Qor-Background): they keep no
// session alive, only what a person does here does.
var BACKGROUND = {"X-Qor-Background": "1"};
function api(method, path, body, background) {
  var how = {method: method, headers: {"Content-Type": "application/json", "X-CSRF-Token": CSRF || ""}};
  if (background) how.headers["X-Qor-Background"] = "1";
  if (body !== undefined) how.body = JSON.stringify(body);
  return fetch(path, how).then(function (r) {
    return r.text().then(function (t) {
      var data = null;
      try { data = t ? JSON.parse(t) : null; } catch (e) { data = {error: t}; }
      return {status: r.status, data: data};
    });
  });
}
function refreshNow() {
  if (timer !== null) clearTimeout(timer);
  refresh();
}
function listed(data) {
  VERSION = data.version;
  LISTED = data.sources || [];
  TILES.forEach(function (t, name) { t.edit.hidden = !canChange() || !listedSource(name); });
}
// The form's fields: name, label, input type, width class, what blank means.
var FIELDS = [["name", "Name", "text", "wide", "As NDI receivers list it."],
              ["input", "Camera address", "text", "wide", "Starts with rtsp:// or rtsps://."],
              ["user", "User name", "text", "", "Blank: the camera asks for none."],
              ["password", "Password", "password", "", ""],
              ["width", "Width", "number", "narrow", "Blank: the camera's own size."],
              ["height", "Height", "number", "narrow", "Blank: the camera's own size."],
              ["fps", "Pictures/s", "number", "narrow", "Blank: the camera's own rate."],
              ["stall", "Stall limit (s)", "number", "narrow", "Blank: the box's default; 0: none."],
              ["audio", "Audio", "checkbox", "", ""], ["enabled", "On", "checkbox", ""]];
var LABELS = {ptz: "PTZ from receivers"};
FIELDS.forEach(function (f) { LABELS[f[0]] = f[1]; });
var SIZES = [[1920, 1080], [1280, 720], [960, 540], [640, 360], [3840, 2160]];
var MOST_PIXELS = 16384, MOST_FPS = 1000;
function numberOrNull(input) { return input.value === "" ? null : Number(input.value); }
// What the form sets: the password only when one was typed, so that the
// stored one is kept otherwise.
function formSource(form) {
  var f = function (name) { return form.elements.namedItem(name); };
  var source = {name: f("name").value.trim(), input: f("input").value.trim(), user: f("user").value,
                audio: f("audio").checked, width: numberOrNull(f("width")), height: numberOrNull(f("height")),
                fps: numberOrNull(f("fps")), stall: numberOrNull(f("stall")), enabled: f("enabled").checked};
  if (f("password").value !== "") source.password = f("password").value;
  // The camera a source was found on, as Use put it in the form.
  if (form.getAttribute("data-onvif")) source.onvif = JSON.parse(form.getAttribute("data-onvif"));
  // PTZ from receivers, offered only for a camera with its ONVIF device and profile.
  source.ptz = !form.querySelector(".ptzfield").hidden && f("ptz").checked;
  return source;
}
// The form's own checks, before any camera is asked: name -> words.
function formProblems(form, wanted, fresh, old) {
  var problems = {};
  if (wanted.name === "") problems.name = "Give the source a name.";
  else if ((fresh || wanted.name !== old) && listedSource(wanted.name)) {
    problems.name = "Another source is already named " + wanted.name + ".";
  }
  if (wanted.input === "") problems.input = "Give the camera's address, starting with rtsp:// or rtsps://.";
  else if (!/^rtsps?:\/\/[^\s\/?#]+/i.test(wanted.input)) {
    problems.input = "The address must start with rtsp:// or rtsps:// and name the camera.";
  }
  if (wanted.password !== undefined && wanted.user === "") problems.user = "A password needs its user name.";
  ["width", "height"].forEach(function (side) {
    var v = wanted[side];
    if (v === null) return;
    if (!Number.isInteger(v) || v < 1 || v > MOST_PIXELS) {
      problems[side] = "A whole number of pixels from 1 to " + MOST_PIXELS + ", or blank.";
    } else if (v % 2) {
      problems[side] = "Width and height must be even numbers.";
    }
  });
  if (form.elements.namedItem("width").validity.badInput) problems.width = "A whole number of pixels, or blank.";
  if (form.elements.namedItem("height").validity.badInput) problems.height = "A whole number of pixels, or blank.";
  if (wanted.fps !== null && (!Number.isInteger(wanted.fps) || wanted.fps < 1 || wanted.fps > MOST_FPS)) {
    problems.fps = "A whole number of pictures per second from 1 to " + MOST_FPS + ", or blank.";
  }
  if (wanted.stall !== null && !(wanted.stall >= 0)) problems.stall = "A number of seconds, 0 or more, or blank.";
  return problems;
}
// The server's refusal in a person's words, at the field it is about.
function serverProblem(message) {
  var field = null, m = /"(\w+)"/.exec(message);
  if (m && LABELS.hasOwnProperty(m[1])) field = m[1];
  if (/already named/.test(message)) field = "name";
  if (/password again/.test(message)) field = "password";
  var words = message.replace(/"(\w+)"/g, function (all, name) { return LABELS[name] || name; });
  if (/must be even/.test(message)) words = "Width and height must be even numbers.";
  if (/must be an rtsp/.test(message)) words = "The address must start with rtsp:// or rtsps://.";
  if (/holds \*\*\*/.test(message)) words = "The address holds *** where its password goes: type the password in its own field.";
  words = words.charAt(0).toUpperCase() + words.slice(1);
  if (!/[.!?]$/.test(words)) words += ".";
  return {field: field, words: words};
}
function formatLine(result) {
  var codecs = {h264: "H.264", hevc: "H.265", h265: "H.265", mjpeg: "MJPEG", mpeg4: "MPEG-4", aac: "AAC",
                pcm_mulaw: "G.711 \u00b5-law", pcm_alaw: "G.711 A-law", opus: "Opus", mp3: "MP3"};
  var name = function (c) { return codecs[String(c).toLowerCase()] || String(c).toUpperCase(); };
  var v = result.video || {}, a = result.audio;
  var rate = Math.round(Number(v.fps) * 100) / 100;
  var line = name(v.codec) + " " + v.width + "x" + v.height + " " + rate + " fps";
  if (!a) return line + ", no audio";
  var channels = a.channels === 1 ? "mono" : a.channels === 2 ? "stereo" : a.channels + " channels";
  return line + ", " + name(a.codec) + " " + channels;
}
var CHECK_SECONDS = 10;
var formCount = 0;
// One of FIELDS as a labelled input with its hint and its place for an error.
function field(form, row, source, fresh, editable) {
  var key = row[0], type = row[2], hintText = row[4];
  var id = "f" + formCount + "-" + key, box = el("div", "field " + key);
  var label = el("label", "", row[1]), input = el("input", row[3]);
  label.htmlFor = id;
  input.id = id;
  input.name = key;
  input.type = type;
  var described = [];
  if (hintText) {
    var hint = el("span", "hint", hintText);
    hint.id = id + "-hint";
    described.push(hint.id);
  }
  var error = el("span", "fielderror " + key);
  error.id = id + "-error";
  described.push(error.id);
  input.setAttribute("aria-describedby", described.join(" "));
  if (type === "number") {
    input.min = key === "stall" ? "0" : "1";
    input.step = key === "stall" ? "any" : key === "fps" ? "1" : "2";
    input.setAttribute("inputmode", key === "stall" ? "decimal" : "numeric");
  }
  if (key === "width" || key === "height") input.setAttribute("list", "sizes-" + key);
  if (key === "input") {
    input.setAttribute("inputmode", "url");
    input.placeholder = "rtsp://camera/stream";
  }
  if (key === "name" || key === "input") input.required = true;
  if (type === "checkbox") {
    input.checked = fresh ? true : !!source[key];
    box.appendChild(input);
    box.appendChild(label);
    label.className = "inline";
  } else {
    if (key === "password") {
      input.autocomplete = "new-password";
      input.placeholder = !fresh && source.password ? "stored (type to change)" : "";
    } else if (!fresh && source[key] !== null && source[key] !== undefined) {
      input.value = String(source[key]);
    }
    box.appendChild(label);
    box.appendChild(input);
  }
  input.disabled = !editable;
  if (hintText) box.appendChild(hint);
  box.appendChild(error);
  return box;
}
function setProblem(form, name, words) {
  var input = form.elements.namedItem(name), error = form.querySelector(".fielderror." + name);
  if (!input || !error) return false;
  error.textContent = words;
  input.setAttribute("aria-invalid", "true");
  return true;
}
function clearProblems(form) {
  form.querySelectorAll(".fielderror,.formerror").forEach(function (x) { x.textContent = ""; });
  form.querySelectorAll("[aria-invalid]").forEach(function (x) { x.removeAttribute("aria-invalid"); });
}
function firstProblem(form) {
  var bad = form.querySelector("[aria-invalid=true]");
  if (bad) bad.focus();
}
// A source's form, in the dialog over the wall: its fields, what the camera
// check found, and Save (Add for a new one), Restart and Remove.
function sourceForm(source, note) {
  formCount++;
  var form = el("form", "source"), fresh = source === null, editable = fresh || source.editable;
  form.setAttribute("data-name", fresh ? "" : source.name);
  form.noValidate = true;
  var title = el("h2", "", fresh ? "Add camera" : "Edit " + source.name);
  title.id = "editortitle";
  form.appendChild(title);
  if (!editable) {
    form.appendChild(el("p", "note", "Written by hand: its args hold more than the page sets, so it is changed in " +
                                     "the sources file only."));
  }
  var formError = el("p", "formerror", note || "");
  formError.setAttribute("role", "alert");
  form.appendChild(formError);
  FIELDS.forEach(function (row) { form.appendChild(field(form, row, source, fresh, editable)); });
  // The common sizes, offered on the width and height fields.
  ["width", "height"].forEach(function (side, i) {
    var list = el("datalist");
    list.id = "sizes-" + side;
    SIZES.forEach(function (s) {
      var option = el("option");
      option.value = String(s[i]);
      option.label = s[0] + "x" + s[1];
      list.appendChild(option);
    });
    form.appendChild(list);
  });
  var sizeBox = el("div", "field sizes"), sizeLabel = el("label", "", "Common sizes"), sizes = el("select");
  sizes.id = "f" + formCount + "-sizes";
  sizeLabel.htmlFor = sizes.id;
  sizes.appendChild(el("option", "", "choose to fill in width and height"));
  sizes.firstChild.value = "";
  SIZES.forEach(function (s) {
    var option = el("option", "", s[0] + "x" + s[1]);
    option.value = s[0] + "x" + s[1];
    sizes.appendChild(option);
  });
  var own = el("option", "", "the camera's own size (blank)");
  own.value = "own";
  sizes.appendChild(own);
  sizes.disabled = !editable;
  sizes.addEventListener("change", function () {
    if (!sizes.value) return;
    var wh = sizes.value === "own" ? ["", ""] : sizes.value.split("x");
    form.elements.namedItem("width").value = wh[0];
    form.elements.namedItem("height").value = wh[1];
  });
  sizeBox.appendChild(sizeLabel);
  sizeBox.appendChild(sizes);
  form.insertBefore(sizeBox, form.querySelector(".field.width"));
  // PTZ from receivers: only for the camera the source was found on, as Use
  // put it in the form or as the file has it.
  var ptzField = el("div", "field ptzfield"), ptzLabel = el("label", "", "PTZ from receivers"), ptz = el("input");
  ptz.name = "ptz";
  ptz.type = "checkbox";
  ptz.id = "f" + formCount + "-ptz";
  ptzLabel.htmlFor = ptz.id;
  ptzLabel.className = "inline";
  ptz.checked = !fresh && !!source.ptz;
  ptz.disabled = !editable;
  ptzField.appendChild(ptz);
  ptzField.appendChild(ptzLabel);
  ptzField.appendChild(el("span", "fielderror ptz"));
  ptzField.appendChild(el("p", "note", "Any NDI receiver that can see this source can then move the camera."));
  function showPtz() {
    var kept = form.getAttribute("data-onvif");
    var onvif = kept ? JSON.parse(kept) : fresh ? null : source.onvif;
    ptzField.hidden = !(onvif && onvif.device && onvif.profile);
  }
  showPtz();
  form.addEventListener("onvif", showPtz);
  form.appendChild(ptzField);
  var about = el("details", "note");
  about.appendChild(el("summary", "", "About rtsps:// and stored passwords"));
  about.appendChild(el("p", "", "An rtsps:// address encrypts the camera's stream but does not check the camera's " +
                                "certificate: it keeps out a listener, not an impostor on the network. A camera's " +
                                "password is in the command line of its tool and decoder, which other users of the " +
                                "box can read unless /proc is mounted with hidepid=invisible. A stored password is " +
                                "kept only while the address keeps its scheme, host and port."));
  form.appendChild(about);
  // What the camera check found: progress while it runs, then what it found
  // and its snapshot, or why it failed.
  var check = el("div", "check"), progress = el("div", "progress"), left = el("span", "left");
  var cancel = el("button", "cancel", "Cancel check");
  cancel.type = "button";
  progress.appendChild(el("span", "spinner"));
  progress.appendChild(left);
  progress.appendChild(cancel);
  progress.hidden = true;
  progress.setAttribute("role", "status");
  var words = el("p", "checkwords"), detail = el("p", "checkdetail"), found = el("p", "found");
  var picture = el("img", "snapshot");
  picture.hidden = true;
  [progress, words, found, detail].forEach(function (x) { check.appendChild(x); });
  // The picture at the top, where a phone shows it with the name.
  form.insertBefore(picture, form.querySelector(".field.name"));
  function showPicture(url, alt) {
    picture.src = url;
    picture.alt = alt;
    picture.hidden = false;
  }
  // An existing source's form shows its latest picture (so after a change,
  // the new one), else the snapshot of its last check on this page.
  if (!fresh) {
    var row = TILES.get(source.name);
    if (row && row.img.getAttribute("src")) showPicture(row.img.getAttribute("src"), "latest picture of " + source.name);
    else if (CHECKED.has(source.name)) showPicture(CHECKED.get(source.name), "snapshot of " + source.name + " from its check");
  }
  form.appendChild(check);
  var buttons = el("div", "buttons");
  var save = el("button", "save", fresh ? "Check and add" : "Save"), anyway = el("button", "anyway", "Save anyway");
  var close = el("button", "close", "Close");
  save.type = "submit";
  anyway.type = close.type = "button";
  save.disabled = !editable;
  anyway.hidden = true;
  buttons.appendChild(save);
  buttons.appendChild(anyway);
  form.appendChild(buttons);
  close.addEventListener("click", function () { closeForm(); });
  var waiting = null;  // the check being waited for: {cancelled, tick}
  function stopWaiting() {
    if (waiting) {
      waiting.cancelled = true;
      clearInterval(waiting.tick);
      waiting = null;
    }
    progress.hidden = true;
    save.disabled = !editable;
  }
  form.stopWaiting = stopWaiting;
  cancel.addEventListener("click", function () {
    stopWaiting();
    words.className = "checkwords";
    words.textContent = "Check cancelled: change what is needed and save again.";
    form.elements.namedItem("input").focus();
  });
  function clear() {
    clearProblems(form);
    words.textContent = detail.textContent = found.textContent = "";
    form.removeAttribute("data-found");
    words.className = "checkwords";
    anyway.hidden = true;
  }
  function done(wanted, data) {
    listed(data);
    var old = form.getAttribute("data-name");
    var text;
    if (fresh) {
      text = wanted.enabled ? "Added: " + wanted.name + " starting" : "Added: " + wanted.name + " (switched off)";
    } else if (!wanted.enabled) {
      text = wanted.name + " switched off";
    } else if (!source.enabled) {
      text = wanted.name + " switched on, starting";
    } else {
      text = "Saved: " + wanted.name + " restarting";
    }
    // What the check found, said with the change, as the form closes.
    var seen = form.getAttribute("data-found");
    if (seen) {
      text += " (found " + seen + ")";
      FOUND.set(wanted.name, seen);
    }
    if (wanted.enabled && !fresh) RESTARTING.set(wanted.name, Date.now());
    if (old && old !== wanted.name) RESTARTING.delete(old);
    say(text);
    closeForm();
    MARK = wanted.name;
    refreshNow();
  }
  function refused(result) {
    // A 409 with the file as it is now: it changed meanwhile (one without: the name is taken).
    if (result.status === 409 && result.data && result.data.sources) {
      listed(result.data);
      var now = fresh ? null : listedSource(form.getAttribute("data-name"));
      var why = "The sources file was changed meanwhile (by hand or from another page): here it is as it is now.";
      if (fresh || now) return openForm(now, null, why);
      closeForm();
      return say(why, true);
    }
    var p = serverProblem((result.data && result.data.error) || ("The supervisor answered HTTP " + result.status));
    if (!p.field || !setProblem(form, p.field, p.words)) formError.textContent = p.words;
    save.disabled = !editable;
    firstProblem(form);
  }
  function store(wanted) {
    var old = form.getAttribute("data-name");
    var renamed = old !== "" && wanted.name !== old;
    save.disabled = true;
    var first = renamed ? api("PUT", "api/sources", {version: VERSION, rename: {from: old, to: wanted.name}})
                        : Promise.resolve(null);
    first.then(function (r) {
      if (r && r.status !== 200) return refused(r);
      if (r) VERSION = r.data.version;
      var change = {version: VERSION, source: wanted};
      if (fresh) change["new"] = true;
      return api("PUT", "api/sources", change).then(function (r2) {
        if (r2.status >= 200 && r2.status < 300 && r2.data) return done(wanted, r2.data);
        refused(r2);
      });
    }).catch(function (err) {
      formError.textContent = "No answer from the supervisor (" + err.message + ").";
      save.disabled = !editable;
    });
  }
  // The check failed: its words at the field they are about; Save anyway
  // only where saving can help, a camera not reachable just now.
  function failed(reason, message, why) {
    stopWaiting();
    detail.textContent = why || "";
    if (reason === "auth") {
      setProblem(form, "password", message);
      if (form.elements.namedItem("user").value === "") setProblem(form, "user", "Give the camera's user name.");
    } else if (reason === "not_rtsp" || reason === "not_found" || reason === "no_name") {
      setProblem(form, "input", message);
    } else {
      words.className = "checkwords bad";
      words.textContent = message;
    }
    anyway.hidden = !(reason === "unreachable" || reason === "timeout");
    firstProblem(form);
  }
  form.addEventListener("submit", function (e) {
    e.preventDefault();
    if (waiting) return;
    clear();
    var wanted = formSource(form);
    var problems = formProblems(form, wanted, fresh, form.getAttribute("data-name"));
    Object.keys(problems).forEach(function (name) { setProblem(form, name, problems[name]); });
    if (Object.keys(problems).length) return firstProblem(form);
    // A new camera, or another address or account, is checked before it is
    // saved. When only the stored password would do, the page does not know
    // it (it is never sent back), so such a change is saved unchecked; so is
    // an address that still holds the stored password masked.
    var moved = fresh || wanted.input !== source.input || wanted.user !== (source.user || "") ||
                wanted.password !== undefined;
    var unknown = (!fresh && source.password && wanted.password === undefined) ||
                  wanted.input.indexOf(":***@") >= 0;
    if (!moved || unknown) return store(wanted);
    save.disabled = true;
    var ask = {input: wanted.input, user: wanted.user, password: wanted.password || "", audio: wanted.audio};
    var started = Date.now(), mine = {cancelled: false};
    waiting = mine;
    progress.hidden = false;
    function tick() {
      var s = Math.max(0, Math.ceil(CHECK_SECONDS - (Date.now() - started) / 1000));
      left.textContent = "Checking the camera: " + (s > 0 ? s + " s left" : "finishing") + "\u2026";
    }
    tick();
    mine.tick = setInterval(tick, 250);
    function poll(id) {
      if (mine.cancelled) return;
      api("GET", "api/check?id=" + encodeURIComponent(id), undefined, true).then(function (r) {
        if (mine.cancelled) return;
        if (r.status !== 200) return failed("", checkError(r));
        var result = r.data;
        if (result.state === "running") {
          if (Date.now() - started > 2 * CHECK_SECONDS * 1000) {
            return failed("", "The check did not end within " + 2 * CHECK_SECONDS + " s.");
          }
          return setTimeout(function () { poll(id); }, 500);
        }
        if (!result.ok) return failed(result.reason, result.message, result.detail);
        stopWaiting();
        found.textContent = "Found: " + formatLine(result);
        form.setAttribute("data-found", formatLine(result));
        if (result.snapshot) {
          var url = result.snapshot.replace(/^\//, "");
          CHECKED.set(wanted.name, url);
          showPicture(url, "snapshot of " + wanted.name + " from its check");
        }
        store(wanted);
      }, function (err) { if (!mine.cancelled) failed("", "No answer from the supervisor (" + err.message + ")."); });
    }
    api("POST", "api/check", ask).then(function (r) {
      if (mine.cancelled) return;
      if (r.status !== 202) return failed("", checkError(r));
      setTimeout(function () { poll(r.data.id); }, 500);
    }, function (err) { if (!mine.cancelled) failed("", "No answer from the supervisor (" + err.message + ")."); });
  });
  anyway.addEventListener("click", function () {
    clear();
    store(formSource(form));
  });
  if (!fresh) {
    var restart = el("button", "restart", "Restart"), remove = el("button", "remove", "Remove\u2026");
    restart.type = remove.type = "button";
    restart.disabled = !source.enabled;
    restart.addEventListener("click", function () {
      api("POST", "api/restart", {name: source.name}).then(function (r) {
        if (r.status !== 200) return refused(r);
        RESTARTING.set(source.name, Date.now());
        say(source.name + " restarting");
        closeForm();
        MARK = source.name;
        refreshNow();
      });
    });
    // Remove asks first, in the form: Remove or Cancel.
    var confirm = el("div", "confirm"), sure = el("button", "sure", "Remove"), keep = el("button", "keep", "Cancel");
    sure.type = keep.type = "button";
    confirm.hidden = true;
    confirm.appendChild(el("p", "", "Remove " + source.name + "? Its tile goes, and NDI receivers lose the source."));
    confirm.appendChild(sure);
    confirm.appendChild(keep);
    remove.addEventListener("click", function () {
      confirm.hidden = false;
      keep.focus();
    });
    keep.addEventListener("click", function () {
      confirm.hidden = true;
      remove.focus();
    });
    sure.addEventListener("click", function () {
      sure.disabled = true;
      api("DELETE", "api/sources?name=" + encodeURIComponent(source.name) + "&version=" +
          encodeURIComponent(VERSION)).then(function (r) {
        sure.disabled = false;
        if (r.status !== 200) return refused(r);
        listed(r.data);
        say(source.name + " removed");
        closeForm();
        refreshNow();
      });
    });
    buttons.appendChild(restart);
    buttons.appendChild(remove);
    form.appendChild(confirm);
  }
  buttons.appendChild(close);
  return form;
}
function checkError(r) { return (r.data && r.data.error) || ("The check failed (HTTP " + r.status + ")."); }
// The form in the dialog over the wall; back is where the focus returns.
var FORM_BACK = null;
function openForm(source, back, note) {
  var dialog = document.getElementById("editor");
  var old = dialog.querySelector("form.source");
  if (old && old.stopWaiting) old.stopWaiting();
  while (dialog.firstChild) dialog.removeChild(dialog.firstChild);
  var form = sourceForm(source, note);
  dialog.appendChild(form);
  if (back !== null && back !== undefined) FORM_BACK = back;
  if (!dialog.open) dialog.showModal();
  form.elements.namedItem("name").focus();
  return form;
}
function closeForm() {
  var dialog = document.getElementById("editor");
  if (dialog.open) dialog.close();
}
document.getElementById("editor").addEventListener("close", function () {
  var dialog = document.getElementById("editor"), form = dialog.querySelector("form.source");
  if (form && form.stopWaiting) form.stopWaiting();
  while (dialog.firstChild) dialog.removeChild(dialog.firstChild);
  if (FORM_BACK && document.contains(FORM_BACK)) FORM_BACK.focus();
  FORM_BACK = null;
});
document.getElementById("add").addEventListener("click", function (e) { openForm(null, e.target); });
function loadSources() {
  fetch("api/sources", {cache: "no-store"}).then(function (r) {
    if (!r.ok) throw new Error("HTTP " + r.status);
    return r.json();
  }).then(function (data) {
    listed(data);
    show("edit", true);
    show("add", true);
  }).catch(function (e) {
    show("edit", true);
    document.getElementById("editnote").textContent = "The sources cannot be changed now (" + e.message + ").";
  });
}
// Finding cameras: a search (POST /api/cameras) polled until it ends, then
// each camera with its own user name, password and Ask, and each profile it
// tells with Use, which opens a new source's form filled with it.
function searchCameras(ask, state, done) {
  state.textContent = "Asking\u2026";
  var deadline = Date.now() + 60000;
  function poll(id) {
    api("GET", "api/cameras?id=" + encodeURIComponent(id), undefined, true).then(function (r) {
      if (r.status !== 200) return (state.textContent = checkError(r));
      if (r.data.state === "running") {
        if (Date.now() > deadline) return (state.textContent = "The search did not end within 60 s.");
        return setTimeout(function () { poll(id); }, 500);
      }
      state.textContent = r.data.error || "";
      done(r.data.cameras);
    }, function (err) { state.textContent = "No answer from the supervisor (" + err.message + ")."; });
  }
  api("POST", "api/cameras", ask).then(function (r) {
    if (r.status !== 202) return (state.textContent = checkError(r));
    setTimeout(function () { poll(r.data.id); }, 500);
  }, function (err) { state.textContent = "No answer from the supervisor (" + err.message + ")."; });
}
function hostOf(url) {
  try { return new URL(url).hostname; } catch (e) { return ""; }
}
function uniqueName(name) {
  var taken = new Set(LISTED.map(function (s) { return s.name; }));
  var base = name || "Camera", n = 1, wanted = base;
  while (taken.has(wanted)) wanted = base + " " + (++n);
  return wanted;
}
// Fills the new-source form with a profile of a camera; the check and Add are the operator's.
function useProfile(camera, profile, user, password) {
  var form = openForm(null, document.getElementById("add"));
  var f = function (name) { return form.elements.namedItem(name); };
  f("name").value = uniqueName(camera.name || camera.model);
  f("input").value = profile.stream;
  f("user").value = user;
  f("password").value = password;
  form.setAttribute("data-onvif", JSON.stringify({device: camera.address, endpoint: camera.endpoint,
                                                   profile: profile.token}));
  form.dispatchEvent(new Event("onvif"));
  f("name").focus();
}
function cameraItem(camera) {
  var item = el("div", "camera");
  item.appendChild(el("h4", "", camera.name || "(no name)"));
  item.appendChild(el("p", "", [camera.maker, camera.model].filter(Boolean).join(" ") + " \u00b7 " +
                               camera.address + (camera.location ? " \u00b7 " + camera.location : "")));
  // A saved source of this camera at another address: the camera has moved.
  LISTED.forEach(function (s) {
    if (!s.onvif || !s.onvif.endpoint || s.onvif.endpoint !== camera.endpoint || s.onvif.device === camera.address) {
      return;
    }
    var moved = el("button", "", "Use new address for " + s.name);
    moved.type = "button";
    moved.addEventListener("click", function () {
      var form = openForm(listedSource(s.name) || s, moved);
      var input = form.elements.namedItem("input");
      try {
        var u = new URL(input.value);
        u.hostname = hostOf(camera.address);
        input.value = u.href;
      } catch (e) { return; }
      form.setAttribute("data-onvif", JSON.stringify({device: camera.address, endpoint: camera.endpoint,
                                                       profile: s.onvif.profile}));
      form.dispatchEvent(new Event("onvif"));
    });
    item.appendChild(el("p", "moved", "moved: saved as " + s.name + " at " + s.onvif.device));
    item.appendChild(moved);
  });
  var user = el("input"), password = el("input"), ask = el("button", "", "Ask"), state = el("p", "findstate");
  user.name = "user";
  password.name = "password";
  password.type = "password";
  password.autocomplete = "new-password";
  ask.type = "button";
  var userLabel = el("label", "", "User name"), passwordLabel = el("label", "", "Password");
  userLabel.appendChild(user);
  passwordLabel.appendChild(password);
  [userLabel, passwordLabel, ask, state].forEach(function (x) { item.appendChild(x); });
  var profiles = el("table", "profiles");
  item.appendChild(profiles);
  ask.addEventListener("click", function () {
    while (profiles.firstChild) profiles.removeChild(profiles.firstChild);
    var where = new URL(camera.address).host;
    searchCameras({addresses: [where], user: user.value, password: password.value}, state, function (cameras) {
      var c = cameras[0];
      if (!c) return (state.textContent = "The camera did not answer.");
      if (c.error) return (state.textContent = c.error);
      if (!c.profiles.length) return (state.textContent = "The camera tells no profiles.");
      c.profiles.forEach(function (p) {
        var row = el("tr"), use = el("button", "", "Use");
        use.type = "button";
        [p.name, p.encoding, p.width + "\u00d7" + p.height, p.rate + " /s", p.ptz ? "PTZ" : ""].forEach(function (t) {
          row.appendChild(el("td", "", t));
        });
        var cell = el("td");
        // A hostile device could name another host to learn the password.
        if (hostOf(p.stream) !== hostOf(c.address)) cell.appendChild(el("span", "elsewhere", "stream on another host: " +
                                                                        hostOf(p.stream) + " "));
        use.addEventListener("click", function () { useProfile(c, p, user.value, password.value); });
        cell.appendChild(use);
        row.appendChild(cell);
        profiles.appendChild(row);
      });
    });
  });
  return item;
}
function showCameras(cameras) {
  var list = document.getElementById("cameras");
  while (list.firstChild) list.removeChild(list.firstChild);
  var state = document.getElementById("findstate");
  if (!cameras.length && !state.textContent) state.textContent = "No camera answered.";
  cameras.forEach(function (c) { list.appendChild(cameraItem(c)); });
}
document.getElementById("search").addEventListener("click", function () {
  searchCameras({addresses: []}, document.getElementById("findstate"), showCameras);
});
document.getElementById("find").addEventListener("submit", function (e) {
  e.preventDefault();
  var address = e.target.elements.namedItem("address").value.trim();
  searchCameras({addresses: [address]}, document.getElementById("findstate"), showCameras);
});
// View links: made, listed and revoked by a logged-in operator; the link
// itself is shown once, when it is made.
function viewLinks() {
  var list = document.getElementById("viewlist"), state = document.getElementById("viewstate");
  api("GET", "api/views").then(function (r) {
    while (list.firstChild) list.removeChild(list.firstChild);
    if (r.status === 404) return (state.textContent = "This box makes no view links yet.");
    if (r.status !== 200) return (state.textContent = "The view links cannot be read (HTTP " + r.status + ").");
    var views = (r.data && r.data.views) || [];
    state.textContent = views.length ? "" : "No view links yet.";
    views.forEach(function (v) {
      var item = el("li"), words = el("div");
      words.appendChild(el("strong", "", v.name));
      words.appendChild(el("br"));
      words.appendChild(el("span", "", v.last_used ? "last used " + when(v.last_used) : "never used"));
      var revoke = el("button", "revoke", "Revoke");
      revoke.type = "button";
      revoke.setAttribute("aria-label", "Revoke the view link " + v.name);
      revoke.addEventListener("click", function () {
        api("DELETE", "api/views?id=" + encodeURIComponent(v.id)).then(function (d) {
          if (d.status !== 200) return (state.textContent = "Not revoked (HTTP " + d.status + ").");
          say("View link " + v.name + " revoked");
          document.getElementById("viewlink").hidden = true;
          viewLinks();
        });
      });
      item.appendChild(words);
      item.appendChild(revoke);
      list.appendChild(item);
    });
  }, function (err) { state.textContent = "No answer from the supervisor (" + err.message + ")."; });
}
document.getElementById("views").addEventListener("toggle", function (e) {
  if (e.target.open) viewLinks();
});
document.getElementById("newview").addEventListener("submit", function (e) {
  e.preventDefault();
  var name = document.getElementById("viewname"), made = document.getElementById("viewlink");
  var state = document.getElementById("viewstate");
  if (name.value.trim() === "") {
    name.setAttribute("aria-invalid", "true");
    state.textContent = "Give the view link a name, such as the screen it is for.";
    return name.focus();
  }
  name.removeAttribute("aria-invalid");
  api("POST", "api/views", {name: name.value.trim()}).then(function (r) {
    if (r.status !== 200 || !r.data || !r.data.link) {
      return (state.textContent = (r.data && r.data.error) || "No view link made (HTTP " + r.status + ").");
    }
    made.textContent = "";
    made.appendChild(el("span", "", "Copy this link now: it is shown only once. "));
    var link = el("a", "", new URL(r.data.link, location.href).href);
    link.href = link.textContent;
    made.appendChild(link);
    var copy = el("button", "copy", "Copy");
    copy.type = "button";
    copy.addEventListener("click", function () {
      // The clipboard is there on https and on this box itself; elsewhere
      // the link is selected for the operator to copy.
      var range = document.createRange();
      range.selectNodeContents(link);
      getSelection().removeAllRanges();
      getSelection().addRange(range);
      if (navigator.clipboard) {
        navigator.clipboard.writeText(link.href).then(function () { copy.textContent = "Copied"; },
                                                      function () { copy.textContent = "Selected: copy it"; });
      } else {
        copy.textContent = "Selected: copy it";
      }
    });
    made.appendChild(copy);
    made.hidden = false;
    say("View link " + r.data.name + " made");
    name.value = "";
    viewLinks();
  }, function (err) { state.textContent = "No answer from the supervisor (" + err.message + ")."; });
});
// WALL: whether the wall holds what a session showed. When the session ends
// (a new password, 12 h after the login, or unused), its last state stays on
// screen under the login form; a logout clears it.
var WALL = false;
function showChanges(on) {
  show("add", on && LISTED !== null && VERSION !== null);
  show("views", on);
  show("logout", on);
  if (!on) {
    show("edit", false);
    closeForm();
  }
  TILES.forEach(function (t, name) { t.edit.hidden = !on || !listedSource(name); });
}
function askLogin() {
  show("wall", WALL);
  showChanges(false);
  show("nopassword", false);
  show("login", true);
  var u = document.getElementById("updated");
  u.className = WALL ? "lost" : "";
  u.textContent = WALL ? "the session has ended: log in again (the wall as last seen)" : "logged out";
  document.getElementById("password").focus();
}
function refresh() {
  timer = null;
  var path = VIEW === null ? "status.json" : "status.json?view=" + encodeURIComponent(VIEW);
  fetch(path, {cache: "no-store", headers: BACKGROUND}).then(function (r) {
    // A password is set and this browser has no session (or the view link
    // no longer works): the login form, or the view link's end.
    if (r.status === 403 || r.status === 401) return null;
    if (!r.ok) throw new Error("HTTP " + r.status);
    return r.json();
  }).then(function (data) {
    if (data === null && VIEW !== null) {
      show("wall", false);
      show("viewgone", true);
      document.getElementById("updated").textContent = "";
      return;
    }
    if (data === null) return askLogin();
    show("login", false);
    show("wall", true);
    showChanges(canChange());
    show("nopassword", VIEW === null && CSRF === null);
    render(data);
    WALL = true;
    timer = setTimeout(refresh, 2000);
  }).catch(function (e) {
    var u = document.getElementById("updated");
    u.className = "lost";
    u.textContent = "no answer from the supervisor (" + e.message + ")";
    timer = setTimeout(refresh, 2000);
  });
}
// The token is read again after every load and every login: it is the
// session's, and the cookie that names the session is out of the script's reach.
function start() {
  if (timer !== null) clearTimeout(timer);
  if (VIEW !== null) return refresh();
  fetch("api/session", {cache: "no-store"}).then(function (r) { return r.json(); }).then(function (s) {
    CSRF = s.logged_in ? s.csrf : null;
  }).catch(function () { CSRF = null; }).then(function () {
    show("edit", false);
    VERSION = null;
    LISTED = [];
    if (CSRF !== null) loadSources();
    refresh();
  });
}
document.getElementById("login").addEventListener("submit", function (e) {
  e.preventDefault();
  var field = document.getElementById("password"), error = document.getElementById("loginerror");
  error.textContent = "";
  fetch("api/login", {method: "POST", headers: {"Content-Type": "application/json"},
                      body: JSON.stringify({password: field.value})}).then(function (r) {
    if (r.status === 204) {
      field.value = "";
      field.removeAttribute("aria-invalid");
      return start();
    }
    // A failed try: the field cleared and ready for the next one.
    field.value = "";
    field.setAttribute("aria-invalid", "true");
    field.focus();
    if (r.status === 429) {
      error.textContent = "Too many failed logins: try again in " + r.headers.get("Retry-After") + " s.";
    } else if (r.status === 403) {
      error.textContent = "Wrong password.";
    } else {
      error.textContent = "The login failed (HTTP " + r.status + ").";
    }
  }).catch(function (err) { error.textContent = "No answer from the supervisor (" + err.message + ")."; });
});
document.getElementById("logout").addEventListener("click", function () {
  WALL = false;
  fetch("api/logout", {method: "POST", headers: {"Content-Type": "application/json", "X-CSRF-Token": CSRF || ""},
                       body: "{}"}).then(start, start);
});
document.getElementById("host").textContent = location.host;
start();

"use strict";
var WORDS = {running: "running", starting: "starting", waiting: "waiting to start again",
             stalled: "stalled, starting again", stopped: "stopped",
             held: "held: the camera refused the password", off: "switched off"};
function duration(s) {
  if (s === null || s === undefined) return "\u2013";
  s = Math.floor(s);
  var d = Math.floor(s / 86400), h = Math.floor(s % 86400 / 3600), m = Math.floor(s % 3600 / 60);
  if (d) return d + " d " + h + " h";
  if (h) return h + " h " + m + " min";
  if (m) return m + " min " + (s % 60) + " s";
  return s + " s";
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
  var badge = el("span", cls, text), lines = ["PTZ from receivers: " + (known ? PTZ_TITLES[state] : state)];
  if (last) {
    var at = new Date(last.at);
    lines.push("last: " + last.command + ", " + (PTZ_RESULTS[last.result] || String(last.result)) + ", " +
               (isNaN(at.getTime()) ? String(last.at) : at.toLocaleString()));
  } else {
    lines.push("no command yet");
  }
  badge.title = lines.join("\n");
  return badge;
}
function lastError(r) {
  if (r.error) return r.error;
  if (r.exit_code !== null && r.exit_code !== undefined && r.exit_code !== 0) return "exit " + r.exit_code;
  return "\u2013";
}
// A picture element per source, kept from one refresh to the next: the old
// picture stays in place until the new one has loaded.
var PICTURES = new Map(), refreshes = 0;
// The snapshot of the last passed check of a source's form, by source name,
// for as long as the page is open.
var CHECKED = new Map();
function el(tag, cls, text) {
  var e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
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
function monitor(td, r, seen) {
  var tally = r.tally || {};
  var lamp = tally.program ? "program" : tally.preview ? "preview" : "off";
  var screen = el("div", "screen " + lamp);
  // A picture older than the stall limit is no longer what the source shows.
  var stale = r.picture_age === null || r.picture_age === undefined ||
              (r.stall > 0 && r.picture_age > r.stall);
  var checked = CHECKED.get(r.name);
  if (r.picture && !stale) {
    var img = PICTURES.get(r.name);
    if (!img) {
      img = el("img", "picture");
      img.alt = "picture of " + r.name;
      PICTURES.set(r.name, img);
    }
    // Relative to the page, as status.json is fetched; new each refresh.
    img.src = r.picture.replace(/^\//, "") + "&n=" + refreshes;
    screen.appendChild(img);
    seen.add(r.name);
  } else if (!r.picture && checked && r.state !== "off") {
    // No picture of its own yet: what the check of its form saw stands in.
    screen.appendChild(snapshotImage(checked, "picture checked", r.name));
  } else {
    screen.appendChild(el("div", "nopicture", "no picture"));
  }
  screen.appendChild(el("span", "lamp " + lamp, lamp === "off" ? "" : lamp));
  if (r.frozen) screen.appendChild(el("span", "frozen", "frozen"));
  td.appendChild(screen);
  var level = Array.isArray(r.level) ? r.level : null;
  var meter = el("div", "meter");
  meter.appendChild(meterBar(level ? level[0] : null));
  meter.appendChild(meterBar(level ? level[1] : null));
  td.appendChild(meter);
  td.appendChild(el("div", "db", level ? level[0].toFixed(1) + " / " + level[1].toFixed(1) + " dB" : "no audio"));
}
function snapshotImage(url, cls, name) {
  var img = el("img", cls);
  img.alt = "snapshot of " + name + " from its check";
  img.src = url;
  return img;
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
  refreshes++;
  var seen = new Set();
  rows.forEach(function (r) {
    var tr = document.createElement("tr");
    counts[r.state] = (counts[r.state] || 0) + 1;
    monitor(cell(tr, "Monitor", "", "monitor"), r, seen);
    cell(tr, "Source", r.name, "name");
    cell(tr, "Input", r.input, "input");
    var td = cell(tr, "State", "", ""), badges = el("span", "badges");
    var badge = document.createElement("span");
    badge.className = "state " + (WORDS.hasOwnProperty(r.state) ? r.state : "stopped");
    badge.textContent = WORDS[r.state] || String(r.state);
    badges.appendChild(badge);
    if (r.ptz) badges.appendChild(ptzBadge(r.ptz));
    td.appendChild(badges);
    cell(tr, "Pictures/s", Number(r.fps).toFixed(1), "num");
    cell(tr, "Receivers", String(r.connections), "num");
    cell(tr, "Up", duration(r.uptime), "num");
    cell(tr, "Restarts", String(r.restarts), "num");
    var err = cell(tr, "Last error", lastError(r), "err");
    // What a check of the camera found after the run failed, in words; the
    // decoder's own message on hover.
    if (r.diagnosis) {
      var why = el("div", "why", r.diagnosis.message);
      why.title = r.diagnosis.detail;
      err.appendChild(why);
    }
    fresh.appendChild(tr);
  });
  body.parentNode.replaceChild(fresh, body);
  PICTURES.forEach(function (img, name) { if (!seen.has(name)) PICTURES.delete(name); });
  document.getElementById("empty").hidden = rows.length > 0;
  var parts = [rows.length + (rows.length === 1 ? " source" : " sources")];
  ["running", "starting", "waiting", "stalled", "held", "stopped", "off"].forEach(function (k) {
    if (counts[k]) parts.push(counts[k] + " " + k);
  });
  document.getElementById("summary").textContent = parts.join(" \u00b7 ");
  var u = document.getElementById("updated");
  u.className = "";
  u.textContent = "updated " + new Date().toLocaleTimeString();
}
// The session: its token for changes, null when not logged in.
var CSRF = null, timer = null;
// The forms that change the sources file: one per source and one for a new
// one, built from /api/sources and built again after every change (never by
// the refresh, which would undo what is being typed). VERSION is the file's
// version they show; a change made on an older one is refused (409).
var VERSION = null;
var FIELDS = [["name", "Name", "text", "wide"], ["input", "Camera address (rtsp:// or rtsps://)", "text", "wide"],
              ["user", "User name", "text", ""], ["password", "Password", "password", ""],
              ["width", "Width", "number", "narrow"], ["height", "Height", "number", "narrow"],
              ["fps", "Pictures/s", "number", "narrow"], ["stall", "Stall limit (s)", "number", "narrow"],
              ["audio", "Audio", "checkbox", ""], ["enabled", "On", "checkbox", ""]];
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
function numberOrNull(input) { return input.value === "" ? null : Number(input.value); }
// What the form sets: the password only when one was typed, so that the
// stored one is kept otherwise.
function formSource(form) {
  var f = function (name) { return form.elements.namedItem(name); };
  var source = {name: f("name").value, input: f("input").value, user: f("user").value,
                audio: f("audio").checked, width: numberOrNull(f("width")), height: numberOrNull(f("height")),
                fps: numberOrNull(f("fps")), stall: numberOrNull(f("stall")), enabled: f("enabled").checked};
  if (f("password").value !== "") source.password = f("password").value;
  // The camera a source was found on, as Use put it in the form.
  if (form.getAttribute("data-onvif")) source.onvif = JSON.parse(form.getAttribute("data-onvif"));
  // PTZ from receivers, offered only for a camera with its ONVIF device and profile.
  source.ptz = !form.querySelector(".ptzfield").hidden && f("ptz").checked;
  return source;
}
function refreshNow() {
  if (timer !== null) clearTimeout(timer);
  refresh();
}
// An error beside the field it names (the reader's messages quote the
// member), else under the form.
function showError(form, message) {
  var where = form.querySelector(".formerror");
  FIELDS.map(function (field) { return field[0]; }).concat(["ptz"]).forEach(function (name) {
    if (message.indexOf("\"" + name + "\"") >= 0 && where === form.querySelector(".formerror")) {
      where = form.querySelector(".fielderror." + name);
    }
  });
  where.textContent = message;
}
function answered(form, result, done) {
  // A 409 with the file as it is now: it changed meanwhile (one without: the name is taken).
  if (result.status === 409 && result.data && result.data.sources) {
    renderForms(result.data);
    document.getElementById("editnote").textContent =
      "The sources file was changed meanwhile (by hand or from another page): here it is as it is now.";
  } else if (result.status >= 200 && result.status < 300) {
    if (result.data) renderForms(result.data);
    if (done) done();
  } else {
    showError(form, (result.data && result.data.error) || ("HTTP " + result.status));
  }
}
function checkError(r) { return (r.data && r.data.error) || ("The check failed (HTTP " + r.status + ")."); }
function sourceForm(source) {
  var form = el("form", "source"), fresh = source === null;
  form.setAttribute("data-name", fresh ? "" : source.name);
  form.appendChild(el("h3", "", fresh ? "New source" : source.name));
  var editable = fresh || source.editable;
  if (!editable) {
    form.appendChild(el("p", "note", "Written by hand: its args hold more than the page sets, so it is changed in " +
                                     "the sources file only."));
  }
  FIELDS.forEach(function (field) {
    var label = el("label", "", field[1]), input = el("input", field[3]);
    input.name = field[0];
    input.type = field[2];
    if (field[2] === "number") input.min = field[0] === "stall" ? "0" : "1";
    if (field[0] === "stall") input.step = "any";
    if (field[2] === "checkbox") {
      input.checked = fresh ? true : !!source[field[0]];
    } else if (field[0] === "password") {
      input.autocomplete = "new-password";
      input.placeholder = !fresh && source.password ? "stored (type to change)" : "";
    } else if (!fresh && source[field[0]] !== null && source[field[0]] !== undefined) {
      input.value = String(source[field[0]]);
    }
    input.disabled = !editable;
    label.appendChild(input);
    label.appendChild(el("span", "fielderror " + field[0]));
    form.appendChild(label);
  });
  // PTZ from receivers: only for the camera the source was found on, as Use
  // put it in the form or as the file has it.
  var ptzField = el("div", "ptzfield"), ptzLabel = el("label", "", "PTZ from receivers "), ptz = el("input");
  ptz.name = "ptz";
  ptz.type = "checkbox";
  ptz.checked = !fresh && !!source.ptz;
  ptz.disabled = !editable;
  ptzLabel.appendChild(ptz);
  ptzLabel.appendChild(el("span", "fielderror ptz"));
  ptzField.appendChild(ptzLabel);
  ptzField.appendChild(el("p", "note", "Any NDI receiver that can see this source can then move the camera."));
  function showPtz() {
    var kept = form.getAttribute("data-onvif");
    var onvif = kept ? JSON.parse(kept) : fresh ? null : source.onvif;
    ptzField.hidden = !(onvif && onvif.device && onvif.profile);
  }
  showPtz();
  form.addEventListener("onvif", showPtz);
  form.appendChild(ptzField);
  form.appendChild(el("p", "formerror"));
  // What the camera check found: its words, the decoder's own message, and
  // the snapshot when it passed.
  var check = el("div", "check"), words = el("p", "checkwords"), detail = el("p", "checkdetail");
  check.appendChild(words);
  check.appendChild(detail);
  if (!fresh && CHECKED.has(source.name)) {
    check.appendChild(snapshotImage(CHECKED.get(source.name), "snapshot", source.name));
  }
  form.appendChild(check);
  var save = el("button", "save", fresh ? "Add" : "Save"), anyway = el("button", "anyway", "Save anyway");
  save.type = "submit";
  anyway.type = "button";
  save.disabled = !editable;
  anyway.hidden = true;
  form.appendChild(save);
  form.appendChild(anyway);
  function clear() {
    form.querySelectorAll(".fielderror,.formerror,.checkwords,.checkdetail").forEach(function (x) {
      x.textContent = "";
    });
    form.querySelectorAll(".check img").forEach(function (x) { check.removeChild(x); });
    anyway.hidden = true;
    document.getElementById("editnote").textContent = "";
  }
  function store(wanted) {
    var old = form.getAttribute("data-name");
    var renamed = old !== "" && wanted.name !== old;
    var first = renamed ? api("PUT", "api/sources", {version: VERSION, rename: {from: old, to: wanted.name}})
                        : Promise.resolve(null);
    first.then(function (r) {
      if (r && r.status !== 200) return answered(form, r);
      if (r) VERSION = r.data.version;
      var change = {version: VERSION, source: wanted};
      if (fresh) change["new"] = true;
      return api("PUT", "api/sources", change).then(function (r2) {
        answered(form, r2, refreshNow);
      });
    });
  }
  function failed(message, why) {
    words.textContent = message;
    detail.textContent = why || "";
    anyway.hidden = false;
    save.disabled = false;
  }
  form.addEventListener("submit", function (e) {
    e.preventDefault();
    clear();
    var wanted = formSource(form);
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
    words.textContent = "Checking the camera\u2026";
    var ask = {input: wanted.input, user: wanted.user, password: wanted.password || "", audio: wanted.audio};
    var deadline = Date.now() + 20000;
    function poll(id) {
      api("GET", "api/check?id=" + encodeURIComponent(id), undefined, true).then(function (r) {
        if (r.status !== 200) return failed(checkError(r));
        var result = r.data;
        if (result.state === "running") {
          if (Date.now() > deadline) return failed("The check did not end within 20 s.");
          return setTimeout(function () { poll(id); }, 500);
        }
        if (!result.ok) return failed(result.message, result.detail);
        words.textContent = "";
        save.disabled = false;
        if (result.snapshot) {
          var url = result.snapshot.replace(/^\//, "");
          CHECKED.set(wanted.name, url);
          check.appendChild(snapshotImage(url, "snapshot", wanted.name));
        }
        store(wanted);
      }, function (err) { failed("No answer from the supervisor (" + err.message + ")."); });
    }
    api("POST", "api/check", ask).then(function (r) {
      if (r.status !== 202) return failed(checkError(r));
      setTimeout(function () { poll(r.data.id); }, 500);
    }, function (err) { failed("No answer from the supervisor (" + err.message + ")."); });
  });
  anyway.addEventListener("click", function () {
    clear();
    store(formSource(form));
  });
  if (!fresh) {
    var remove = el("button", "remove", "Remove"), sure = el("button", "sure", "Really remove " + source.name);
    remove.type = sure.type = "button";
    sure.hidden = true;
    remove.addEventListener("click", function () { sure.hidden = false; });
    sure.addEventListener("click", function () {
      api("DELETE", "api/sources?name=" + encodeURIComponent(source.name) + "&version=" +
          encodeURIComponent(VERSION)).then(function (r) { answered(form, r, refreshNow); });
    });
    var restart = el("button", "restart", "Restart");
    restart.type = "button";
    restart.disabled = !source.enabled;
    restart.addEventListener("click", function () {
      api("POST", "api/restart", {name: source.name}).then(function (r) { answered(form, r, refreshNow); });
    });
    form.appendChild(restart);
    form.appendChild(remove);
    form.appendChild(sure);
  }
  return form;
}
function renderForms(data) {
  VERSION = data.version;
  LISTED = data.sources || [];
  var forms = document.getElementById("forms");
  while (forms.firstChild) forms.removeChild(forms.firstChild);
  (data.sources || []).forEach(function (s) { forms.appendChild(sourceForm(s)); });
  forms.appendChild(sourceForm(null));
}
function loadForms() {
  fetch("api/sources", {cache: "no-store"}).then(function (r) {
    if (!r.ok) throw new Error("HTTP " + r.status);
    return r.json();
  }).then(function (data) {
    renderForms(data);
    show("edit", true);
  }).catch(function (e) {
    document.getElementById("editnote").textContent = "The sources cannot be changed now (" + e.message + ").";
  });
}
function show(id, on) { document.getElementById(id).hidden = !on; }
// Finding cameras: a search (POST /api/cameras) polled until it ends, then
// each camera with its own user name, password and Ask, and each profile it
// tells with Use, which fills the new-source form. LISTED: the sources as
// the forms show them.
var LISTED = [];
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
  var form = document.querySelector("form.source[data-name=\"\"]");
  var f = function (name) { return form.elements.namedItem(name); };
  f("name").value = uniqueName(camera.name || camera.model);
  f("input").value = profile.stream;
  f("user").value = user;
  f("password").value = password;
  form.setAttribute("data-onvif", JSON.stringify({device: camera.address, endpoint: camera.endpoint,
                                                   profile: profile.token}));
  form.dispatchEvent(new Event("onvif"));
  form.scrollIntoView();
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
      var form = document.querySelector("form.source[data-name=\"" + CSS.escape(s.name) + "\"]");
      if (!form) return;
      var input = form.elements.namedItem("input");
      try {
        var u = new URL(input.value);
        u.hostname = hostOf(camera.address);
        input.value = u.href;
      } catch (e) { return; }
      form.setAttribute("data-onvif", JSON.stringify({device: camera.address, endpoint: camera.endpoint,
                                                       profile: s.onvif.profile}));
      form.dispatchEvent(new Event("onvif"));
      form.scrollIntoView();
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
// WALL: whether the wall holds what a session showed. When the session ends
// (a new password, 12 h after the login, or unused), its last state stays on
// screen under the login form; a logout clears it.
var WALL = false;
function askLogin() {
  show("wall", WALL);
  show("edit", false);
  show("logout", false);
  show("nopassword", false);
  show("login", true);
  var u = document.getElementById("updated");
  u.className = WALL ? "lost" : "";
  u.textContent = WALL ? "the session has ended: log in again (the wall as last seen)" : "logged out";
  document.getElementById("password").focus();
}
function refresh() {
  timer = null;
  fetch("status.json", {cache: "no-store", headers: BACKGROUND}).then(function (r) {
    // A password is set and this browser has no session: the login form, and
    // no more asking until it is used.
    if (r.status === 403) return null;
    if (!r.ok) throw new Error("HTTP " + r.status);
    return r.json();
  }).then(function (data) {
    if (data === null) return askLogin();
    show("login", false);
    show("wall", true);
    show("logout", CSRF !== null);
    show("nopassword", CSRF === null);
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
  fetch("api/session", {cache: "no-store"}).then(function (r) { return r.json(); }).then(function (s) {
    CSRF = s.logged_in ? s.csrf : null;
  }).catch(function () { CSRF = null; }).then(function () {
    show("edit", false);
    if (CSRF !== null) loadForms();
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
      return start();
    }
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

"""Checks what a user gets from scripts/package.sh: the .deb and the Windows zip
in dist/, as files, as metadata and as programs that run.

Run by scripts/test.sh, as root, after the packages are built, with Wine's
prefix set up (the zip's .exe runs under Wine). The stand-in decoder and NDI
runtime come from the linux-debug build. The native .deb is installed on this
machine and purged again, and installed in a Debian 12 container booted with
systemd-nspawn (its root is made on first use and kept in the cache).
Environment (defaults in brackets):
  QOR_DIST             the packages [dist]
  QOR_LINUX_BUILD      a Linux build with the stand-ins [build/linux-debug]
  QOR_CONTAINER_CACHE  where the container's root is kept [build/container]
"""
import glob
import gzip
import json
import os
import re
import shlex
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request
import zipfile

from container import Container

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
DIST = os.path.join(ROOT, os.environ.get("QOR_DIST", "dist"))
LINUX_BUILD = os.path.join(ROOT, os.environ.get("QOR_LINUX_BUILD", "build/linux-debug"))
CONTAINER_CACHE = os.path.join(ROOT, os.environ.get("QOR_CONTAINER_CACHE", "build/container"))
UNIT = "/lib/systemd/system/qor-ndi-supervise.service"
FAKE_CAMERA = os.path.join(ROOT, "tests", "fakes", "onvif_camera.py")
CONFFILES = ["/etc/default/qor-ndi-send", "/etc/qor-ndi-send/sources.json"]
USAGE = (b"usage: qor-ndi-send --input <rtsp-url> [--name <ndi-name>] [--ffmpeg <path>] [--no-audio] "
         b"[--width 1920] [--height 1080] [--fps 30] [--monitor <file>] [--ptz]")


def project_version():
    with open(os.path.join(LINUX_BUILD, "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith("CMAKE_PROJECT_VERSION:"):
                return line.split("=", 1)[1].strip()
    raise AssertionError("no project version in the Linux build's cache")


VERSION = project_version()
SUPERVISOR_USAGE = (b"usage: qor-ndi-supervise [--status HOST:PORT] [--password-file FILE] SOURCES.json\r\n"
                    b"       qor-ndi-supervise --set-password [--password-file FILE]\r\n"
                    b"       qor-ndi-supervise --find-cameras [--wait SECONDS] [--user USER] [ADDRESS...]\r\n"
                    b"       qor-ndi-supervise --install [--status HOST:PORT] [--password-file FILE] SOURCES.json\r\n"
                    b"       qor-ndi-supervise --uninstall | --reload\r\n")
# Windows' own, as for the tool; the service needs the Service Control Manager
# (advapi32) and the ProgramData folder (shell32, ole32), --find-cameras the
# interfaces' list (iphlpapi) and the system's random generator (bcrypt).
SUPERVISOR_DLLS = {"kernel32.dll", "msvcrt.dll", "ws2_32.dll", "advapi32.dll", "shell32.dll", "ole32.dll",
                   "iphlpapi.dll", "bcrypt.dll"}


def out(*cmd, **kw):
    return subprocess.run(cmd, check=True, capture_output=True, **kw).stdout.decode()


def exec_start(unit_text, environment_file=""):
    """The argument vector of a unit's ExecStart= line, each ${NAME} replaced as
    systemd replaces it: from the unit's Environment= lines, where a line of its
    environment file (text) wins."""
    env = dict(re.findall(r"^Environment=(\w+)=(.*)$", unit_text, re.M))
    env.update(re.findall(r"^(\w+)=(.*)$", environment_file, re.M))
    line, = re.findall(r"^ExecStart=(.*)$", unit_text, re.M)
    return [re.sub(r"\$\{(\w+)\}", lambda m: env[m.group(1)], a) for a in shlex.split(line)]


def wait_for(what, probe, timeout):
    """probe()'s first true value within timeout seconds; fails naming what did not come."""
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("%s: not within %d s" % (what, timeout))
        time.sleep(0.2)


class Deb(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        arch = out("dpkg", "--print-architecture").strip()
        # The native package, and the ARM64 one cross-built beside it.
        cls.debs = {a: os.path.join(DIST, "qor-ndi-send_%s_%s.deb" % (VERSION, a)) for a in (arch, "arm64")}
        cls.deb = cls.debs[arch]
        cls.roots = {a: tempfile.mkdtemp(prefix="qor-deb-%s-" % a) for a in cls.debs}
        for a, deb in cls.debs.items():
            subprocess.run(["dpkg-deb", "-x", deb, cls.roots[a]], check=True)
        cls.arch, cls.root = arch, cls.roots[arch]

    def test_files_and_control_fields(self):
        doc = "/usr/share/doc/qor-ndi-send/"
        required = {"/usr/bin/qor-ndi-send", "/usr/share/man/man1/qor-ndi-send.1.gz",
                    doc + "copyright", doc + "changelog.gz", doc + "README.md", doc + "events.schema.json",
                    "/usr/bin/qor-ndi-supervise", "/usr/share/man/man1/qor-ndi-supervise.1.gz", UNIT, *CONFFILES,
                    "/usr/lib/sysusers.d/qor-ndi-send.conf",
                    "/usr/share/qor-ndi-send/prometheus-alerts.yml", "/usr/share/qor-ndi-send/grafana-dashboard.json"}
        field = lambda deb, name: out("dpkg-deb", "-f", deb, name).strip()
        for arch, deb in self.debs.items():
            modes = {l.split()[-1].lstrip("."): l.split()[0] for l in out("dpkg-deb", "-c", deb).splitlines()
                     if l.startswith("-")}
            files = set(modes)
            self.assertLessEqual(required, files, arch)
            self.assertEqual([f for f in files - required if not f.startswith(doc)], [], arch)
            self.assertEqual((modes["/usr/bin/qor-ndi-supervise"], modes[UNIT]), ("-rwxr-xr-x", "-rw-r--r--"), arch)
            # apt asks before it replaces an operator's list or environment.
            self.assertEqual(out("dpkg-deb", "-I", deb, "conffiles").split(), CONFFILES, arch)
            # /bin/kill for the service's reload; the supervisor needs no interpreter.
            depends = [d.split()[0] for d in field(deb, "Depends").split(", ")]
            self.assertIn("procps", depends, arch)
            self.assertNotIn("python3", depends, arch)
            self.assertEqual((field(deb, "Package"), field(deb, "Version"), field(deb, "Architecture")),
                             ("qor-ndi-send", VERSION, arch))
            # The cross build states the Depends that the native build's scan computes.
            self.assertEqual(field(deb, "Depends"), field(self.deb, "Depends"), arch)
        binary = lambda arch: out("file", "-b", self.roots[arch] + "/usr/bin/qor-ndi-send")
        self.assertIn(", stripped", binary(self.arch))
        self.assertRegex(binary("arm64"), r"ELF 64-bit .*ARM aarch64.*, stripped")

        self.assertRegex(field(self.deb, "Depends"), r"(^|, )libc6 \(>= [0-9.]+\)")
        self.assertEqual(field(self.deb, "Recommends"), "ffmpeg")
        summary, *body = field(self.deb, "Description").splitlines()
        self.assertTrue(summary and len(body) >= 2, field(self.deb, "Description"))

        with gzip.open(self.root + doc + "changelog.gz", "rt") as f:
            self.assertTrue(f.readline().startswith("qor-ndi-send (%s) " % VERSION))
        with open(self.root + doc + "copyright") as f:
            self.assertEqual(f.readline().strip(),
                             "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/")
        # The documents the README links to are installed beside it.
        with open(self.root + doc + "README.md") as f:
            linked = set(re.findall(r"\]\((docs/[^)#\s]+\.(?:md|png))", f.read()))
        self.assertTrue(linked)
        self.assertEqual([l for l in sorted(linked) if not os.path.isfile(self.root + doc + l)], [])
        # A fresh install runs nothing: the list is there, and empty.
        with open(self.root + "/etc/qor-ndi-send/sources.json") as f:
            self.assertEqual(json.load(f), {"sources": []})

    def test_lintian_hardening_and_manual_pages(self):
        for arch, deb in self.debs.items():
            lint = subprocess.run(["lintian", "--fail-on", "error,warning", "--display-info", deb],
                                  capture_output=True)
            print("\nlintian (%s):\n%s" % (arch, lint.stdout.decode() or "(nothing)"))
            self.assertEqual(lint.returncode, 0, lint.stdout.decode() + lint.stderr.decode())
            self.assertNotIn("hardening-", lint.stdout.decode())
            # Debian's build flags: PIE, stack protector, fortified functions,
            # RELRO and immediate binding. Control-flow protection is not among
            # what Debian 12's dpkg-buildflags gives, so it is not asked for.
            check = subprocess.run(["hardening-check", "--nocfprotection", self.roots[arch] + "/usr/bin/qor-ndi-send"],
                                   capture_output=True)
            self.assertEqual(check.returncode, 0, arch + ": " + check.stdout.decode())

        env = dict(os.environ, LC_ALL="C.UTF-8", MANWIDTH="80")
        pages = {"qor-ndi-send": ("SYNOPSIS", "OPTIONS", "ENVIRONMENT", "EVENTS", "EXIT STATUS", "EXAMPLES", "FILES"),
                 "qor-ndi-supervise": ("SYNOPSIS", "OPTIONS", "SOURCES FILE", "STALL WATCHDOG", "RELOAD", "SIGNALS",
                                       "STATUS", "EXIT STATUS", "FILES")}
        for name, headings in pages.items():
            page = self.root + "/usr/share/man/man1/%s.1.gz" % name
            man = subprocess.run(["man", "--warnings", "-l", page], capture_output=True, env=env)
            self.assertEqual((man.returncode, man.stderr), (0, b""), name)
            text = man.stdout.decode()
            for heading in headings:
                self.assertIn("\n" + heading + "\n", text, name)
            self.assertIn("qor-ndi-send " + VERSION, text, name)

    def test_installed_binary_relays_to_its_exit_line(self):
        # The packaged program against the stand-ins: a controller's session
        # from started to exit, every line one JSON object. The pictures come
        # at a live pace, so the pump (which drops a picture overtaken by a
        # newer one) has every one sent.
        record = os.path.join(self.root, "ndi.rec")
        env = dict(os.environ, NDI_RUNTIME_DIR_V6=os.path.join(LINUX_BUILD, "ndi-standin"),
                   QOR_STANDIN_RECORD=record)
        cmd = [self.root + "/usr/bin/qor-ndi-send", "--input", "fake://pkg?frames=5&rate=30&blocks=5&hold=1",
               "--ffmpeg", os.path.join(LINUX_BUILD, "tests/fakes/fake_decoder"),
               "--name", "Package check", "--width", "64", "--height", "36"]
        proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
        try:
            first = json.loads(proc.stdout.readline())
            self.assertEqual(first["event"], "started", first)
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline:
                with open(record) as f:
                    if sum(line.startswith("video ") for line in f) == 5:
                        break
                time.sleep(0.05)
            proc.stdin.close()
            rest = [json.loads(line) for line in proc.stdout.read().splitlines()]
            code = proc.wait(timeout=10)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            proc.stdout.close()
        self.assertEqual(first["name"], "Package check")
        self.assertEqual(rest[-1], {"event": "exit", "ffmpeg": 0, "requested": True})
        self.assertEqual(code, 0)
        with open(record) as f:
            self.assertEqual(sum(line.startswith("video ") for line in f), 5)


class Service(unittest.TestCase):
    """The native .deb as an operator installs it: on this machine with dpkg,
    and in a booted Debian 12 where systemd runs the service."""

    @classmethod
    def setUpClass(cls):
        cls.deb = os.path.join(DIST, "qor-ndi-send_%s_%s.deb" % (VERSION, out("dpkg", "--print-architecture").strip()))

    def test_installed_unit_runs_as_written_and_purge_leaves_nothing(self):
        if subprocess.run(["dpkg-query", "-W", "qor-ndi-send"], capture_output=True).returncode == 0:
            self.skipTest("qor-ndi-send is installed on this machine; not replacing it")
        ours = [l.split()[-1].lstrip(".") for l in out("dpkg-deb", "-c", self.deb).splitlines() if l.startswith("-")]
        ours += ["/etc/qor-ndi-send", "/usr/share/doc/qor-ndi-send"]
        subprocess.run(["dpkg", "-i", self.deb], check=True, capture_output=True)
        try:
            verify = subprocess.run(["systemd-analyze", "verify", UNIT], capture_output=True)
            self.assertEqual((verify.returncode, verify.stdout + verify.stderr), (0, b""))
            with open(UNIT) as f, open(CONFFILES[0]) as g:
                argv = exec_start(f.read(), g.read())
            address = argv[argv.index("--status") + 1]
            # As shipped, the status listens on loopback only.
            self.assertEqual(address, "127.0.0.1:8597")
            proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            try:
                def status():
                    self.assertIsNone(proc.poll(), "the supervisor ended")
                    try:
                        with urllib.request.urlopen("http://%s/status.json" % address, timeout=5) as r:
                            return json.load(r)
                    except OSError:
                        return None
                self.assertEqual(wait_for("the status address", status, 20), {"sources": []})
                time.sleep(1)
                self.assertIsNone(proc.poll(), "the supervisor ended with an empty list")
                proc.send_signal(signal.SIGTERM)
                self.assertEqual(proc.wait(timeout=20), 0, proc.stderr.read().decode())
            finally:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()
                proc.stdout.close()
                proc.stderr.close()
        finally:
            subprocess.run(["dpkg", "--purge", "qor-ndi-send"], check=True, capture_output=True)
        self.assertEqual([p for p in ours if os.path.lexists(p)], [])

    def test_systemd_runs_restarts_reloads_and_stops_it(self):
        started = time.monotonic()
        fakes = os.path.join(LINUX_BUILD, "tests", "fakes", "fake_decoder")
        files = {"/opt/qor/qor-ndi-send.deb": self.deb, "/opt/qor/fake_decoder": fakes,
                 "/opt/qor/ndi-standin": os.path.join(LINUX_BUILD, "ndi-standin")}
        for previous in glob.glob(os.path.join(DIST, "previous", "*_%s.deb" % out("dpkg", "--print-architecture").strip())):
            files["/opt/qor/previous/" + os.path.basename(previous)] = previous
        box = Container(CONTAINER_CACHE, files)
        booted = time.monotonic()
        try:
            self.operate(box)
        finally:
            box.close()
        print("\ncontainer: %.1f s to boot (with the copy of its root), %.1f s in all"
              % (booted - started, time.monotonic() - started))

    def operate(self, box):
        # An operator's copy from before QOR_NDI_STATUS: the unit's default address.
        environment = "NDI_RUNTIME_DIR_V6=/opt/qor/ndi-standin\nFFMPEG_BIN=/opt/qor/fake_decoder\n"
        small = ["--width", "64", "--height", "36", "--no-audio"]
        steady = {"name": "Steady", "input": "fake://steady?frames=1000000&rate=10&hold=1", "args": small}
        # One second of pictures, then the connections stay open with nothing on them.
        silent = {"name": "Silent", "input": "fake://silent?frames=10&rate=10&hold=1", "args": small, "stall": 3}
        added = {"name": "Added", "input": "fake://added?frames=1000000&rate=10&hold=1", "args": small}
        edited = json.dumps({"sources": [steady, silent]}, indent=1)

        def request(method, path, address, headers=(), body=""):
            """(status, head lines, body) of one request, or None; the root has no
            interpreter but bash, whose /dev/tcp makes it."""
            host, port = address.rsplit(":", 1)
            head = "%s %s HTTP/1.0\r\nHost: %s\r\n" % (method, path, address)
            head += "".join("%s: %s\r\n" % h for h in headers)
            if method in ("POST", "PUT"):
                head += "Content-Length: %d\r\n" % len(body.encode())
            run = box.run("bash", "-c", 'exec 3<>/dev/tcp/%s/%s && cat >&3 && timeout 5 cat <&3' % (host, port),
                          check=False, input=head + "\r\n" + body)
            # Read as text, the answer's line ends are \n.
            top, _, answer = run.stdout.partition("\n\n")
            lines = top.splitlines()
            if run.returncode != 0 or not lines:
                return None
            return int(lines[0].split(" ", 2)[1]), lines[1:], answer

        def states(address=None, cookie=None):
            got = request("GET", "/status.json", address or default_address,
                          [("Cookie", cookie)] if cookie else [])
            return got is not None and got[0] == 200 and {s["name"]: s for s in json.loads(got[2])["sources"]}

        # Upgraded from the release before, where there is one: an operator's
        # edited list and environment survive it, and the running service is
        # started again under the new account.
        previous = glob.glob(os.path.join(box.root, "opt/qor/previous/*.deb"))
        if previous:
            box.run("dpkg", "-i", previous[0][len(box.root):])
            box.write("/etc/default/qor-ndi-send", environment)
            box.write("/etc/qor-ndi-send/sources.json", edited)
            box.run("systemctl", "enable", "--now", "qor-ndi-supervise")
            # Its sources' first lines are in before the upgrade starts.
            wait_for("the release before running Steady", lambda: '"source":"Steady","event":"started"' in box.run(
                "journalctl", "-u", "qor-ndi-supervise", "-o", "cat").stdout, 30)
        cursor = re.search(r"cursor: (\S+)", box.run("journalctl", "-n", "0", "--show-cursor").stdout)
        box.run("dpkg", "-i", "/opt/qor/qor-ndi-send.deb")
        mode = lambda path: box.run("stat", "-c", "%U:%G %a", path).stdout.strip()
        self.assertEqual((mode("/etc/qor-ndi-send"), mode("/etc/qor-ndi-send/sources.json")),
                         ("root:qor-ndi 770", "root:qor-ndi 640"))
        if previous:
            with open(box.root + "/etc/qor-ndi-send/sources.json") as f:
                self.assertEqual(f.read(), edited)
        else:
            box.write("/etc/default/qor-ndi-send", environment)
            box.write("/etc/qor-ndi-send/sources.json", edited)
            box.run("systemctl", "enable", "--now", "qor-ndi-supervise")
        print("\nupgraded from %s" % (os.path.basename(previous[0]) if previous else "nothing (no dist/previous)"))

        with open(box.root + UNIT) as f:
            unit = f.read()
        argv = exec_start(unit, environment)
        default_address = argv[argv.index("--status") + 1]

        def journal():
            # What the new package's service wrote, from its start by the upgrade on.
            after = ["--after-cursor=" + cursor.group(1)] if cursor else []
            text = box.run("journalctl", "-u", "qor-ndi-supervise", "-o", "cat", *after).stdout
            return [json.loads(l) for l in text.splitlines() if l.startswith("{")]

        def events(name, event):
            return [e for e in journal() if e.get("source") == name and e.get("event") == event]

        wait_for("Steady running", lambda: (states() or {}).get("Steady", {}).get("state") == "running", 30)
        # The silent source is stopped as stalled and started again.
        wait_for("Silent stalled", lambda: events("Silent", "stalled"), 30)
        wait_for("Silent started again", lambda: len(events("Silent", "started")) >= 2, 30)

        def tool_pid(name):
            found = [p for p, argv in box.pids().items()
                     if os.path.basename(argv[0] if argv else "") == "qor-ndi-send" and name in argv]
            return found[0] if len(found) == 1 else None
        steady_pid = wait_for("Steady's tool", lambda: tool_pid("Steady"), 10)
        # The supervisor and its tools run as the package's account.
        account = box.run("id", "-u", "qor-ndi").stdout.strip()
        for pid, argv in box.pids().items():
            if {"qor-ndi-send", "qor-ndi-supervise"} & {os.path.basename(a) for a in argv[:1]}:
                with open("/proc/%d/status" % pid) as f:
                    uid = [l.split()[1] for l in f if l.startswith("Uid:")][0]
                self.assertEqual(uid, account, argv)
        # Its picture goes to the service's own runtime folder, and the status serves it.
        steady_argv = box.pids()[steady_pid]
        self.assertTrue(steady_argv[steady_argv.index("--monitor") + 1].startswith("/run/qor-ndi-supervise/"),
                        steady_argv)
        wait_for("Steady's picture", lambda: (states() or {}).get("Steady", {}).get("picture"), 15)

        box.write("/etc/qor-ndi-send/sources.json", json.dumps({"sources": [steady, added]}))
        box.run("systemctl", "reload", "qor-ndi-supervise")
        wait_for("Added started", lambda: events("Added", "started"), 30)
        wait_for("Silent gone", lambda: tool_pid("Silent") is None, 30)
        # The steady source ran on untouched through the stalls and the reload.
        self.assertEqual(tool_pid("Steady"), steady_pid)
        self.assertEqual(len(events("Steady", "started")), 1)
        wait_for("the list after the reload", lambda: list(states() or {}) == ["Steady", "Added"], 10)

        stopping = time.monotonic()
        box.run("systemctl", "stop", "qor-ndi-supervise")
        print("\nsystemctl stop: %.2f s" % (time.monotonic() - stopping))
        shown = box.run("systemctl", "show", "-p", "Result", "-p", "ActiveState", "qor-ndi-supervise").stdout.split()
        self.assertEqual(sorted(shown), ["ActiveState=inactive", "Result=success"])
        left = [argv for argv in box.pids().values()
                if {"qor-ndi-send", "fake_decoder", "qor-ndi-supervise"} & {os.path.basename(a) for a in argv[:2]}]
        self.assertEqual(left, [])
        # The supervisor stopped each tool by its stdin, not systemd by a
        # signal: the decoder's end is reported as after a requested stop.
        for name in ("Steady", "Added"):
            self.assertEqual(events(name, "exit")[-1:], [{"source": name, "event": "exit", "ffmpeg": 0, "requested": True}])
        self.assertTrue(all(list(e)[0] == "source" for e in journal()))

        # The status address set in the environment file wins over the unit's.
        moved = "127.0.0.1:8598"
        box.write("/etc/default/qor-ndi-send", environment + "QOR_NDI_STATUS=%s\n" % moved)
        box.run("systemctl", "start", "qor-ndi-supervise")
        wait_for("the status on " + moved, lambda: list(states(moved) or {}) == ["Steady", "Added"], 30)
        self.assertFalse(states(), "still answering on " + default_address)

        # A password set by root while the service runs: the service reads it
        # at the next login, and nothing is shown without one.
        box.run("qor-ndi-supervise", "--set-password", input="a password for the box\n")
        self.assertEqual(mode("/etc/qor-ndi-send/password"), "root:qor-ndi 640")
        self.assertEqual(request("GET", "/status.json", moved)[0], 403)
        origin = [("Origin", "http://" + moved), ("Content-Type", "application/json")]
        wrong = request("POST", "/api/login", moved, origin, json.dumps({"password": "not the password"}))
        self.assertEqual(wrong[0], 403)
        login = request("POST", "/api/login", moved, origin, json.dumps({"password": "a password for the box"}))
        self.assertEqual(login[0], 204, login)
        cookie = [l.split(":", 1)[1].split(";")[0].strip() for l in login[1] if l.lower().startswith("set-cookie:")]
        self.assertEqual(list(states(moved, cookie[0])), ["Steady", "Added"])

        # A source added from the page: the service writes the file whole
        # under the shipped unit, with its group and mode, and runs it.
        session = [("Cookie", cookie[0])]
        csrf = json.loads(request("GET", "/api/session", moved, session)[2])["csrf"]
        version = json.loads(request("GET", "/api/sources", moved, session)[2])["version"]
        page = {"name": "Page", "input": "rtsp://page.invalid/x?frames=1000000&rate=10&hold=1", "user": "op",
                "password": "the camera's own", "audio": False, "width": 64, "height": 36, "fps": None,
                "stall": 0, "enabled": True}
        put = request("PUT", "/api/sources", moved, session + origin + [("X-CSRF-Token", csrf)],
                      json.dumps({"version": version, "source": page}))
        self.assertEqual(put[0], 200, put)
        self.assertEqual(mode("/etc/qor-ndi-send/sources.json"), "qor-ndi:qor-ndi 640")
        with open(box.root + "/etc/qor-ndi-send/sources.json") as f:
            self.assertEqual([s["name"] for s in json.load(f)["sources"]], ["Steady", "Added", "Page"])
        wait_for("Page started", lambda: events("Page", "started"), 30)
        self.assertNotIn("the camera's own", box.run("journalctl", "-u", "qor-ndi-supervise", "-o", "cat").stdout)

        # A camera found from the page under the shipped unit's sandbox: the
        # fake in the container's network namespace (its loopback made to
        # carry multicast, the container's only network), found by a Search.
        net = ["nsenter", "-t", str(box.init), "-n"]
        for cmd in (["ip", "link", "set", "lo", "multicast", "on"], ["ip", "route", "add", "224.0.0.0/4", "dev", "lo"]):
            subprocess.run(net + cmd, check=True, capture_output=True)
        camera = subprocess.Popen(net + [sys.executable, "-B", FAKE_CAMERA, "--udp-host", ""],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        try:
            self.assertEqual(camera.stdout.readline().split()[:1], [b"ready"])
            search = request("POST", "/api/cameras", moved, session + origin + [("X-CSRF-Token", csrf)],
                             json.dumps({"addresses": []}))
            self.assertEqual(search[0], 202, search)

            def cameras():
                got = request("GET", "/api/cameras?id=" + json.loads(search[2])["id"], moved, session)
                return got is not None and got[0] == 200 and json.loads(got[2]).get("cameras")
            self.assertEqual([c["name"] for c in wait_for("the search's end", cameras, 30)], ["Fake Camera"])
        finally:
            camera.stdin.close()
            camera.wait(timeout=10)
        box.run("systemctl", "stop", "qor-ndi-supervise")

        security = box.run("systemd-analyze", "security", "qor-ndi-supervise").stdout
        exposure = float(re.search(r"Overall exposure level for qor-ndi-supervise.service: ([0-9.]+)", security).group(1))
        print("\nsystemd-analyze security in the container: exposure %.1f" % exposure)
        self.assertLessEqual(exposure, 2.0)


class WindowsZip(unittest.TestCase):
    def test_content_program_and_resources(self):
        folder = "qor-ndi-send-%s-win64/" % VERSION
        path = os.path.join(DIST, folder[:-1] + ".zip")
        root = tempfile.mkdtemp(prefix="qor-zip-")
        with zipfile.ZipFile(path) as z:
            names = {n for n in z.namelist() if not n.endswith("/")}
            z.extractall(root)
        required = {folder + n for n in ("qor-ndi-send.exe", "qor-ndi-supervise.exe", "sources.example.json",
                                         "README.md", "LICENSE", "events.schema.json", "THIRD-PARTY-NOTICES.txt",
                                         "LGPL-3.txt", "GPL-3.txt")}
        self.assertLessEqual(required, names)
        self.assertTrue(all(n.startswith(folder) for n in names), names)
        with open(os.path.join(root, folder, "README.md")) as f:
            linked = set(re.findall(r"\]\((docs/[^)#\s]+\.(?:md|png))", f.read()))
        self.assertTrue(linked)
        self.assertLessEqual({folder + l for l in linked}, names)
        exe = os.path.join(root, folder, "qor-ndi-send.exe")

        # Statically linked: only DLLs that come with every Windows.
        dlls = {l.split(":", 1)[1].strip().lower()
                for l in out("x86_64-w64-mingw32-objdump", "-p", exe).splitlines() if "DLL Name:" in l}
        # (iphlpapi: the TCP table that tells who owns a connection's other end.)
        self.assertLessEqual(dlls, {"kernel32.dll", "msvcrt.dll", "ws2_32.dll", "iphlpapi.dll"})

        run = subprocess.run(["wine", exe], stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        self.assertEqual((run.returncode, run.stdout, run.stderr), (64, b"", USAGE + b"\r\n"))

        # The supervisor beside it: its imports, its usage, and the example
        # sources file accepted (read whole before the status address, which
        # this test holds, makes it exit 1 rather than 64).
        supervisor = os.path.join(root, folder, "qor-ndi-supervise.exe")
        dlls = {l.split(":", 1)[1].strip().lower()
                for l in out("x86_64-w64-mingw32-objdump", "-p", supervisor).splitlines() if "DLL Name:" in l}
        self.assertLessEqual(dlls, SUPERVISOR_DLLS)
        run = subprocess.run(["wine", supervisor], stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        self.assertEqual((run.returncode, run.stdout, run.stderr), (64, b"", SUPERVISOR_USAGE))
        with socket.socket() as held:
            held.bind(("127.0.0.1", 0))
            held.listen()
            run = subprocess.run(["wine", supervisor, "--status", "127.0.0.1:%d" % held.getsockname()[1],
                                  os.path.join(root, folder, "sources.example.json")],
                                 stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        self.assertEqual((run.returncode, run.stdout), (1, b""), run.stderr)

        version = subprocess.run(["wrestool", "-x", "--raw", "--type=16", "--name=1", exe],
                                 check=True, capture_output=True).stdout
        strings = version.decode("utf-16-le", "replace")
        # Each key is followed by NULs up to a 32-bit boundary, then its value.
        self.assertRegex(strings, "ProductName\0+qor-ndi-send\0")
        self.assertRegex(strings, "FileVersion\0+%s\0" % VERSION.replace(".", r"\."))
        for program in (exe, supervisor):
            manifest = subprocess.run(["wrestool", "-x", "--raw", "--type=24", "--name=1", program],
                                      check=True, capture_output=True).stdout.decode()
            self.assertRegex(manifest, r"<activeCodePage [^>]*>UTF-8</activeCodePage>")
        version = subprocess.run(["wrestool", "-x", "--raw", "--type=16", "--name=1", supervisor],
                                 check=True, capture_output=True).stdout.decode("utf-16-le", "replace")
        self.assertRegex(version, "OriginalFilename\0+qor-ndi-supervise\\.exe\0")
        self.assertRegex(version, "FileVersion\0+%s\0" % VERSION.replace(".", r"\."))


if __name__ == "__main__":
    unittest.main(verbosity=2)

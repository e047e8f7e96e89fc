"""A minimal Debian 12 booted by systemd-nspawn, for the checks of the service.

The root (debootstrap --variant=minbase with systemd, dbus and procps, and
no python3, from the Debian mirror this machine's apt uses) is made once, which
takes a few minutes, and kept under the cache directory; every check boots a copy of it
without a network of its own and runs commands inside through nsenter.
"""
import glob
import os
import re
import shutil
import signal
import subprocess
import time

SUITE = "bookworm"
# Besides the minimal base: init, D-Bus, and what the package depends on.
INCLUDE = "systemd,dbus,procps"
PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"


def mirror():
    """The URI apt on this machine takes Debian's SUITE from (one-line or deb822 sources)."""
    found = []
    for name in ["/etc/apt/sources.list"] + sorted(glob.glob("/etc/apt/sources.list.d/*")):
        try:
            with open(name) as f:
                text = f.read()
        except OSError:
            continue
        for m in re.finditer(r"^deb\s+(?:\[[^\]]*\]\s+)?(\S+)\s+(\S+)\s", text, re.M):
            found.append((m.group(1), [m.group(2)]))
        for stanza in re.split(r"\n\s*\n", text):
            fields = dict(re.findall(r"^([A-Za-z-]+):\s*(.*)$", stanza, re.M))
            if "URIs" in fields and "Suites" in fields:
                found += [(uri, fields["Suites"].split()) for uri in fields["URIs"].split()]
    for uri, suites in found:
        if SUITE in suites and not uri.rstrip("/").endswith("-security"):
            return uri
    return "http://deb.debian.org/debian"


def mounts_below(path):
    """The mount points inside path, the deepest first."""
    prefix = os.path.realpath(path) + "/"
    with open("/proc/self/mounts") as f:
        points = [line.split()[1].replace("\\040", " ") for line in f]
    return sorted((p for p in points if p.startswith(prefix)), key=len, reverse=True)


def cached_root(cache):
    """The booted-from root, made on first use; a run cut short leaves only its .tmp behind."""
    root = os.path.join(cache, "%s+%s" % (SUITE, INCLUDE.replace(",", "+")))
    if not os.path.isdir(root):
        tmp = root + ".tmp"
        # debootstrap cut short leaves its /proc and /sys mounted in there.
        for point in mounts_below(tmp):
            subprocess.run(["umount", "-l", point], stderr=subprocess.DEVNULL)
        shutil.rmtree(tmp, ignore_errors=True)
        os.makedirs(cache, exist_ok=True)
        subprocess.run(["debootstrap", "--variant=minbase", "--include=" + INCLUDE, SUITE, tmp,
                        mirror()], check=True, stdout=subprocess.DEVNULL)
        os.rename(tmp, root)
    return root


class Container:
    """One booted copy of the cached root. files: {path inside: path on this machine} copied in first."""

    def __init__(self, cache, files):
        base = cached_root(cache)
        self.root = os.path.join(cache, "run-%d" % os.getpid())
        shutil.rmtree(self.root, ignore_errors=True)
        subprocess.run(["cp", "-a", "--reflink=auto", base, self.root], check=True)
        for inside, outside in files.items():
            target = self.root + inside
            os.makedirs(os.path.dirname(target), exist_ok=True)
            if os.path.isdir(outside):
                shutil.copytree(outside, target, symlinks=True)
            else:
                shutil.copy2(outside, target)
        self.log = os.path.join(cache, "nspawn-%d.log" % os.getpid())
        with open(self.log, "wb") as log:
            self.nspawn = subprocess.Popen(
                ["systemd-nspawn", "--boot", "--register=no", "--keep-unit", "--private-network",
                 "--console=passive", "--machine=qor-check-%d" % os.getpid(), "-D", self.root],
                stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        self.init = None
        try:
            self.init = self._init_pid(30)
            # systemctl answers once init has its socket; --wait then waits for the boot.
            deadline = time.monotonic() + 120
            while True:
                run = self.run("systemctl", "is-system-running", "--wait", check=False, timeout=120)
                state = run.stdout.strip()
                if state in ("running", "degraded"):
                    break
                if time.monotonic() > deadline or state:
                    raise AssertionError("the container did not boot: %s %s" % (state, run.stderr))
                time.sleep(0.2)
        except BaseException:
            self.close()
            raise

    def _init_pid(self, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.nspawn.poll() is not None:
                with open(self.log) as f:
                    raise AssertionError("systemd-nspawn ended: " + f.read())
            for status in glob.glob("/proc/[0-9]*/status"):
                try:
                    with open(status) as f:
                        fields = dict(line.split(":", 1) for line in f if ":" in line)
                except OSError:
                    continue
                if int(fields["PPid"]) == self.nspawn.pid and fields["Name"].strip() == "systemd":
                    return int(fields["Pid"])
            time.sleep(0.1)
        raise AssertionError("no init in the container after %d s" % timeout)

    def run(self, *cmd, check=True, timeout=60, input=None):
        """cmd inside the container, as root; stdout and stderr as text."""
        return subprocess.run(["nsenter", "-t", str(self.init), "-a"] + list(cmd), check=check, timeout=timeout,
                              capture_output=True, text=True, input=input, env={"PATH": PATH, "LANG": "C.UTF-8"})

    def write(self, path, text):
        with open(self.root + path, "w") as f:
            f.write(text)

    def pids(self):
        """{pid on this machine: argv} of the processes running in the container."""
        if self.init is None:
            return {}
        own = os.readlink("/proc/%d/ns/pid" % self.init)
        found = {}
        for d in glob.glob("/proc/[0-9]*"):
            try:
                if os.readlink(d + "/ns/pid") == own:
                    with open(d + "/cmdline", "rb") as f:
                        found[int(d[6:])] = [a.decode(errors="replace") for a in f.read().split(b"\0")[:-1]]
            except OSError:
                continue
        return found

    def close(self):
        """Powers the container off (killed after 30 s) and removes its copy of the root."""
        if self.nspawn.poll() is None:
            if self.init is not None:
                os.kill(self.init, signal.SIGRTMIN + 4)  # systemd: poweroff
            try:
                self.nspawn.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.nspawn.kill()
                self.nspawn.wait()
        shutil.rmtree(self.root, ignore_errors=True)
        os.unlink(self.log)

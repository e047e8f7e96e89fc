#!/usr/bin/env python3
"""Keeps a set of qor-ndi-send sources up.

    python3 supervise.py SOURCES.json

SOURCES.json names the tool (optional; default: qor-ndi-send on the program
search path) and the sources, each with optional extra options of the tool:

    {"tool": "qor-ndi-send",
     "sources": [{"name": "Stage", "input": "rtsp://10.0.0.5/main", "args": ["--width", "1280", "--height", "720"]},
                 {"name": "Door",  "input": "rtsp://10.0.0.6/main", "args": ["--no-audio"]}]}

Each source runs as  tool --input <input> --name <name> <args...>  with this
program's environment (so NDI_RUNTIME_DIR_V6 and FFMPEG_BIN work as for the
tool), one tool per source at a time. Standard output carries JSON lines:

    every line a tool writes, with "source": <name> added as its first member
    {"source":"Stage","event":"restart","code":1,"after":2.0}   before starting a source again
    {"source":"Door","event":"stopped","code":3}                 when it will not start it again

A tool that exits 1 (the source ended or the decoder failed), or 3 after an
ffmpeg_connect error (the source could not be reached), or that a signal ended
(code 128 + the signal number), is started again after a wait of 1 s that
doubles up to 60 s, and is back to 1 s after a run that lasted 60 s from its
started line. Any other ending is final (2: no NDI runtime or sender; 3 after
socket or ffmpeg_spawn; 64: bad options in "args"; 127: the tool could not be
started at all): starting it again cannot help.

SIGINT or SIGTERM stops every tool by closing its stdin (their exit lines pass
through), kills a tool still running after 10 s, and exits 0. A missing or
malformed SOURCES.json is a message on standard error and exit 64, before
anything starts.

Standard library only; written to be read and copied by anyone who drives the
tool from a program of their own. The contract it relies on: stop the tool by
closing its stdin, read its stdout as it comes, decide by the exit code (and by
the code of the error line before exit 3). docs/events.schema.json describes
every line the tool writes.
"""
import json
import os
import queue
import signal
import subprocess
import sys
import threading
import time

DEFAULT_TOOL = "qor-ndi-send"
FIRST_WAIT = 1.0     # seconds before the first start again
LONGEST_WAIT = 60.0  # the doubling stops here
STEADY_RUN = 60.0    # a run this long after its started line resets the wait
STOP_GRACE = 10.0    # how long a tool may take to end after its stdin closed
KILL_GRACE = 5.0     # how long to wait for the end of a killed tool's output
EXIT_USAGE = 64
CANNOT_START = 127   # the code of "stopped" when the tool cannot be run at all

if os.name == "nt":
    # A process group of its own: a Ctrl-C at the console reaches this program
    # only, and the tool still ends by its stdin with its exit line.
    OWN_GROUP = {"creationflags": subprocess.CREATE_NEW_PROCESS_GROUP}
else:
    # A session of its own, for the same reason: the terminal's SIGINT goes to
    # its foreground process group, which the tools are no longer part of.
    OWN_GROUP = {"start_new_session": True}


class BadSources(Exception):
    """SOURCES.json cannot be used; the text says why."""


class Source:
    """One source and its current run."""

    def __init__(self, name, argv):
        self.name = name
        self.argv = argv
        self.proc = None          # the running tool, or None
        self.due = None           # when to start it again (time.monotonic()), or None
        self.next_wait = FIRST_WAIT  # the wait before the next start again
        self.started_at = None    # when the current run wrote "started"
        self.error = None         # the code of the current run's error line


def load_sources(path):
    """The sources of SOURCES.json, checked whole before anything starts."""
    try:
        with open(path, encoding="utf-8-sig") as f:  # a leading BOM is allowed
            config = json.load(f)
    except OSError as e:
        raise BadSources("cannot read %s: %s" % (path, e.strerror or e))
    except ValueError as e:  # not UTF-8, or not JSON
        raise BadSources("%s is not JSON: %s" % (path, e))

    def text(value):
        # A NUL cannot be passed in an argument.
        return isinstance(value, str) and value != "" and "\0" not in value

    if not isinstance(config, dict):
        raise BadSources("%s: the top level must be an object" % path)
    unknown = sorted(set(config) - {"tool", "sources"})
    if unknown:
        raise BadSources("%s: unknown member %s" % (path, ", ".join(map(json.dumps, unknown))))
    tool = config.get("tool", DEFAULT_TOOL)
    if not text(tool):
        raise BadSources('%s: "tool" must be a non-empty string' % path)
    entries = config.get("sources")
    if not isinstance(entries, list) or not entries:
        raise BadSources('%s: "sources" must be a non-empty array' % path)

    sources, names = [], set()
    for i, entry in enumerate(entries):
        where = "%s: sources[%d]" % (path, i)
        if not isinstance(entry, dict):
            raise BadSources("%s must be an object" % where)
        unknown = sorted(set(entry) - {"name", "input", "args"})
        if unknown:
            raise BadSources("%s: unknown member %s" % (where, ", ".join(map(json.dumps, unknown))))
        name, url, args = entry.get("name"), entry.get("input"), entry.get("args", [])
        if not text(name):
            raise BadSources('%s: "name" must be a non-empty string' % where)
        if not text(url):
            raise BadSources('%s: "input" must be a non-empty string' % where)
        if not isinstance(args, list) or not all(isinstance(a, str) and "\0" not in a for a in args):
            raise BadSources('%s: "args" must be an array of strings' % where)
        for option in ("--input", "--name"):
            if option in args:
                raise BadSources('%s: "args" holds %s, which comes from "%s"' % (where, option, option[2:]))
        if name in names:
            raise BadSources('%s: the name %s is used twice' % (where, json.dumps(name, ensure_ascii=False)))
        names.add(name)
        sources.append(Source(name, [tool, "--input", url, "--name", name] + args))
    return sources


def write_line(obj):
    """One JSON line on stdout, flushed at once: whoever reads us sees each as it happens."""
    try:
        sys.stdout.write(json.dumps(obj, separators=(",", ":"), ensure_ascii=False) + "\n")
        sys.stdout.flush()
    except OSError:
        # Nobody reads our output any more. The sources stay up all the same;
        # further lines (and the final flush) go nowhere.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)


def read_tool(source, proc, events):
    """Thread body, one per run: hands every stdout line of the tool to the
    main loop, then the end of its output. Reading all the time matters: a
    tool whose stdout pipe is full blocks on its next line."""
    for raw in proc.stdout:
        events.put(("line", source, proc, raw))
    events.put(("end", source, proc, None))


def start(source, events):
    source.started_at = None
    source.error = None
    try:
        # stdin is a pipe that we hold open and never write to: closing it is
        # how the tool is told to stop, and if this program dies the pipe
        # closes with it, so the tools stop by themselves. stderr (the tool's
        # usage line) is ours.
        proc = subprocess.Popen(source.argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, **OWN_GROUP)
    except OSError as e:
        print("supervise: %s: cannot run %s: %s" % (source.name, source.argv[0], e.strerror or e),
              file=sys.stderr, flush=True)
        write_line({"source": source.name, "event": "stopped", "code": CANNOT_START})
        return
    source.proc = proc
    threading.Thread(target=read_tool, args=(source, proc, events), daemon=True).start()


def pass_on(source, raw):
    """One line of a tool: written on with the source's name first; started
    and error are remembered for the decision at the end of the run."""
    try:
        event = json.loads(raw.decode("utf-8"))
    except ValueError:
        event = None
    if not isinstance(event, dict) or not isinstance(event.get("event"), str):
        print("supervise: %s: not an event line: %r" % (source.name, raw), file=sys.stderr, flush=True)
        return
    if event["event"] == "started":
        source.started_at = time.monotonic()
    elif event["event"] == "error":
        source.error = event.get("code")
    write_line({"source": source.name, **event})


def exit_code(proc):
    # Popen reports "ended by signal N" as -N; written as the shell does.
    return 128 - proc.returncode if proc.returncode < 0 else proc.returncode


def worth_another_run(code, error):
    if code == 1:  # the source ended, or the decoder failed
        return True
    if code == 3 and error == "ffmpeg_connect":  # the source could not be reached
        return True
    return code > 128  # ended by a signal from elsewhere


def run_ended(source, now):
    """The tool of source has ended on its own: start it again later, or never."""
    code = exit_code(source.proc)
    source.proc = None
    if not worth_another_run(code, source.error):
        write_line({"source": source.name, "event": "stopped", "code": code})
        return
    # Measured from started: with audio, a tool whose decoder never connects
    # runs 60 s too, and must not count as a good run.
    if source.started_at is not None and now - source.started_at >= STEADY_RUN:
        source.next_wait = FIRST_WAIT
    write_line({"source": source.name, "event": "restart", "code": code, "after": source.next_wait})
    source.due = now + source.next_wait
    source.next_wait = min(source.next_wait * 2, LONGEST_WAIT)


def stop(source):
    """Asks the tool to stop: it ends its decoder and writes its exit line."""
    try:
        source.proc.stdin.close()
    except OSError:  # the tool has already gone
        pass


def kill(source):
    """Ends a tool that did not stop in time. On Linux the tool's decoder is in
    its process group; on Windows the tool's job takes it."""
    try:
        if os.name == "nt":
            source.proc.kill()
        else:
            # Not yet waited for, so the group's id still belongs to the tool.
            os.killpg(source.proc.pid, signal.SIGKILL)
    except OSError:
        pass


def supervise(sources):
    # Everything reaches the main loop through one queue: tool lines, ends of
    # output, and signals. SimpleQueue.put may be called from a signal handler.
    events = queue.SimpleQueue()
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, lambda signum, frame: events.put(("signal", None, None, signum)))

    for source in sources:
        start(source, events)

    stop_at = None   # when the stop began
    killed = False
    while True:
        now = time.monotonic()
        running = [s for s in sources if s.proc]
        if stop_at is not None:
            if not running:
                return 0
            if not killed and now >= stop_at + STOP_GRACE:
                for s in running:
                    print("supervise: %s: still running %.0f s after its stdin closed; killed"
                          % (s.name, STOP_GRACE), file=sys.stderr, flush=True)
                    kill(s)
                killed = True
            if killed and now >= stop_at + STOP_GRACE + KILL_GRACE:
                # Something still holds a killed tool's stdout open; nothing
                # more can be done from here, and exiting must not hang.
                return 0
            wake = stop_at + STOP_GRACE + (KILL_GRACE if killed else 0.0)
        else:
            for s in sources:
                if s.due is not None and now >= s.due:
                    s.due = None
                    start(s, events)
            wake = min((s.due for s in sources if s.due is not None), default=now + 1.0)

        # Wait for the next event or the next due time; at most 1 s, because on
        # Windows Python handles a Ctrl-C only between waits.
        try:
            kind, source, proc, value = events.get(timeout=min(max(wake - time.monotonic(), 0.0), 1.0))
        except queue.Empty:
            continue

        if kind == "signal":
            if stop_at is None:
                stop_at = time.monotonic()
                for s in sources:
                    s.due = None  # no start again, and so no restart or stopped line
                    if s.proc:
                        stop(s)
        elif kind == "line":
            pass_on(source, value)
        elif kind == "end":
            # The tool closes its stdout only by ending: the wait is short.
            proc.wait()
            # Release both pipes now rather than whenever the garbage collector
            # gets to them: over days of restarts they would add up.
            proc.stdin.close()
            proc.stdout.close()
            if stop_at is None:
                run_ended(source, time.monotonic())
            else:
                source.proc = None


def main(argv):
    if len(argv) != 2:
        print("usage: %s SOURCES.json" % os.path.basename(argv[0]), file=sys.stderr)
        return EXIT_USAGE
    try:
        sources = load_sources(argv[1])
    except BadSources as e:
        print("supervise: %s" % e, file=sys.stderr)
        return EXIT_USAGE
    # UTF-8 whatever the locale: the tool's names and messages pass unchanged.
    sys.stdout.reconfigure(encoding="utf-8")
    return supervise(sources)


if __name__ == "__main__":
    sys.exit(main(sys.argv))

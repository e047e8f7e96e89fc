"""Helpers for end-to-end tests that run against the live test camera.

- camera(...): context manager that starts tools/test_camera.py, yields its
  rtsp:// URL and stops it again (no process left behind).
- StreamSink: a one-connection TCP listener on 127.0.0.1 standing in for the
  tool's video or audio channel; it counts, slices and keeps what arrives.
- nv12_bar_problems(): checks a picture's bytes against the camera's colour bars.
- tone_problems(): checks float samples for the camera's 440 Hz tone.
- decoder_argv(): the argument vector the tool hands ffmpeg, for tests that
  drive ffmpeg (or a stand-in) the same way the tool does.
- beep_onsets(), beep_minus_flash(): where each beep starts at a runtime
  stand-in, and how far from its flash.
- flash_delays(): how long each of the camera's flashes (camera(flash=LOG))
  took to reach a reader, from the reader's timed arrivals.

Pure Python 3 (no numpy), so it runs under /usr/bin/python3, which the camera
needs anyway for its GObject bindings.
"""

import contextlib
import math
import os
import select
import signal
import socket
import struct
import subprocess
import threading
import time

REPO_ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
CAMERA_SCRIPT = os.path.join(REPO_ROOT, "tools", "test_camera.py")
SYSTEM_PYTHON = "/usr/bin/python3"
FFMPEG = "/usr/bin/ffmpeg"

# The seven top bars of the camera's SMPTE pattern as (name, Y, Cb, Cr), measured
# by decoding the stream with ffmpeg to NV12 (see tools/test_camera.py).
SMPTE_TOP_BARS = (
    ("white", 236, 128, 128),
    ("yellow", 219, 16, 136),
    ("cyan", 189, 156, 16),
    ("green", 174, 44, 24),
    ("magenta", 78, 212, 231),
    ("red", 63, 101, 239),
    ("blue", 33, 238, 120),
)
BAR_TOLERANCE = 12
TONE_HZ = 440
AUDIO_RATE = 48000


# ---------------------------------------------------------------- camera


@contextlib.contextmanager
def camera(no_audio=False, width=None, height=None, fps=None, pattern=None,
           port=None, flash=None, user=None, password=None, ready_timeout=15.0):
    """Start the test camera and yield its URL; stop it on leaving.

    camera_process(url) gives the camera's Popen, for tests that kill the
    camera on purpose to see how a client copes.
    """
    argv = [SYSTEM_PYTHON, CAMERA_SCRIPT]
    if no_audio:
        argv.append("--no-audio")
    for opt, val in (("--width", width), ("--height", height), ("--fps", fps),
                     ("--pattern", pattern), ("--port", port), ("--flash", flash),
                     ("--user", user), ("--password", password)):
        if val is not None:
            argv += [opt, str(val)]
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
    url = None
    try:
        url = _read_line(proc, ready_timeout)
        if not url.startswith("rtsp://"):
            raise RuntimeError("test camera did not start (got %r, exit %r)"
                               % (url, proc.poll()))
        _camera_procs[url] = proc
        yield url
    finally:
        _camera_procs.pop(url, None)
        stop_process(proc)
        proc.stdout.close()


_camera_procs = {}


def camera_process(url):
    """The subprocess.Popen of a camera started by camera(), by its URL."""
    return _camera_procs[url]


def _read_line(proc, timeout):
    deadline = time.monotonic() + timeout
    line = b""
    fd = proc.stdout.fileno()
    while not line.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            break
        chunk = os.read(fd, 1)
        if not chunk:
            break
        line += chunk
    return line.decode(errors="replace").strip()


def stop_process(proc, timeout=5.0):
    """SIGTERM, then SIGKILL if it lingers; always reaps."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
    return proc.wait()


# ---------------------------------------------------------------- listeners


class StreamSink:
    """Accepts one connection on 127.0.0.1 and drains it on its own thread.

    With frame_bytes set, the stream is cut into records of that size; each
    whole record is passed to on_frame(index, bytes) and its arrival time kept.
    keep=True keeps every byte (fine for audio, too much for 1080p video).
    """

    def __init__(self, frame_bytes=0, on_frame=None, keep=False):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        self.url = "tcp://127.0.0.1:%d" % self.port
        self.frame_bytes = frame_bytes
        self.on_frame = on_frame
        self.keep = keep
        self.data = bytearray()
        self.total = 0
        self.frame_times = []
        self.accepted_at = None
        self.closed_at = None
        self._pending = bytearray()
        self._stop = False
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    @property
    def frames(self):
        return len(self.frame_times)

    def _run(self):
        self.listener.settimeout(0.1)
        conn = None
        while not self._stop and conn is None:
            try:
                conn, _ = self.listener.accept()
            except socket.timeout:
                continue
        if conn is None:
            return
        self.accepted_at = time.monotonic()
        conn.settimeout(0.1)
        with conn:
            while not self._stop:
                try:
                    chunk = conn.recv(1 << 20)
                except socket.timeout:
                    continue
                if not chunk:
                    break
                self._take(chunk)
        self.closed_at = time.monotonic()

    def _take(self, chunk):
        self.total += len(chunk)
        if self.keep:
            self.data += chunk
        if not self.frame_bytes:
            return
        self._pending += chunk
        while len(self._pending) >= self.frame_bytes:
            frame = bytes(self._pending[:self.frame_bytes])
            del self._pending[:self.frame_bytes]
            index = len(self.frame_times)
            self.frame_times.append(time.monotonic())
            if self.on_frame:
                self.on_frame(index, frame)

    def close(self):
        self._stop = True
        self._thread.join(5)
        self.listener.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


# ---------------------------------------------------------------- pictures


def nv12_sample(picture, width, height, x, y):
    """(Y, Cb, Cr) at pixel (x, y) of an NV12 picture."""
    luma = picture[y * width + x]
    c = width * height + (y // 2) * width + (x // 2) * 2
    return luma, picture[c], picture[c + 1]


def bar_places(width, height):
    """Centres of the seven top bars: x = (2i+1)*width/14, y = height/3."""
    return [((2 * i + 1) * width // 14, height // 3) for i in range(7)]


def nv12_bar_problems(picture, width, height, tolerance=BAR_TOLERANCE):
    """Empty list when the picture shows the camera's colour bars.

    Otherwise one line per bar that is off, e.g.
    "yellow at (411,360): got (128,128,128), want (219,16,136)".
    """
    need = width * height * 3 // 2
    if len(picture) != need:
        return ["picture has %d bytes, want %d" % (len(picture), need)]
    problems = []
    for (name, *want), (x, y) in zip(SMPTE_TOP_BARS, bar_places(width, height)):
        got = nv12_sample(picture, width, height, x, y)
        if any(abs(g - w) > tolerance for g, w in zip(got, want)):
            problems.append("%s at (%d,%d): got %s, want %s"
                            % (name, x, y, tuple(got), tuple(want)))
    return problems


# ---------------------------------------------------------------- sound


def f32le(data, channels=2, planar=False):
    """Split little-endian float bytes into one list per channel.

    Interleaved: L R L R ...; planar: all of channel 0, then channel 1, ...
    A trailing partial sample frame is dropped.
    """
    frame = 4 * channels
    usable = len(data) - len(data) % frame
    values = struct.unpack("<%df" % (usable // 4), bytes(data[:usable]))
    if planar:
        n = len(values) // channels
        return [list(values[c * n:(c + 1) * n]) for c in range(channels)]
    return [list(values[c::channels]) for c in range(channels)]


def goertzel_share(samples, rate, freq):
    """Share of the signal's power (0..1) found at freq."""
    n = len(samples)
    if n == 0:
        return 0.0
    mean = sum(samples) / n
    k = round(n * freq / rate)
    coeff = 2.0 * math.cos(2.0 * math.pi * k / n)
    s1 = s2 = 0.0
    energy = 0.0
    for v in samples:
        v -= mean
        energy += v * v
        s1, s2 = v + coeff * s1 - s2, s1
    power = s1 * s1 + s2 * s2 - coeff * s1 * s2
    if energy <= 0.0:
        return 0.0
    # A pure tone of n samples puts n/2 * energy into its bin.
    return min(1.0, power / (energy * n / 2.0))


def zero_crossing_hz(samples, rate):
    """Frequency estimated from rising zero crossings."""
    rising = sum(1 for a, b in zip(samples, samples[1:]) if a < 0.0 <= b)
    return rising * rate / max(1, len(samples))


def tone_problems(channels, rate=AUDIO_RATE, freq=TONE_HZ, min_share=0.9,
                  min_peak=0.05, hz_tolerance=5.0):
    """Empty list when every channel carries a clean tone at freq.

    channels: one list of float samples per channel (see f32le). Checks the
    level (not silence), that the samples are finite and within -1..1, the
    rising-zero-crossing rate and the share of power in freq's Goertzel bin.
    """
    problems = []
    for c, samples in enumerate(channels):
        if len(samples) < rate // 10:
            problems.append("channel %d: only %d samples" % (c, len(samples)))
            continue
        if any(not math.isfinite(v) or abs(v) > 1.0 for v in samples):
            problems.append("channel %d: samples outside -1..1" % c)
            continue
        peak = max(abs(v) for v in samples)
        if peak < min_peak:
            problems.append("channel %d: silent (peak %.4f)" % (c, peak))
            continue
        hz = zero_crossing_hz(samples, rate)
        if abs(hz - freq) > hz_tolerance:
            problems.append("channel %d: %.1f Hz by zero crossings, want %d"
                            % (c, hz, freq))
        share = goertzel_share(samples, rate, freq)
        if share < min_share:
            problems.append("channel %d: %.2f of the power at %d Hz, want >= %.2f"
                            % (c, share, freq, min_share))
    return problems


# ---------------------------------------------------------------- decoder


def read_flashes(path):
    """The wall-clock times (seconds) of the flashes a camera(flash=path) logged."""
    with open(path) as f:
        return [float(line) for line in f if line.strip()]


def flash_delays(flashes, arrivals, threshold, window=0.5):
    """Seconds from each flash to the first arrival after it that is lit.

    arrivals are (wall-clock seconds, value) pairs: a picture's luma at its
    centre, or an audio block's peak; a value of threshold or more is the flash
    (or its beep). Flashes that no arrival answered within window (before the
    reader started, or after it stopped) are left out.
    """
    arrivals = sorted(arrivals)
    delays = []
    for f in flashes:
        for t, value in arrivals:
            if t >= f + window:
                break
            if t >= f and value >= threshold:
                delays.append(t - f)
                break
    return delays


def beep_onsets(audio, dump, gap_s=0.5):
    """Each of the flashing camera's beeps at a runtime stand-in, by its first
    loud sample: (its timecode in 100 ns units, the wall_us of its block's
    send), from the record's audio lines (QOR_STANDIN_TIMES) and the samples
    they carried (QOR_STANDIN_AUDIO_DUMP, 480 floats of left then of right a
    block)."""
    onsets, last_loud = [], None
    with open(dump, "rb") as f:
        data = f.read()
    for i, kv in enumerate(audio):
        left = struct.unpack("<480f", data[i * 3840:i * 3840 + 1920])
        for j, x in enumerate(left):
            if abs(x) <= 0.05:
                continue
            at = int(kv["timecode"]) + j * 10000000 / AUDIO_RATE
            if last_loud is None or at - last_loud > gap_s * 1e7:
                onsets.append((at, int(kv["wall_us"])))
            last_loud = at
    return onsets


def beep_minus_flash(flashes, onsets):
    """Each flash, (timecode, wall_us) at a runtime stand-in, against the beep
    onset (beep_onsets) nearest it by timecode: the beep minus the flash in ms,
    by timecode and by the time of the send, as two lists."""
    by_timecode, by_send = [], []
    for timecode, wall in flashes:
        if onsets:
            beep = min(onsets, key=lambda o: abs(o[0] - timecode))
            by_timecode.append((beep[0] - timecode) / 1e4)
            by_send.append((beep[1] - wall) / 1e3)
    return by_timecode, by_send


def decoder_argv(ffmpeg, url, width, height, video_url, audio_url=None, times=None):
    """The tool's decoder argument vector: 28 elements, 39 with audio.

    video_url and audio_url are the listeners' tcp://127.0.0.1:PORT; the
    vector asks for them with tcp_nodelay, as the tool does. times is the pair
    of listener URLs for the pictures' and the audio blocks' times (the second
    None without audio); without it the filters print no times."""
    def with_times(chain, prefix, times_url):
        if times_url is None:
            return chain
        # The colons escaped twice: for the chain and for the filter's option.
        where = "tcp\\\\://127.0.0.1\\\\:" + times_url.rsplit(":", 1)[1]
        return (chain + ",{p}metadata=mode=add:key=q:value=1,{p}metadata=mode=print:direct=1:file={u}"
                "?tcp_nodelay=1").format(p=prefix, u=where)

    video_times, audio_times = times if times is not None else (None, None)
    scale = "scale=%d:%d,format=nv12" % (width, height)
    argv = [ffmpeg, "-hide_banner", "-nostdin", "-loglevel", "warning",
            "-rtsp_transport", "tcp", "-fflags", "nobuffer", "-flags", "low_delay",
            "-probesize", "2000000", "-analyzeduration", "3000000",
            "-i", url, "-map", "0:v:0", "-vf", with_times(scale + ",settb=AVTB", "", video_times) if times else scale,
            "-fps_mode", "passthrough", "-enc_time_base:v", "1:90000",
            "-f", "rawvideo", video_url + "?tcp_nodelay=1"]
    if audio_url is not None:
        resample = ("aresample=async=1:osr=48000:ochl=stereo,asetnsamples=n=480:p=0,asettb=AVTB" if times
                    else "aresample=async=1")
        argv += ["-map", "0:a:0", "-af", with_times(resample, "a", audio_times), "-ac", "2",
                 "-ar", "48000", "-f", "f32le", audio_url + "?tcp_nodelay=1"]
    return argv


def processes_with(text):
    """Live Linux processes whose command line contains text, as (pid, argv0).

    A listener's URL is unique per test, so processes_with(sink.url) finds the
    decoder that was told to write there, wherever it was started from. Zombies
    are left out: an orphan stays one until PID 1 reaps it.
    """
    found = []
    needle = text.encode()
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % name, "rb") as f:
                cmdline = f.read()
        except OSError:
            continue
        if needle in cmdline and is_alive(int(name)):
            found.append((int(name), cmdline.split(b"\0")[0].decode(errors="replace")))
    return found


def is_alive(pid):
    """True while pid runs (a zombie counts as ended)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            stat = f.read()
    except OSError:
        return False
    return stat.rsplit(")", 1)[1].split()[0] != "Z"


def wait_until(predicate, timeout, step=0.02):
    """Polls predicate until true or timeout; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step)

#!/usr/bin/python3
"""A live test camera served over RTSP on 127.0.0.1, for tests and demos.

Run it with /usr/bin/python3 (the system interpreter carries the GObject
bindings). It serves one stream at rtsp://127.0.0.1:PORT/cam and prints that URL
as its only stdout line once the server listens, then serves until SIGTERM or
SIGINT and exits with 0.

    /usr/bin/python3 tools/test_camera.py [--port N] [--no-audio]
        [--width 1920] [--height 1080] [--fps 30] [--pattern smpte]
        [--flash LOG] [--user NAME --password WORD]

Video: videotestsrc (live) with a burnt-in timecode HH:MM:SS:FF (FF is the frame
number within the second) in the bottom-right corner, H.264 from x264 tuned for
zero latency, one key frame a second. Audio (unless --no-audio): a 440 Hz sine,
stereo, 48 kHz, AAC.

Picture content a test may check (pattern smpte, any size; the bars scale with
the picture). Sample the centre of each of the seven top bars, bar i at
x = (2*i + 1) * width / 14, y = height / 3 (integer division). Values measured
by decoding the stream with ffmpeg into 1920x1080 NV12 (x = 137, 411, 685, 960,
1234, 1508, 1782; y = 360), luma Y and the chroma pair (Cb, Cr) at that place:

    bar      Y    Cb   Cr
    white   236  128  128
    yellow  219   16  136
    cyan    189  156   16
    green   174   44   24
    magenta  78  212  231
    red      63  101  239
    blue     33  238  120

The same values hold at other camera sizes (BT.709 throughout, see below) and
after ffmpeg scales the picture (checked 640x360 and 1920x1080 -> 1280x720).
Over 150 decoded pictures no value strayed more than 4 from the table (x264
between key frames); a tolerance of 12 still separates every bar from its
neighbours and catches a grey, green (all-zero), shifted or torn picture.
These are the full-intensity bars; pattern smpte75 gives other values. The
timecode sits in the bottom quarter (black, PLUGE and noise) and never touches
these places.

--flash LOG serves a black picture that turns white for frame 0 of every
second, with a 1 kHz beep (amplitude 0.5, 100 ms) that starts with it and
silence between, for measuring how long a picture and a sound take from the
camera to a receiver. The pictures and sound are made here and handed to the
encoders in real time, each picture and its sound stamped with the time of
its frame (exactly one frame period after the one before); each flash's wall-clock time (time.time(), in seconds)
is appended to LOG as one line at the moment its picture and the first samples
of its beep are handed over. A flash picture is Y 235 throughout, the others
Y 16 (limited range), so a receiver tells them apart at any pixel.

--user and --password: every mount asks for RTSP basic authentication and
serves only that user; anyone else is answered 401.

A second mount, rtsp://127.0.0.1:PORT/audio, serves the audio alone (the same
sine, AAC), a stream without video; it needs an AAC encoder whatever --no-audio
says.

Why the pipeline looks as it does:
- rtph264pay config-interval=1: with -1 (parameter sets in every key frame's
  access unit) and x264's sliced threads, ffmpeg 5.1 decodes corrupt pictures.
- colorimetry=bt709 at every size: GStreamer otherwise picks BT.601 for
  pictures below HD, and the bars' Y/Cb/Cr values would depend on the size.
- The media is shared between clients and published with a clock and an offset,
  which makes it non-seekable; a shared seekable media is restarted (seeked to
  the start) for every new client.
"""

import argparse
import math
import os
import signal
import sys
import threading
import time

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402


def find_aac_encoder():
    # Debian 12 ships voaacenc in plugins-bad; avenc_aac and fdkaacenc come
    # with packages that may be installed elsewhere.
    for name in ("voaacenc", "avenc_aac", "fdkaacenc"):
        if Gst.ElementFactory.find(name) is not None:
            return name
    return None


# Samples an encoder puts before the sound it is given.
AAC_DELAY_SAMPLES = {"voaacenc": 1600}


def build_launch(args):
    video = (
        "videotestsrc is-live=true pattern={pattern} "
        "! video/x-raw,width={w},height={h},framerate={fps}/1 "
        "! timecodestamper "
        "! timeoverlay time-mode=time-code halignment=right valignment=bottom "
        "font-desc=\"Monospace {font}\" shaded-background=true "
        "! videoconvert ! video/x-raw,format=I420,colorimetry=bt709 "
        "! x264enc tune=zerolatency speed-preset=ultrafast key-int-max={fps} "
        "! rtph264pay name=pay0 pt=96 config-interval=1"
    ).format(pattern=args.pattern, w=args.width, h=args.height, fps=args.fps,
             font=max(8, args.height // 54))
    return with_audio(args, video, "audiotestsrc is-live=true wave=sine freq=440 volume=0.5 "
                                   "! audioconvert ! audioresample ! audio/x-raw,rate=48000,channels=2")


def with_audio(args, video, audio_source):
    """The media's launch line: the video, and unless --no-audio the audio
    source encoded to AAC as the second stream."""
    if args.no_audio:
        return "( " + video + " )"
    enc = find_aac_encoder()
    if enc is None:
        sys.exit("test_camera: no AAC encoder element (voaacenc, avenc_aac, fdkaacenc)")
    return "( " + video + " " + audio_source + " ! %s ! rtpmp4gpay name=pay1 pt=97 )" % enc


def build_audio_launch():
    enc = find_aac_encoder()
    if enc is None:
        return None
    return ("( audiotestsrc is-live=true wave=sine freq=440 volume=0.5 ! audioconvert ! audioresample "
            "! audio/x-raw,rate=48000,channels=2 ! %s ! rtpmp4gpay name=pay0 pt=97 )" % enc)


def only_user(server, factories, user, password):
    """Basic authentication for user, and access to each factory for that user alone."""
    auth = GstRtspServer.RTSPAuth()
    token = GstRtspServer.RTSPToken()
    token.set_string(GstRtspServer.RTSP_TOKEN_MEDIA_FACTORY_ROLE, "viewer")
    auth.add_basic(GstRtspServer.RTSPAuth.make_basic(user, password), token)
    server.set_auth(auth)
    for factory in factories:
        permissions = GstRtspServer.RTSPPermissions()
        permissions.add_permission_for_role("viewer", GstRtspServer.RTSP_PERM_MEDIA_FACTORY_ACCESS, True)
        permissions.add_permission_for_role("viewer", GstRtspServer.RTSP_PERM_MEDIA_FACTORY_CONSTRUCT, True)
        factory.set_permissions(permissions)


def build_flash_launch(args):
    video = (
        "appsrc name=vsrc is-live=true format=time "
        "caps=video/x-raw,format=I420,width={w},height={h},framerate={fps}/1,colorimetry=bt709 "
        "! x264enc tune=zerolatency speed-preset=ultrafast key-int-max={fps} "
        "! rtph264pay name=pay0 pt=96 config-interval=1"
    ).format(w=args.width, h=args.height, fps=args.fps)
    return with_audio(args, video, "appsrc name=asrc is-live=true format=time "
                                   "caps=audio/x-raw,format=S16LE,rate=48000,channels=2,layout=interleaved "
                                   "! audioconvert")


class Flasher:
    """Hands the encoders of every prepared media a picture (and its share of
    sound) at each frame tick, on a thread of its own, and logs each flash."""

    BEEP_MS = 100

    def __init__(self, args):
        self.fps = args.fps
        self.log = open(args.flash, "a", buffering=1)
        luma = args.width * args.height
        chroma = bytes([128]) * (luma // 2)
        self.black = bytes([16]) * luma + chroma
        self.white = bytes([235]) * luma + chroma
        self.samples = 48000 // args.fps
        beep = []
        for n in range(self.samples * math.ceil(self.BEEP_MS * args.fps / 1000)):
            v = int(0.5 * 32767 * math.sin(2 * math.pi * 1000 * n / 48000))
            beep.append(v.to_bytes(2, "little", signed=True) * 2)
        beep = b"".join(beep)
        step = self.samples * 4
        self.beep = [beep[i:i + step] for i in range(0, len(beep), step)]
        self.silence = bytes(step)
        # Measured through ffmpeg 5.1: voaacenc's priming (1600 samples). Other
        # encoders are taken as having none.
        self.audio_delay = AAC_DELAY_SAMPLES.get(find_aac_encoder(), 0) * Gst.SECOND // 48000
        self.sources = {}  # media -> (video appsrc, audio appsrc or None)
        self.lock = threading.Lock()
        threading.Thread(target=self.run, daemon=True).start()

    def configure(self, _factory, media):
        bin_ = media.get_element()
        pair = (bin_.get_child_by_name("vsrc"), bin_.get_child_by_name("asrc"))
        media.connect("unprepared", self.forget)
        with self.lock:
            self.sources[media] = pair

    def forget(self, media):
        with self.lock:
            self.sources.pop(media, None)

    def playing(self):
        # Only media that play: buffers queued before would leave with stale times.
        with self.lock:
            items = list(self.sources.items())
        return [(m, p) for m, p in items if p[0].get_state(0)[1] == Gst.State.PLAYING]

    def stamp(self, buffer, pts):
        buffer.pts = pts
        buffer.duration = Gst.SECOND // self.fps
        return buffer

    def run(self):
        start = time.monotonic()
        tick = 0
        origins = {}  # media -> (running time at its first tick, that tick)
        while True:
            left = start + tick / self.fps - time.monotonic()
            if left > 0:
                time.sleep(left)
            frame = tick % self.fps
            playing = self.playing()
            if frame == 0 and playing:
                self.log.write("%.6f\n" % time.time())
            picture = self.white if frame == 0 else self.black
            sound = self.beep[frame] if frame < len(self.beep) else self.silence
            for media, (video, audio) in playing:
                # Stamped by the tick, not by when this thread got to push: a
                # picture and its sound carry the same time, and every frame is
                # exactly one period after the one before, however late the
                # push (a loaded machine delays this thread by tens of ms).
                if media not in origins:
                    clock = video.get_clock()
                    if clock is None:
                        continue
                    origins[media] = (clock.get_time() - video.get_base_time(), tick)
                base, first = origins[media]
                pts = base + (tick - first) * Gst.SECOND // self.fps
                video.emit("push-buffer", self.stamp(Gst.Buffer.new_wrapped(picture), pts))
                # The sound goes out earlier by the encoder's delay, which a
                # decoder of the RTP stream does not take off again: the beep
                # then decodes at its flash's time.
                if audio is not None and pts >= self.audio_delay:
                    audio.emit("push-buffer", self.stamp(Gst.Buffer.new_wrapped(sound), pts - self.audio_delay))
            for media in [m for m in origins if m not in dict(playing)]:
                del origins[media]
            tick += 1


def main():
    parser = argparse.ArgumentParser(description="Live RTSP test camera on 127.0.0.1")
    parser.add_argument("--port", type=int, default=0, help="TCP port, 0 picks a free one")
    parser.add_argument("--no-audio", action="store_true", help="serve video only")
    parser.add_argument("--width", type=int, default=1920)
    parser.add_argument("--height", type=int, default=1080)
    parser.add_argument("--fps", type=int, default=30)
    parser.add_argument("--pattern", default="smpte",
                        help="videotestsrc pattern (smpte, ball, snow, ...)")
    parser.add_argument("--flash", metavar="LOG",
                        help="flash and beep once a second instead, logging each flash's time to LOG")
    parser.add_argument("--user", help="serve only this user (RTSP basic authentication)")
    parser.add_argument("--password", default="", help="the user's password")
    args = parser.parse_args()

    Gst.init(None)
    loop = GLib.MainLoop()

    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(str(args.port))

    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch(build_flash_launch(args) if args.flash else build_launch(args))
    if args.flash:
        factory.connect("media-configure", Flasher(args).configure)
    factory.set_shared(True)
    factory.set_publish_clock_mode(GstRtspServer.RTSPPublishClockMode.CLOCK_AND_OFFSET)
    server.get_mount_points().add_factory("/cam", factory)
    factories = [factory]
    audio_launch = build_audio_launch()
    if audio_launch is not None:
        audio = GstRtspServer.RTSPMediaFactory()
        audio.set_launch(audio_launch)
        audio.set_shared(True)
        server.get_mount_points().add_factory("/audio", audio)
        factories.append(audio)
    if args.user is not None:
        only_user(server, factories, args.user, args.password)

    if server.attach(None) == 0:
        sys.exit("test_camera: cannot listen on 127.0.0.1:%d" % args.port)

    def stop(*_):
        loop.quit()
        return GLib.SOURCE_REMOVE

    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, stop)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGINT, stop)

    print("rtsp://127.0.0.1:%d/cam" % server.get_bound_port(), flush=True)
    loop.run()
    # Leave without tearing the pipelines down one by one: clients see the
    # connection close, which is what a camera going away looks like.
    sys.stdout.flush()
    os._exit(0)


if __name__ == "__main__":
    main()

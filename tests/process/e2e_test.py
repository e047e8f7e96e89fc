"""The tool relaying the live test camera through Debian's ffmpeg into the
stand-in NDI runtime. On the Windows build the decoder is the bridge that runs
the Linux ffmpeg under Wine."""
import os
import struct
import subprocess
import time
import unittest

from harness import BRIDGE, WINE, Tool, check_pattern, read_record, scratch_dir, tool_path
import media_check as mc

W, H = 1920, 1080


def decoder_args():
    if WINE:
        return ["--ffmpeg", tool_path(BRIDGE)]
    return ["--ffmpeg", "/usr/bin/ffmpeg"]


def decoder_env(d):
    # The bridge would hand ffmpeg its own stderr under Wine; keep it in a file.
    return {"QOR_BRIDGE_LOG": os.path.join(d, "ffmpeg.log")} if WINE else {}


def read_ppm(path):
    with open(path, "rb") as f:
        data = f.read()
    parts = data.split(b"\n", 3)
    assert parts[0] == b"P6", parts[0]
    width, height = map(int, parts[1].split())
    return width, height, parts[3]


def ycbcr_to_rgb(y, cb, cr):
    """BT.601 limited range, as the stand-in's preview converts."""
    c, d, e = y - 16, cb - 128, cr - 128
    clamp = lambda v: max(0, min(255, int(round(v))))
    return (clamp(1.164 * c + 1.596 * e), clamp(1.164 * c - 0.392 * d - 0.813 * e), clamp(1.164 * c + 2.017 * d))


def planar_channels(path):
    """The stand-in's audio dump: per block, 480 floats of left then of right."""
    with open(path, "rb") as f:
        data = f.read()
    left, right = [], []
    for off in range(0, len(data) - 3839, 3840):
        block = struct.unpack("<960f", data[off:off + 3840])
        left.extend(block[:480])
        right.extend(block[480:])
    return [left, right]


def relay_for(test, url, width, height, env, record, seconds):
    """The tool relaying url at width x height into the stand-in for seconds,
    then stopped by closing its stdin: its exit code."""
    with Tool(["--input", url, "--width", str(width), "--height", str(height)] + decoder_args(),
              env=env, record=record) as t:
        test.assertEqual(t.next_event(20)["event"], "started")
        time.sleep(seconds)
        t.close_stdin()
        code, _ = t.finish(timeout=20)
    return code


class RelayCamera(unittest.TestCase):
    def test_camera_is_relayed_until_stdin_closes(self):
        d = scratch_dir()
        record, preview, audio_dump = (os.path.join(d, n) for n in ("ndi.rec", "preview.ppm", "audio.f32"))
        env = decoder_env(d)
        # No per-picture checksum: the stand-in's hashing of 3 MB pictures would
        # cost more than the relay itself in the sanitizer builds.
        env.update({"QOR_STANDIN_PREVIEW": tool_path(preview), "QOR_STANDIN_PREVIEW_EVERY": "30",
                    "QOR_STANDIN_AUDIO_DUMP": tool_path(audio_dump), "QOR_STANDIN_NO_CHECKSUM": "1"})
        with mc.camera() as url, Tool(["--input", url, "--name", "Camera 1"] + decoder_args(), env=env,
                                      record=record) as t:
            started = t.next_event(20)
            self.assertEqual(started["event"], "started")
            self.assertEqual((started["name"], started["width"], started["height"], started["audio"]),
                             ("Camera 1", W, H, True))
            statuses = [t.next_event(5) for _ in range(3)]
            self.assertTrue(all(s["event"] == "status" for s in statuses), statuses)
            # The first interval may start before the first keyframe; later ones
            # run at the camera's rate (a loaded machine may lag a little).
            self.assertTrue(any(24.0 <= s["fps"] <= 33.0 for s in statuses[1:]), statuses)
            t.close_stdin()
            code, events = t.finish(timeout=20)
        check_pattern(self, events)
        self.assertEqual(code, 0)
        self.assertEqual(events[-1], {"event": "exit", "ffmpeg": 0, "requested": True})
        self.assertEqual(events[-2]["event"], "status")

        rec = read_record(record)
        video = [kv for ev, kv in rec if ev == "video"]
        self.assertGreater(len(video), 100)
        self.assertEqual({(v["xres"], v["yres"], v["fourcc"], v["stride"], v["rate_n"], v["rate_d"], v["format"])
                          for v in video}, {("1920", "1080", "0x3231564E", "1920", "30", "1", "1")})
        # The picture is the camera's: its colour bars at their places.
        width, height, rgb = read_ppm(preview)
        self.assertEqual((width, height), (W, H))
        for (name, y, cb, cr), (x, row) in zip(mc.SMPTE_TOP_BARS, mc.bar_places(W, H)):
            got = rgb[(row * W + x) * 3:(row * W + x) * 3 + 3]
            want = ycbcr_to_rgb(y, cb, cr)
            self.assertTrue(all(abs(g - w) <= 30 for g, w in zip(got, want)), (name, tuple(got), want))
        # The sound is the camera's 440 Hz tone, 480 x 2 planar floats a block.
        audio = [kv for ev, kv in rec if ev == "audio"]
        self.assertGreater(len(audio), 300)
        self.assertEqual({(a["rate"], a["channels"], a["samples"], a["stride"]) for a in audio},
                         {("48000", "2", "480", "1920")})
        channels = planar_channels(audio_dump)
        tail = [c[-48000:] for c in channels]  # the last second, well after the start
        self.assertEqual(mc.tone_problems(tail), [])

    def test_camera_lost_mid_run(self):
        d = scratch_dir()
        with mc.camera() as url, Tool(["--input", url] + decoder_args(), env=decoder_env(d)) as t:
            self.assertEqual(t.next_event(20)["event"], "started")
            self.assertEqual(t.next_event(5)["event"], "status")
            mc.stop_process(mc.camera_process(url))
            code, events = t.finish(timeout=30)
        check_pattern(self, events)
        self.assertEqual(code, 1)
        self.assertEqual(events[-1], {"event": "exit", "ffmpeg": 0, "requested": False})


class CameraWithoutAudio(unittest.TestCase):
    def test_audio_expected_but_missing(self):
        d = scratch_dir()
        with mc.camera(no_audio=True) as url, Tool(["--input", url] + decoder_args(), env=decoder_env(d)) as t:
            code, events = t.finish(timeout=80)
        self.assertEqual(code, 3)
        self.assertEqual(events, [{"event": "error", "code": "ffmpeg_connect",
                                   "message": "ffmpeg did not deliver the program (exit 1)"}])

    def test_no_audio_runs(self):
        d = scratch_dir()
        with mc.camera(no_audio=True) as url, \
                Tool(["--input", url, "--no-audio"] + decoder_args(), env=decoder_env(d)) as t:
            started = t.next_event(20)
            self.assertEqual((started["event"], started["audio"]), ("started", False))
            self.assertEqual(t.next_event(5)["event"], "status")
            status = t.next_event(5)
            self.assertGreater(status["fps"], 20.0)
            t.close_stdin()
            code, events = t.finish(timeout=20)
        self.assertEqual(code, 0)
        self.assertEqual(events[-1], {"event": "exit", "ffmpeg": 0, "requested": True})


class PicturesOnTime(unittest.TestCase):
    """A camera that flashes once a second: each flash reaches the runtime's send
    about when a plain reader of the same decoder gets it, not a frame later (as
    it did while the decoder's last piece of each picture waited for an
    acknowledgement that the tool's whole-picture receive held back)."""

    FPS = 30
    SECONDS = 8

    def test_no_flash_reaches_the_runtime_later_than_a_plain_reader_plus_half_a_frame(self):
        d = scratch_dir()
        log, record = os.path.join(d, "flashes.log"), os.path.join(d, "ndi.rec")
        w, h = 640, 360
        floor = []

        def lit(index, picture):
            floor.append((time.time(), picture[(h // 2) * w + w // 2]))

        with mc.camera(width=w, height=h, fps=self.FPS, flash=log) as url:
            # The floor: the same decoder arguments into a plain receive loop.
            with mc.StreamSink(w * h * 3 // 2, lit) as video, mc.StreamSink() as audio, \
                    mc.StreamSink() as video_times, mc.StreamSink() as audio_times:
                ff = subprocess.Popen(mc.decoder_argv(mc.FFMPEG, url, w, h, video.url, audio.url,
                                                      (video_times.url, audio_times.url)),
                                      stderr=subprocess.DEVNULL)
                try:
                    self.assertTrue(mc.wait_until(lambda: video.frames > 0, 15), "no picture")
                    time.sleep(self.SECONDS)
                finally:
                    mc.stop_process(ff)
            env = decoder_env(d)
            env.update({"QOR_STANDIN_TIMES": "1", "QOR_STANDIN_NO_CHECKSUM": "1"})
            self.assertEqual(relay_for(self, url, w, h, env, record, self.SECONDS), 0)
            flashes = mc.read_flashes(log)

        sent = [(int(kv["wall_us"]) / 1e6, int(kv["centre_y"])) for ev, kv in read_record(record)
                if ev == "video" and "wall_us" in kv]
        floor_delays = mc.flash_delays(flashes, floor, 128)
        tool_delays = mc.flash_delays(flashes, sent, 128)
        self.assertGreaterEqual(len(floor_delays), self.SECONDS - 3, floor_delays)
        self.assertGreaterEqual(len(tool_delays), self.SECONDS - 3, tool_delays)
        # Room for a loaded machine: the floor's slowest flash, plus half a frame.
        bound = max(floor_delays) + 0.5 / self.FPS
        late = [round(1000 * x, 1) for x in tool_delays if x > bound]
        self.assertEqual(late, [], "tool %s ms, floor %s ms" % ([round(1000 * x, 1) for x in tool_delays],
                                                                [round(1000 * x, 1) for x in floor_delays]))


class SoundWithPicture(unittest.TestCase):
    """The flashing camera beeps over each flash, both stamped with the same
    time: through ffmpeg and the tool, each flash's picture and its beep carry
    timecodes on one clock within 5 ms of each other, and the beep goes out
    within a frame of its picture."""

    FPS = 30
    SECONDS = 8

    def test_each_flash_and_its_beep_carry_one_time_and_go_out_together(self):
        d = scratch_dir()
        log, record, dump = (os.path.join(d, n) for n in ("flashes.log", "ndi.rec", "audio.f32"))
        w, h = 640, 360
        env = decoder_env(d)
        env.update({"QOR_STANDIN_TIMES": "1", "QOR_STANDIN_NO_CHECKSUM": "1",
                    "QOR_STANDIN_AUDIO_DUMP": tool_path(dump)})
        with mc.camera(width=w, height=h, fps=self.FPS, flash=log) as url:
            self.assertEqual(relay_for(self, url, w, h, env, record, self.SECONDS), 0)
        rec = read_record(record)
        flashes = [(int(kv["timecode"]), int(kv["wall_us"])) for ev, kv in rec
                   if ev == "video" and int(kv["centre_y"]) > 128]
        onsets = mc.beep_onsets([kv for ev, kv in rec if ev == "audio"], dump)
        self.assertGreaterEqual(len(flashes), self.SECONDS - 3, flashes)
        period_us = 1e6 / self.FPS
        by_timecode, by_send = ([round(x, 2) for x in side] for side in mc.beep_minus_flash(flashes, onsets))
        # The timecodes come from the camera's own times: exact on any machine.
        self.assertTrue(all(abs(x) <= 5 for x in by_timecode), "beep minus flash, ms: %s" % by_timecode)
        # The sends depend on the machine: a loaded one may release a beep at
        # its bound now and then, never most of them.
        within = [x for x in by_send if abs(x) <= period_us / 1e3]
        self.assertGreaterEqual(len(within), len(by_send) * 3 // 4, "beep sent minus flash sent, ms: %s" % by_send)
        # The tool's clock, not the runtime's own count: the wall clock of the
        # first frame on, so each timecode is near its send.
        self.assertTrue(all(abs(tc / 10 - wall) < 1e6 for tc, wall in flashes), flashes)


if __name__ == "__main__":
    unittest.main()

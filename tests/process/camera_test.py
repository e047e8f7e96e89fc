"""Checks the test camera the end-to-end tests rely on, through Debian's ffmpeg
driven with the tool's own decoder argument vector.

    /usr/bin/python3 -m unittest tests/process/camera_test.py
"""

import math
import os
import struct
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import media_check as mc  # noqa: E402

W, H = 1920, 1080
PICTURE = W * H * 3 // 2


class CameraThroughFfmpeg(unittest.TestCase):
    def test_pictures_and_tone_arrive_and_camera_loss_ends_ffmpeg_cleanly(self):
        bad = []

        def check(index, picture):
            problems = mc.nv12_bar_problems(picture, W, H)
            if problems:
                bad.append((index, problems))

        with mc.camera() as url, \
                mc.StreamSink(PICTURE, check) as video, \
                mc.StreamSink(keep=True) as audio:
            ff = subprocess.Popen(mc.decoder_argv(mc.FFMPEG, url, W, H, video.url, audio.url))
            try:
                self.assertTrue(mc.wait_until(lambda: video.frames > 0, 10), "no picture")
                # Past the decoder's start-up, and long enough that a late
                # picture or two on a loaded machine moves the rate little.
                time.sleep(1)
                frames0, floats0, t0 = video.frames, audio.total // 4, time.monotonic()
                time.sleep(5)
                seconds = time.monotonic() - t0
                fps = (video.frames - frames0) / seconds
                floats_per_s = (audio.total // 4 - floats0) / seconds

                mc.camera_process(url).kill()
                rc = ff.wait(10)
            finally:
                mc.stop_process(ff)

        self.assertAlmostEqual(fps, 30, delta=3)
        self.assertEqual(bad, [])
        self.assertAlmostEqual(floats_per_s, 2 * 48000, delta=2 * 48000 * 0.1)
        self.assertEqual(mc.tone_problems(mc.f32le(audio.data[-8 * 48000:])), [])
        self.assertEqual(rc, 0)

    def test_source_without_audio_makes_ffmpeg_fail_after_connecting_video(self):
        with mc.camera(no_audio=True) as url, \
                mc.StreamSink(PICTURE) as video, mc.StreamSink() as audio:
            ff = subprocess.Popen(mc.decoder_argv(mc.FFMPEG, url, W, H, video.url, audio.url),
                                  stderr=subprocess.DEVNULL)
            try:
                rc = ff.wait(15)
            finally:
                mc.stop_process(ff)
            self.assertEqual(rc, 1)
            self.assertIsNotNone(video.accepted_at)
            self.assertIsNone(audio.accepted_at)


class Checkers(unittest.TestCase):
    """The checks above only mean something if they reject wrong media."""

    def bars(self):
        # Paint the measured bar colours into an NV12 picture, a full bar wide.
        y = bytearray(W * H)
        uv = bytearray(W * H // 2)
        for row in range(H):
            for i, (_, luma, cb, cr) in enumerate(mc.SMPTE_TOP_BARS):
                x0, x1 = i * W // 7, (i + 1) * W // 7
                y[row * W + x0:row * W + x1] = bytes([luma]) * (x1 - x0)
                if row % 2 == 0:
                    uv[(row // 2) * W + x0 - x0 % 2:(row // 2) * W + x1 - x1 % 2] = \
                        bytes([cb, cr]) * ((x1 - x1 % 2 - x0 + x0 % 2) // 2)
        return bytes(y + uv)

    def test_bar_check_rejects_grey_shifted_and_short_pictures(self):
        good = self.bars()
        self.assertEqual(mc.nv12_bar_problems(good, W, H), [])
        grey = bytes([128]) * PICTURE
        self.assertEqual(len(mc.nv12_bar_problems(grey, W, H)), 7)
        # A picture torn half a bar to the right shows each bar's neighbour.
        shift = W // 14 + 2
        torn = bytes(b"".join(good[r * W:(r + 1) * W][-shift:] + good[r * W:(r + 1) * W][:-shift]
                              for r in range(H)) + good[W * H:])
        self.assertGreater(len(mc.nv12_bar_problems(torn, W, H)), 0)
        self.assertEqual(len(mc.nv12_bar_problems(good[:-1], W, H)), 1)

    def test_tone_check_rejects_wrong_pitch_silence_and_garbage(self):
        def tone(hz, amp=0.5):
            return [amp * math.sin(2 * math.pi * hz * n / 48000) for n in range(48000)]

        self.assertEqual(mc.tone_problems([tone(440), tone(440)]), [])
        self.assertNotEqual(mc.tone_problems([tone(440), tone(880)]), [])
        self.assertNotEqual(mc.tone_problems([tone(440, 0.001)]), [])
        self.assertNotEqual(mc.tone_problems([[2.0] * 48000]), [])
        # Interleaved and planar byte layouts decode to the same channels.
        left, right = tone(440), tone(440, 0.25)
        inter = struct.pack("<%df" % 96000, *[v for pair in zip(left, right) for v in pair])
        planar = struct.pack("<%df" % 96000, *(left + right))
        self.assertEqual(mc.f32le(inter), mc.f32le(planar, planar=True))


if __name__ == "__main__":
    unittest.main()

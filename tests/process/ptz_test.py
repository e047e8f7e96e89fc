"""--ptz: what receivers send reaches the tool through the stand-in runtime's
metadata file (one line a frame), and each PTZ command comes out as a ptz line."""
import os
import time
import unittest

from harness import (FAKE_DECODER, Tool, check_pattern, fake_url, read_record, scratch_dir,
                     stop_while_the_runtime_holds, tool_path, unquote)

# Each text as the runtime delivers a receiver's call, and the line it gives.
TEXTS = [
    ('<ntk_ptz_pan_tilt_speed pan_speed="0.500000" tilt_speed="-0.250000"/>',
     {"command": "pan_tilt_speed", "pan_speed": 0.5, "tilt_speed": -0.25}),
    ('<ntk_ptz_pan_tilt_speed pan_speed="0.000000" tilt_speed="0.000000"/>',
     {"command": "pan_tilt_speed", "pan_speed": 0, "tilt_speed": 0}),
    ('<ntk_ptz_pan_tilt pan="0.100000" tilt="-0.200000"/>', {"command": "pan_tilt", "pan": 0.1, "tilt": -0.2}),
    ('<ntk_ptz_zoom_speed zoom_speed="-0.750000"/>', {"command": "zoom_speed", "zoom_speed": -0.75}),
    ('<ntk_ptz_zoom zoom="0.600000"/>', {"command": "zoom", "zoom": 0.6}),
    ('<ntk_ptz_store_preset index="7"/>', {"command": "store_preset", "index": 7}),
    ('<ntk_ptz_recall_preset index="7" speed="0.800000"/>', {"command": "recall_preset", "index": 7, "speed": 0.8}),
    ('<ntk_ptz_focus mode="auto"/>', {"command": "focus", "mode": "auto"}),
    ('<ntk_ptz_focus mode="manual" distance="0.400000"/>', {"command": "focus", "mode": "manual", "distance": 0.4}),
    ('<ntk_ptz_focus_speed mode="manual" distance="0.900000"/>', {"command": "focus_speed", "speed": 0.9}),
    ('<ntk_ptz_white_balance mode="auto"/>', {"command": "white_balance", "mode": "auto"}),
    ('<ntk_ptz_white_balance mode="indoor"/>', {"command": "white_balance", "mode": "indoor"}),
    ('<ntk_ptz_white_balance mode="outdoor"/>', {"command": "white_balance", "mode": "outdoor"}),
    ('<ntk_ptz_white_balance mode="one_shot"/>', {"command": "white_balance", "mode": "one_shot"}),
    ('<ntk_ptz_white_balance mode="manual" red="0.300000" blue="0.600000"/>',
     {"command": "white_balance", "mode": "manual", "red": 0.3, "blue": 0.6}),
    ('<ntk_ptz_exposure mode="auto"/>', {"command": "exposure", "mode": "auto"}),
    ('<ntk_ptz_exposure mode="manual" value="0.550000"/>', {"command": "exposure", "mode": "manual", "value": 0.55}),
]
# Other metadata, a malformed command, and one too long to be read.
IGNORED = ['<ntk_tally_echo on_program="true"/>', '<ntk_ptz_zoom zoom="0.5"', '<ntk_ptz_zoom zoom="nan"/>',
           '<ntk_ptz_zoom zoom="0.5"/>' + " " * 4096]
METADATA_SLOTS = {"connection_metadata", "clear_connection_metadata", "send_metadata", "capture", "free_metadata"}


def send(path, *texts):
    with open(path, "ab") as f:
        f.write("".join(t + "\n" for t in texts).encode())


def next_ptz(t, timeout=5):
    """The next ptz line, passing over status lines."""
    while True:
        ev = t.next_event(timeout)
        assert ev is not None, "the tool ended"
        if ev["event"] == "ptz":
            return ev


class Ptz(unittest.TestCase):
    def test_every_command_becomes_its_line(self):
        d = scratch_dir()
        metadata, record = os.path.join(d, "metadata"), os.path.join(d, "ndi.rec")
        open(metadata, "wb").close()
        url = fake_url(frames=100000, rate=30, hold=1)
        # A runtime that answers at once when nothing came (a status change):
        # the listener must still not spin.
        env = {"QOR_STANDIN_METADATA_FILE": tool_path(metadata), "QOR_STANDIN_CAPTURE_EMPTY": "100"}
        args = ["--input", url, "--ffmpeg", tool_path(FAKE_DECODER), "--no-audio", "--width", "64", "--height",
                "36", "--ptz"]
        with Tool(args, env=env, record=record) as t:
            self.assertEqual(t.next_event(10)["event"], "started")
            began = time.monotonic()
            # One at a time: same commands close together share their kind's turn.
            for text, want in TEXTS:
                send(metadata, text)
                self.assertEqual(next_ptz(t), dict(event="ptz", **want), text)
            send(metadata, *IGNORED)
            send(metadata, '<ntk_ptz_zoom zoom="0.25"/>')
            self.assertEqual(next_ptz(t), {"event": "ptz", "command": "zoom", "zoom": 0.25},
                             "ignored metadata gave a line")
            # A joystick's burst ends with the stop: few lines, the stop last.
            send(metadata, *['<ntk_ptz_pan_tilt_speed pan_speed="%f" tilt_speed="0.5"/>' % (i / 300)
                             for i in range(1, 301)])
            send(metadata, '<ntk_ptz_pan_tilt_speed pan_speed="0" tilt_speed="0"/>')
            burst = []
            while not burst or burst[-1]["tilt_speed"] != 0:
                burst.append(next_ptz(t))
            t.close_stdin()
            code, events = t.finish(timeout=15)
            took = time.monotonic() - began
        check_pattern(self, events)
        self.assertEqual(code, 0)
        self.assertLess(len(burst), 100, "a burst of 301 gave %d lines" % len(burst))
        self.assertEqual(burst[-1], {"event": "ptz", "command": "pan_tilt_speed", "pan_speed": 0, "tilt_speed": 0})
        rec = read_record(record)
        offered = [kv for ev, kv in rec if ev == "connection_metadata"]
        self.assertEqual([unquote(kv["text"]) for kv in offered], [b'<ntk_ptz enabled="true"/>'])
        # Offered before any receiver's metadata is taken.
        self.assertLess([ev for ev, _ in rec].index("connection_metadata"), [ev for ev, _ in rec].index("capture"))
        captures = [kv for ev, kv in rec if ev == "capture"]
        filled = [kv["data"] for kv in captures if kv["result"] == "3"]
        freed = [kv for ev, kv in rec if ev == "free_metadata" and kv["data"] in set(filled)]
        self.assertEqual(len(filled), len(TEXTS) + len(IGNORED) + 1 + 301)
        self.assertEqual(len(freed), len(filled), "every frame handed back")
        self.assertTrue(all(kv["known"] == "1" for kv in freed))
        self.assertEqual([kv["unfreed"] for ev, kv in rec if ev == "send_destroy"], ["0"])
        self.assertTrue(all(0 < int(kv["timeout"]) <= 100 for kv in captures), captures)
        # Without spinning, calls that found nothing come at most every 100 ms
        # (or sooner while a line waits for its turn, which bursts cause).
        empty = sum(kv["result"] != "3" for kv in captures)
        self.assertLess(empty, took * 10 + 40, "%d empty calls in %.1f s" % (empty, took))
        self.assertGreater(empty, 0)

    def test_without_ptz_nothing_changes(self):
        d = scratch_dir()
        metadata, record = os.path.join(d, "metadata"), os.path.join(d, "ndi.rec")
        send(metadata, *(text for text, _ in TEXTS))
        url = fake_url(frames=100000, rate=30, hold=1)
        args = ["--input", url, "--ffmpeg", tool_path(FAKE_DECODER), "--no-audio", "--width", "64", "--height", "36"]
        with Tool(args, env={"QOR_STANDIN_METADATA_FILE": tool_path(metadata)}, record=record) as t:
            self.assertEqual(t.next_event(10)["event"], "started")
            self.assertEqual(t.next_event(5)["event"], "status")
            t.close_stdin()
            code, events = t.finish(timeout=15)
        self.assertEqual(code, 0)
        self.assertEqual([e["event"] for e in events[1:-1]], ["status"] * (len(events) - 2))
        check_pattern(self, events)
        rec = read_record(record)
        self.assertIn("send_destroy", [ev for ev, _ in rec])
        self.assertEqual([ev for ev, _ in rec if ev in METADATA_SLOTS], [])

    def test_a_capture_that_never_returns_keeps_the_stop_budget(self):
        d = scratch_dir()
        record = os.path.join(d, "ndi.rec")
        url = fake_url(frames=100000, rate=30, hold=1)
        args = ["--input", url, "--ffmpeg", tool_path(FAKE_DECODER), "--no-audio", "--width", "64", "--height",
                "36", "--ptz"]
        check_pattern(self, stop_while_the_runtime_holds(self, args, {"QOR_STANDIN_CAPTURE_HANG": "1"}, record,
                                                         "capture"))
        rec = read_record(record)
        self.assertEqual([kv["result"] for ev, kv in rec if ev == "capture"], ["hang"])
        # The sender is not destroyed under a call that may still use it.
        self.assertNotIn("send_destroy", [ev for ev, _ in rec])


if __name__ == "__main__":
    unittest.main()

"""--monitor: the picture file, the audio level and the tally on the status
lines, against the stand-in decoder (a flat colour, a tone) and the stand-in
runtime (a tally read from a file on every call)."""
import os
import struct
import time
import unittest

from harness import FAKE_DECODER, Tool, check_pattern, fake_url, read_record, scratch_dir, tool_path

# The stand-in decoder's flat colour (Y, Cb, Cr) and what it is in BT.709,
# limited range; BT.601 would give about (37, 120, 142).
FLAT = (100, 150, 90)


def bt709_rgb(y, cb, cr):
    c, d, e = 1.164383 * (y - 16), cb - 128, cr - 128
    return (c + 1.792741 * e, c - 0.213249 * d - 0.532909 * e, c + 2.112402 * d)


def read_bmp(path):
    """(width, height, bits per pixel, file size, pixels as (r, g, b) rows) of a BMP."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:2] == b"BM", data[:2]
    size, offset, header, width, height, planes, bpp, compression = struct.unpack_from("<I4xIIiiHHI", data, 2)
    assert size == len(data) and header == 40 and planes == 1 and compression == 0, (size, header, planes)
    row = (width * 3 + 3) // 4 * 4
    rows = []
    for y in range(height):
        base = offset + row * y
        rows.append([tuple(data[base + 3 * x + k] for k in (2, 1, 0)) for x in range(width)])
    return width, height, bpp, len(data), rows


def write_tally(path, text):
    with open(path + ".new", "w") as f:
        f.write(text)
    os.replace(path + ".new", path)


class Monitor(unittest.TestCase):
    def test_picture_level_and_tally(self):
        d = scratch_dir()
        wall = os.path.join(d, "wall")
        os.mkdir(wall)
        picture = os.path.join(wall, "cam.bmp")
        tally = os.path.join(d, "tally")
        record = os.path.join(d, "ndi.rec")
        write_tally(tally, "program")
        url = fake_url(frames=100000, rate=30, blocks=100000, arate=100, hold=1,
                       flat="%d,%d,%d" % FLAT, tone=-6, rtone=-20)
        # 4:3, so a picture stretched to 320 x 180 would show.
        args = ["--input", url, "--ffmpeg", tool_path(FAKE_DECODER), "--width", "480", "--height", "360",
                "--monitor", tool_path(picture)]
        with Tool(args, env={"QOR_STANDIN_TALLY_FILE": tool_path(tally)}, record=record) as t:
            self.assertEqual(t.next_event(10)["event"], "started")
            first = t.next_event(5)
            self.assertEqual(first["tally"], {"program": True, "preview": False})
            lines = [first]
            # The tally is asked for on every line: a change shows on the next ones.
            write_tally(tally, "preview")
            while lines[-1]["tally"]["preview"] is False and len(lines) < 4:
                lines.append(t.next_event(5))
            self.assertEqual(lines[-1]["tally"], {"program": False, "preview": True})
            deadline = time.monotonic() + 10
            while not os.path.exists(picture) and time.monotonic() < deadline:
                time.sleep(0.1)
            self.assertTrue(os.path.exists(picture), "no monitor picture")
            width, height, bpp, size, rows = read_bmp(picture)
            t.close_stdin()
            code, events = t.finish(timeout=15)
        check_pattern(self, events)
        self.assertEqual(code, 0)
        status = [e for e in events if e["event"] == "status"]
        self.assertTrue(all("level" in e and "tally" in e for e in status), status)
        # A sine at -6 dBFS on the left, -20 on the right, in every interval
        # but a last one cut short before any block.
        levels = [e["level"] for e in status if e["level"] is not None]
        self.assertGreaterEqual(len(levels), len(status) - 1, status)
        for left, right in levels:
            self.assertLessEqual(abs(left - -6.0), 0.2, levels)
            self.assertLessEqual(abs(right - -20.0), 0.2, levels)
        self.assertEqual((width, height, bpp), (240, 180, 24))
        self.assertLessEqual(size, 200 * 1024)
        want = bt709_rgb(*FLAT)
        for y in (0, 90, 179):
            for x in (0, 120, 239):
                got = rows[y][x]
                self.assertTrue(all(abs(g - w) <= 3 for g, w in zip(got, want)), (x, y, got, want))
        self.assertEqual(os.listdir(wall), ["cam.bmp"], "a temporary file was left beside the picture")
        queries = [kv for ev, kv in read_record(record) if ev == "tally"]
        self.assertGreaterEqual(len(queries), len(status))
        self.assertEqual({kv["timeout"] for kv in queries}, {"0"})

    def test_no_audio_and_a_file_that_cannot_be_written(self):
        # No line says anything about the file, and the run goes on as usual.
        picture = os.path.join(scratch_dir(), "missing", "cam.bmp")
        url = fake_url(frames=100000, rate=30, hold=1)
        args = ["--input", url, "--ffmpeg", tool_path(FAKE_DECODER), "--no-audio", "--width", "64",
                "--height", "36", "--monitor", tool_path(picture)]
        with Tool(args) as t:
            self.assertEqual(t.next_event(10)["event"], "started")
            lines = [t.next_event(5), t.next_event(5)]
            t.close_stdin()
            code, events = t.finish(timeout=15)
        check_pattern(self, events)
        self.assertEqual(code, 0)
        self.assertEqual(events[-1], {"event": "exit", "ffmpeg": 0, "requested": True})
        self.assertGreater(lines[1]["fps"], 0.0)
        for line in lines:
            self.assertIsNone(line["level"])
            self.assertEqual(line["tally"], {"program": False, "preview": False})
        self.assertFalse(os.path.exists(os.path.dirname(picture)))


if __name__ == "__main__":
    unittest.main()

"""docs/events.schema.json against the event templates: every kind of line the
tool writes passes, and a line that breaks the contract is refused."""
import unittest

from harness import NEWLINE, parse_line


class EventSchema(unittest.TestCase):
    def test_every_template_passes_and_wrong_lines_are_refused(self):
        good = [
            b'{"event":"started","name":"St\\"age \xc3\xa9","width":1920,"height":1080,"audio":true,"ndi":""}',
            b'{"event":"status","connections":0,"fps":29.5,"audio":false}',
            b'{"event":"status","connections":1,"fps":30.0,"audio":true,"level":[-12.5,-100.0],'
            b'"tally":{"program":false,"preview":true}}',
            b'{"event":"status","connections":0,"fps":0.0,"audio":false,"level":null,'
            b'"tally":{"program":true,"preview":false}}',
            b'{"event":"ptz","command":"pan_tilt_speed","pan_speed":0.5,"tilt_speed":-0.25}',
            b'{"event":"ptz","command":"recall_preset","index":7,"speed":1}',
            b'{"event":"ptz","command":"focus","mode":"auto"}',
            b'{"event":"ptz","command":"white_balance","mode":"manual","red":0.3,"blue":1e-07}',
            b'{"event":"exit","ffmpeg":-1073741819,"requested":false}',
            b'{"event":"error","code":"ndi_runtime","message":"NDI runtime not found (libndi.so.6)"}',
            b'{"event":"error","code":"ndi_runtime","message":"NDI runtime incompatible (NDIlib_v6_load missing)"}',
            b'{"event":"error","code":"ndi_runtime","message":"NDI initialization failed (unsupported CPU?)"}',
            b'{"event":"error","code":"ndi_sender","message":"NDI sender creation failed"}',
            b'{"event":"error","code":"socket","message":"cannot open local sockets"}',
            b'{"event":"error","code":"ffmpeg_spawn","message":"cannot start C:\\\\ffmpeg\\\\bin\\\\ffmpeg.exe"}',
            b'{"event":"error","code":"ffmpeg_connect","message":"ffmpeg did not deliver the program (exit 7)"}',
        ]
        for line in good:
            parse_line(line + NEWLINE)
        wrong = [
            b'{"event":"error","code":"ffmpeg_exit","message":"cannot start ffmpeg"}',  # unknown code
            b'{"event":"exit","ffmpeg":0}',                                           # member missing
            b'{"event":"error","code":"socket"}',                                     # member missing
            b'{"event":"exit","ffmpeg":0,"requested":true,"signal":9}',               # member added
            b'{"event":"status","connections":0,"fps":"30.0","audio":true}',          # fps as text
            b'{"event":"started","name":"A","width":1920,"height":1080,"audio":1,"ndi":""}',
            b'{"event":"stopped","code":3}',                                          # not the tool's
            b'{"event":"status","connections":0,"fps":1.0,"audio":true,"level":[-6.0,-6.0]}',  # no tally
            b'{"event":"status","connections":0,"fps":1.0,"audio":true,"level":[-6.0],'
            b'"tally":{"program":false,"preview":false}}',                           # one channel
            b'{"event":"error","code":"socket","message":"NDI sender creation failed"}',
            b'{"event":"ptz","command":"zoom","zoom":1.5}',                          # out of range
            b'{"event":"ptz","command":"store_preset","index":7,"speed":1}',          # member added
            b'{"event":"ptz","command":"focus","mode":"manual"}',                     # distance missing
            b'{"event":"ptz","command":"white_balance","mode":"indoor","red":0.5}',   # red only when manual
            b'{"event":"ptz","command":"recall_preset","index":7,"speed":-0.5}',      # speed 0..1 here
        ]
        for line in wrong:
            with self.assertRaises(AssertionError, msg=line) as caught:
                parse_line(line + NEWLINE)
            self.assertIn("events.schema.json", str(caught.exception), line)


if __name__ == "__main__":
    unittest.main()

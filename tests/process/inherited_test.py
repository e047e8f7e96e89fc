"""What the caller hands the tool along with its arguments: an ignored SIGCHLD,
a current directory that others may have written to."""
import os
import shutil
import signal
import unittest

from harness import (FAKE_DECODER, RUNTIME_FILE, NOEXPORT_DIR, STANDIN_DIR, WINE, Tool, check_pattern,
                     fake_url, scratch_dir, tool_path)


class IgnoredChildSignal(unittest.TestCase):
    @unittest.skipIf(WINE, "a POSIX signal disposition")
    def test_decoder_exit_code_survives_an_ignored_sigchld(self):
        # The disposition is inherited through exec: ignored while the tool is
        # started, then set back here so that this process can still wait for it.
        url = fake_url(frames=3, blocks=3, exit=7)
        old = signal.signal(signal.SIGCHLD, signal.SIG_IGN)
        try:
            t = Tool(["--input", url, "--ffmpeg", FAKE_DECODER, "--width", "64", "--height", "36"])
        finally:
            signal.signal(signal.SIGCHLD, old)
        with t:
            code, events = t.finish(timeout=15)
        check_pattern(self, events)
        self.assertEqual(events[-1], {"event": "exit", "ffmpeg": 7, "requested": False})
        self.assertEqual(code, 1)


@unittest.skipUnless(WINE, "the Windows search for libraries and programs")
class PlantedInTheCurrentDirectory(unittest.TestCase):
    def test_current_directory_is_not_searched_but_path_is(self):
        # The current directory holds a runtime (the copy without the entry
        # point, which would fail the run as incompatible) and an ffmpeg.exe (the
        # stand-in decoder, which would write a record), also reachable through a
        # relative PATH entry. The runtime is found on PATH instead; no ffmpeg.exe
        # is in an absolute PATH entry, so the start fails.
        planted = scratch_dir()
        shutil.copy(os.path.join(NOEXPORT_DIR, RUNTIME_FILE), planted)
        shutil.copy(FAKE_DECODER, os.path.join(planted, "ffmpeg.exe"))
        record = os.path.join(scratch_dir(), "decoder.rec")
        # Wine puts WINEPATH in front of the Windows PATH.
        env = {"WINEPATH": ".;" + tool_path(STANDIN_DIR)}
        here = os.getcwd()
        os.chdir(planted)
        try:
            with Tool(["--input", fake_url(hold=1, record=tool_path(record))], env=env, runtime_dir=False) as t:
                code, events = t.finish(timeout=20)
            self.assertEqual(events, [{"event": "error", "code": "ffmpeg_spawn", "message": "cannot start ffmpeg"}])
            self.assertEqual(code, 3)
            self.assertFalse(os.path.exists(record), "the planted ffmpeg.exe ran")

            # An ffmpeg.exe on PATH is still found.
            on_path = scratch_dir()
            shutil.copy(FAKE_DECODER, os.path.join(on_path, "ffmpeg.exe"))
            env = {"WINEPATH": tool_path(STANDIN_DIR) + ";" + tool_path(on_path)}
            with Tool(["--input", fake_url(frames=2, exit=5), "--no-audio", "--width", "64", "--height", "36"],
                      env=env, runtime_dir=False) as t:
                code, events = t.finish(timeout=20)
            check_pattern(self, events)
            self.assertEqual(events[-1], {"event": "exit", "ffmpeg": 5, "requested": False})
            self.assertEqual(code, 1)
        finally:
            os.chdir(here)


if __name__ == "__main__":
    unittest.main()

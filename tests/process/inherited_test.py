"""What the caller hands the tool along with its arguments: an ignored SIGCHLD."""
import signal
import unittest

from harness import FAKE_DECODER, WINE, Tool, check_pattern, fake_url


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


if __name__ == "__main__":
    unittest.main()

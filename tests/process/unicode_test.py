"""Text beyond ASCII in every place a run takes it from: the source name and the
input URL (arguments), the decoder's path (as an argument and from FFMPEG_BIN)
and the runtime's folder (NDI_RUNTIME_DIR_V6). Each must arrive unchanged: the
name at the runtime's create call and in the started line as UTF-8, the URL and
the decoder path on the decoder's command line as the decoder reads it, the
runtime loaded from the folder that exists.

Under Wine the run gets LC_ALL=C.UTF-8, so that Wine hands the Linux-side
arguments and environment to the program as the text they are."""
import os
import shutil
import unittest

from harness import (FAKE_DECODER, RUNTIME_FILE, STANDIN_DIR, Tool, check_pattern, fake_url, read_record,
                     scratch_dir, tool_path, unquote)

TEXT = "\u00fc \u2713 \U0001f3a5"  # two-, three- and four-byte UTF-8


def decoder_record(path):
    """The stand-in decoder's argument vector, element by element, as bytes."""
    with open(path, "rb") as f:
        data = f.read()
    args = []
    pos = data.index(b"\n") + 1  # past "argc N"
    while data.startswith(b"arg ", pos):
        colon = data.index(b":", pos)
        size = int(data[pos + 4:colon])
        args.append(data[colon + 1:colon + 1 + size])
        pos = colon + 1 + size + 1
    return args


class UnicodeText(unittest.TestCase):
    def test_name_url_decoder_and_runtime_folder(self):
        d = scratch_dir()
        decoder_dir = os.path.join(d, "Dekoder " + TEXT)
        runtime_dir = os.path.join(d, "NDI " + TEXT)
        os.mkdir(decoder_dir)
        os.mkdir(runtime_dir)
        decoder = os.path.join(decoder_dir, os.path.basename(FAKE_DECODER))
        shutil.copy(FAKE_DECODER, decoder)
        runtime = os.path.join(runtime_dir, RUNTIME_FILE)
        shutil.copy(os.path.join(STANDIN_DIR, RUNTIME_FILE), runtime)
        name = "Kamera S\u00fcd " + TEXT

        for via in ("--ffmpeg", "FFMPEG_BIN"):
            ndi_record = os.path.join(d, via + ".ndi.rec")
            dec_record = os.path.join(d, via + ".dec.rec")
            url = fake_url(frames=3, blocks=3, tag=TEXT, record=tool_path(dec_record))
            args = ["--input", url, "--name", name, "--width", "64", "--height", "36"]
            env = {"LC_ALL": "C.UTF-8"}
            if via == "--ffmpeg":
                args += ["--ffmpeg", tool_path(decoder)]
            else:
                env["FFMPEG_BIN"] = tool_path(decoder)
            with Tool(args, env=env, runtime_dir=runtime_dir, record=ndi_record) as t:
                code, events = t.finish(timeout=30)
            check_pattern(self, events)
            self.assertEqual(events[0], {"event": "started", "name": name, "width": 64, "height": 36,
                                         "audio": True, "ndi": "6.0.0 QOR stand-in"}, via)
            self.assertEqual(events[-1], {"event": "exit", "ffmpeg": 0, "requested": False}, via)
            self.assertEqual(code, 1, via)

            rec = read_record(ndi_record)
            attached = [unquote(kv["path"]) for ev, kv in rec if ev == "attach"]
            self.assertEqual(attached, [tool_path(runtime).encode()], via)
            created = [unquote(kv["name"]) for ev, kv in rec if ev == "send_create"]
            self.assertEqual(created, [name.encode()], via)

            argv = decoder_record(dec_record)
            self.assertEqual(argv[0], tool_path(decoder).encode(), via)
            self.assertEqual(argv[argv.index(b"-i") + 1], url.encode(), via)


if __name__ == "__main__":
    unittest.main()

"""The PulseAudio platform against a private sound server, driven through velmar-audio-probe:
system audio from the sink's monitor, the microphone in its own format, and what happens
when the server goes away and comes back."""

import json
import math
import os
import select
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from harness import BUILD_DIR, SoundServer, _environment  # noqa: E402

SYSTEM_TONE = 1000
MICROPHONE_TONE = 440


class AudioProbe:
    """The probe program, one command a line, one JSON answer a line."""

    def __init__(self, server):
        program = os.path.join(BUILD_DIR, "velmar-audio-probe")
        if not os.path.exists(program):
            raise RuntimeError(f"{program} is not built")
        self.errors = tempfile.TemporaryFile()
        self.process = subprocess.Popen([program], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.errors,
                                        env=_environment(server.env()))
        self.buffer = b""

    def ask(self, command, timeout=30):
        self.process.stdin.write((command + "\n").encode())
        self.process.stdin.flush()
        deadline = time.monotonic() + timeout
        fd = self.process.stdout.fileno()
        while b"\n" not in self.buffer:
            ready, _, _ = select.select([fd], [], [], max(0.0, deadline - time.monotonic()))
            chunk = os.read(fd, 65536) if ready else b""
            if not chunk:
                raise AssertionError(f"no answer to {command!r}; stderr: {self.stderr()}")
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return json.loads(line)

    def stats_when(self, which, done, timeout=10):
        """Stats, asked again every 0.1 s until done(stats) holds or the time is up."""
        deadline = time.monotonic() + timeout
        while True:
            stats = self.ask("stats " + which)
            if done(stats) or time.monotonic() > deadline:
                return stats
            time.sleep(0.1)

    def stderr(self):
        self.errors.seek(0)
        return self.errors.read().decode(errors="replace")[-3000:]

    def stop(self):
        """Ends the probe, which destroys whatever it still holds; its exit code must be 0."""
        if self.process.poll() is None:
            self.process.stdin.close()
            try:
                self.process.wait(15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
                raise AssertionError("the probe did not end: destroying its streams hung")
        code = self.process.returncode
        self.process.stdout.close()
        errors = self.stderr()
        self.errors.close()
        if code != 0:
            raise AssertionError(f"the probe ended with {code}: {errors}")


class ProbeTest(unittest.TestCase):
    def probe(self, server):
        probe = AudioProbe(server)
        self.addCleanup(probe.stop)
        return probe

    def settle(self, probe, which, seconds=0.5):
        """Waits for a fresh stream's first buffers (a null sink that was idle ends its
        current two-second block first), lets its first burst pass, then forgets what came."""
        probe.stats_when(which, lambda stats: stats["buffers"] > 0)
        time.sleep(seconds)
        probe.ask("reset " + which)

    def measure(self, probe, which, rate):
        """What arrived once a second of frames is in: the test sources render in blocks of
        up to two seconds, so this takes between one and three."""
        return probe.stats_when(which, lambda stats: stats["frames"] >= rate)

    def assertQuiet(self, probe, which):
        """Nothing arrives any more."""
        probe.ask("reset " + which)
        time.sleep(0.5)
        stats = probe.ask("stats " + which)
        self.assertEqual(stats["buffers"], 0, stats)
        return stats

    def assertTone(self, stats, channel, frequency):
        self.assertAlmostEqual(stats["frequencies"][channel], frequency, delta=frequency * 0.03, msg=stats)
        self.assertGreater(stats["levels"][channel], 0.05, stats)


class SystemAudio(ProbeTest):
    @classmethod
    def setUpClass(cls):
        cls.server = SoundServer()
        cls.server.play_tone(SYSTEM_TONE)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def test_delivers_what_the_sink_plays_in_the_requested_format(self):
        for rate, channels in ((16000, 1), (48000, 2), (22050, 1)):
            with self.subTest(rate=rate, channels=channels):
                probe = self.probe(self.server)
                self.assertEqual(probe.ask(f"system {rate} {channels}"), {"started": True})
                self.settle(probe, "system")
                stats = self.measure(probe, "system", rate)
                self.assertEqual(stats["format"], {"rate": rate, "channels": channels, "interleaved": True,
                                                   "type": f"{channels} ch, {rate} Hz, Float32, interleaved"})
                for channel in range(channels):
                    self.assertTone(stats, channel, SYSTEM_TONE)
                # Fragments of tens of milliseconds, not bursts of seconds.
                self.assertLess(stats["largest"], rate * 0.5, stats)
                self.assertEqual((stats["starts"], stats["reports"], stats["other_threads"]), (1, 0, True), stats)

    def test_stop_completes_once_and_ends_delivery(self):
        probe = self.probe(self.server)
        probe.ask("system 16000 1")
        time.sleep(0.3)
        self.assertEqual(probe.ask("system-stop"), {"stopped": True})
        stats = self.assertQuiet(probe, "system")
        self.assertEqual((stats["starts"], stats["stops"], stats["reports"]), (1, 1, 0), stats)
        self.assertTrue(stats["other_threads"])
        # Stopping again, or a stream that is no longer there, still completes.
        self.assertEqual(probe.ask("system-stop"), {"stopped": True})

    def test_destroying_a_stream_ends_every_callback(self):
        probe = self.probe(self.server)
        probe.ask("system 16000 1")
        time.sleep(0.3)
        self.assertEqual(probe.ask("system-drop"), {"dropped": True})
        stats = self.assertQuiet(probe, "system")
        self.assertEqual((stats["stops"], stats["reports"]), (0, 0), stats)

    def test_a_stream_whose_start_never_completed_can_be_destroyed(self):
        # Once before the first connection exists, once while the server makes the stream.
        for connected in (False, True):
            with self.subTest(connected=connected):
                probe = self.probe(self.server)
                if connected:
                    probe.ask("system 16000 1")
                    probe.ask("system-stop")
                    probe.ask("reset system")
                os.kill(self.server.pid, signal.SIGSTOP)
                try:
                    self.assertEqual(probe.ask("system 16000 1 nowait"), {"asked": True})
                    time.sleep(0.2)
                    self.assertEqual(probe.ask("system-drop"), {"dropped": True})
                finally:
                    os.kill(self.server.pid, signal.SIGCONT)
                time.sleep(0.5)
                stats = probe.ask("stats system")
                self.assertEqual((stats["buffers"], stats["starts"]), (0, 1 if connected else 0), stats)
                # The connection is still good for the next stream.
                self.assertEqual(probe.ask("system 16000 1"), {"started": True})


def pcm(format_name, channels):
    """Bytes of one PulseAudio sample format for per-channel values in -1..1."""
    def pack(value):
        if format_name == "u8":
            return struct.pack("B", int(round(value * 127)) + 128)
        if format_name == "s16le":
            return struct.pack("<h", int(round(value * 32767)))
        if format_name == "s24-32le":
            return struct.pack("<i", int(round(value * 8388607)))
        if format_name == "s32le":
            return struct.pack("<i", int(round(value * 2147483647)))
        if format_name == "float32le":
            return struct.pack("<f", value)
        if format_name == "ulaw":
            return b"\xff"  # silence
        raise ValueError(format_name)
    return b"".join(pack(value) for frame in channels for value in frame)


def feed(fifo, data):
    """Writes into a pipe source's FIFO in atomic pieces of whole frames, one at a time: the
    source reads what is there, and a read that splits a frame (three-byte samples) makes
    the daemon abort."""
    piece = 4080  # whole frames of 2, 4, 6, 8 and 16 bytes, under PIPE_BUF
    with open(fifo, "wb", buffering=0) as f:
        for at in range(0, len(data), piece):
            f.write(data[at:at + piece])
            time.sleep(0.002)


class Microphone(ProbeTest):
    RATE = 22050

    @classmethod
    def setUpClass(cls):
        cls.server = SoundServer(microphone_frequency=MICROPHONE_TONE, microphone_rate=cls.RATE)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def test_reports_the_source_format_and_delivers_its_tone(self):
        probe = self.probe(self.server)
        expected = {"rate": self.RATE, "channels": 1, "type": f"1 ch, {self.RATE} Hz, Float32, interleaved"}
        self.assertEqual(probe.ask("engine-format"), expected)
        self.assertEqual(probe.ask("engine-start"), {"started": True, "format": expected})
        self.settle(probe, "engine")
        stats = self.measure(probe, "engine", self.RATE)
        self.assertEqual(stats["format"]["type"], expected["type"])
        self.assertTone(stats, 0, MICROPHONE_TONE)
        # Buffers of at most the tap's 1024 frames, even from a source that sends seconds at once.
        self.assertLessEqual(stats["largest"], 1024, stats)
        self.assertTrue(stats["other_threads"])
        self.assertEqual(probe.ask("engine-stop"), {"stopped": True})
        self.assertEqual(self.assertQuiet(probe, "engine")["reports"], 0)

    def test_keeps_the_sample_format_of_the_device(self):
        # A pipe source reads whatever a test writes into its FIFO, in the format it is
        # given, so every frame written must arrive, with its values.
        expected_types = {"u8": "UInt8", "s16le": "Int16", "s24-32le": "Int24in32", "s32le": "Int32",
                          "float32le": "Float32", "ulaw": "Int16"}
        rate, frames = 32000, 32000
        values = [(0.5 * math.sin(2 * math.pi * 440 * i / rate), 0.25 * math.sin(2 * math.pi * 3000 * i / rate))
                  for i in range(frames)]
        for format_name, type_name in expected_types.items():
            with self.subTest(format=format_name):
                fifo = os.path.join(self.server.root, f"pipe-{format_name}")
                probe = self.use_source("module-pipe-source", file=fifo, format=format_name, rate=rate, channels=2)
                description = f"2 ch, {rate} Hz, {type_name}, interleaved"
                self.assertEqual(probe.ask("engine-format"), {"rate": rate, "channels": 2, "type": description})
                self.assertEqual(probe.ask("engine-start")["started"], True)
                feed(fifo, pcm(format_name, values))
                stats = probe.stats_when("engine", lambda s: s["frames"] >= frames)
                self.assertEqual(stats["frames"], frames, stats)
                self.assertEqual(stats["format"]["type"], description)
                if format_name != "ulaw":
                    self.assertTone(stats, 0, 440)
                    self.assertTone(stats, 1, 3000)
                    self.assertAlmostEqual(stats["levels"][0], 0.5 / math.sqrt(2), delta=0.01)
                probe.ask("engine-stop")

    def test_keeps_three_byte_samples(self):
        # A pipe source aborts the daemon on a read that splits a three-byte frame, so a
        # null source, a real-time source of silence, stands in.
        probe = self.use_source("module-null-source", format="s24le", rate=48000, channels=2)
        description = "2 ch, 48000 Hz, Int24, interleaved"
        self.assertEqual(probe.ask("engine-format"), {"rate": 48000, "channels": 2, "type": description})
        self.assertEqual(probe.ask("engine-start")["started"], True)
        stats = probe.stats_when("engine", lambda s: s["buffers"] > 0)
        self.assertEqual(stats["format"]["type"], description)
        probe.ask("engine-stop")

    def test_a_microphone_that_goes_away_stops_the_engine_once(self):
        # It is not moved to the fallback source: here the sine source, on a machine without
        # another input device the sink's monitor.
        probe = self.use_source("module-null-source", format="s16le", rate=48000, channels=2)
        self.assertEqual(probe.ask("engine-start")["started"], True)
        probe.stats_when("engine", lambda s: s["buffers"] > 0)
        self.server.unload_module(self.modules.pop())
        stats = probe.stats_when("engine", lambda s: s["reports"] > 0)
        self.assertEqual(stats["reports"], 1, stats)
        self.assertEqual(self.assertQuiet(probe, "engine")["reports"], 1)

    def use_source(self, module, **arguments):
        """Loads a source as the default one, until the end of the test; a probe to use it."""
        name = f"source_{len(self._cleanups)}"
        index = self.server.load_module(module, source_name=name, **arguments)
        self.modules = getattr(self, "modules", []) + [index]
        self.addCleanup(lambda: self.modules and self.server.unload_module(self.modules.pop()))
        self.server.set_default_source(name)
        self.addCleanup(self.server.set_default_source, SoundServer.MICROPHONE)
        return self.probe(self.server)


class NoMicrophone(ProbeTest):
    def test_a_monitor_as_default_source_is_no_microphone(self):
        server = SoundServer(microphone_frequency=None)
        self.addCleanup(server.stop)
        self.assertIn("speakers.monitor", server.pactl("info"))
        probe = self.probe(server)
        self.assertEqual(probe.ask("engine-format"), {"rate": 0, "channels": 0, "type": "0 ch, 0 Hz, Float32, interleaved"})


class FrozenServer(ProbeTest):
    """A server that accepts and then answers nothing (stopped with SIGSTOP) holds no call
    for ever: each gives up after its own bounded wait."""

    def setUp(self):
        self.server = SoundServer(microphone_frequency=MICROPHONE_TONE)
        self.addCleanup(self.server.stop)

    def freeze(self):
        os.kill(self.server.pid, signal.SIGSTOP)
        self.addCleanup(os.kill, self.server.pid, signal.SIGCONT)

    def test_a_connection_that_is_never_answered_gives_up_and_a_later_call_connects(self):
        probe = self.probe(self.server)
        self.freeze()
        self.assertEqual(probe.ask("engine-format")["rate"], 0)
        os.kill(self.server.pid, signal.SIGCONT)
        self.assertEqual(probe.ask("engine-format")["rate"], 44100)

    def test_questions_and_starts_give_up_on_a_connected_server(self):
        probe = self.probe(self.server)
        self.assertEqual(probe.ask("engine-format")["rate"], 44100)
        self.freeze()
        self.assertIn("error", probe.ask("engine-start 1024 again"))
        self.assertEqual(probe.ask("engine-format")["rate"], 0)
        os.kill(self.server.pid, signal.SIGCONT)
        self.assertEqual(probe.ask("engine-start")["started"], True)


class ServerLoss(ProbeTest):
    def setUp(self):
        self.server = SoundServer(microphone_frequency=MICROPHONE_TONE)
        self.addCleanup(self.server.stop)
        self.server.play_tone(SYSTEM_TONE)

    def test_a_lost_server_stops_each_source_once_and_a_restarted_one_serves_again(self):
        probe = self.probe(self.server)
        self.assertEqual(probe.ask("system 16000 1"), {"started": True})
        self.assertTrue(probe.ask("engine-start")["started"])
        time.sleep(0.5)
        self.server.kill()
        for which in ("system", "engine"):
            stats = probe.stats_when(which, lambda s: s["reports"] > 0)
            self.assertEqual(stats["reports"], 1, stats)
            self.assertEqual(stats["report"], "Connection terminated")
            self.assertTrue(stats["other_threads"])
        for which in ("system", "engine"):
            self.assertEqual(self.assertQuiet(probe, which)["reports"], 1)

        self.server.start()
        self.server.play_tone(SYSTEM_TONE)
        probe.ask("system-drop")
        self.assertEqual(probe.ask("system 16000 1"), {"started": True})
        self.assertTrue(probe.ask("engine-start")["started"])
        self.settle(probe, "system")
        self.settle(probe, "engine")
        self.assertTone(self.measure(probe, "system", 16000), 0, SYSTEM_TONE)
        self.assertTone(self.measure(probe, "engine", 44100), 0, MICROPHONE_TONE)

    def test_a_start_without_a_server_fails_and_a_later_one_connects(self):
        probe = self.probe(self.server)
        self.server.kill()
        answer = probe.ask("system 16000 1")
        self.assertIn("error", answer)
        self.assertEqual(probe.ask("engine-format")["rate"], 0)
        self.server.start()
        self.assertEqual(probe.ask("system 16000 1"), {"started": True})
        self.assertEqual(probe.ask("engine-format")["rate"], 44100)


if __name__ == "__main__":
    unittest.main()

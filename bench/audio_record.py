"""CPU and memory of a recording: the program records system audio (a tone played into the
speakers of a private sound server) and the microphone (a sine source) into 10-second AAC
parts, and in the same run ffmpeg does the same work from the command line (two pulse
inputs mixed with amix, 16000 Hz mono AAC at 24 kbit/s, 10-second segments). Prints
CPU-seconds per audio minute for both and their ratio, the program's resident memory over
the recording, and its CPU while idle afterwards.

Run: python3 bench/audio_record.py [--seconds 60] (VELMAR_BINARY, VELMAR_BUILD_DIR as for the
end-to-end tests); use a Release build for the figures. --seconds 600 checks that memory
stays flat over ten minutes."""

import argparse
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from harness import Program, SoundServer, VirtualDesktop  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")
PAGE = os.sysconf("SC_PAGE_SIZE")


def cpu_seconds(pid):
    """User and system time of a running process."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def resident_mb(pid):
    with open(f"/proc/{pid}/statm") as f:
        return int(f.read().split()[1]) * PAGE / 1e6


def record_with_program(desktop, sound, seconds, folder):
    program = Program(env={**desktop.env(), **sound.env()})
    try:
        pid = program.process.pid
        time.sleep(1)
        before = cpu_seconds(pid)
        status, answer, _ = program.request("POST", "/audio/start", {"directory": folder, "part_seconds": 10})
        if status != 200 or answer["system_audio"] != "on" or answer["microphone"] != "on":
            raise RuntimeError(f"the recording did not start with both sources: {answer}")
        memory = []
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            time.sleep(min(1.0, max(0.0, end - time.monotonic())))
            memory.append(resident_mb(pid))
        status, answer, _ = program.request("POST", "/audio/stop")
        used = cpu_seconds(pid) - before
        parts = answer["parts"]
        audio = sum(int(p["file"].rsplit("-", 1)[1][:-4]) - int(p["file"].rsplit("-", 2)[1]) for p in parts) / 1000
        idle_start = cpu_seconds(pid)
        time.sleep(10)
        idle = cpu_seconds(pid) - idle_start
        return used, audio, memory, idle, len(parts)
    finally:
        program.stop()


def record_with_ffmpeg(sound, seconds, folder):
    command = ["ffmpeg", "-v", "error", "-nostdin", "-f", "pulse", "-i", f"{sound.SINK}.monitor",
               "-f", "pulse", "-i", sound.MICROPHONE,
               "-filter_complex", "amix=inputs=2:duration=longest", "-ac", "1", "-ar", "16000",
               "-c:a", "aac", "-b:a", "24k", "-f", "segment", "-segment_time", "10",
               os.path.join(folder, "part-%03d.m4a")]
    process = subprocess.Popen(command, env={**os.environ, **sound.env()})
    time.sleep(seconds)
    used = cpu_seconds(process.pid)
    process.terminate()
    process.wait(10)
    return used, seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=60)
    arguments = parser.parse_args()
    with VirtualDesktop(1280, 720) as desktop, SoundServer() as sound, \
            tempfile.TemporaryDirectory() as ours, tempfile.TemporaryDirectory() as theirs:
        tone = sound.play_tone(660)
        used, audio, memory, idle, parts = record_with_program(desktop, sound, arguments.seconds, ours)
        ffmpeg_used, ffmpeg_audio = record_with_ffmpeg(sound, arguments.seconds, theirs)
        sound.stop_tone(tone)
    ours_per_minute = used / audio * 60
    theirs_per_minute = ffmpeg_used / ffmpeg_audio * 60
    print(f"recorded {audio:.1f} s of audio in {parts} parts")
    print(f"program: {ours_per_minute:.3f} CPU-s per audio minute")
    print(f"ffmpeg (two pulse inputs, amix, segments): {theirs_per_minute:.3f} CPU-s per audio minute")
    print(f"ratio: {ours_per_minute / theirs_per_minute:.2f}x ffmpeg (target: at most 0.6x)")
    quarter = max(1, len(memory) // 4)
    print(f"resident memory: {memory[0]:.1f} MB after 1 s, {max(memory[:quarter]):.1f} MB peak in the first quarter, "
          f"{max(memory):.1f} MB peak, {memory[-1]:.1f} MB at the end")
    print(f"idle after the recording: {idle:.3f} CPU-s over 10 s")


if __name__ == "__main__":
    main()

"""The process as its parent starts it: command line, token, ready line, exits."""

import json
import os
import subprocess
import tempfile
import time
import unittest

from harness import BINARY, Program, _environment

TOKEN_MESSAGE = "Velmar Computer Use: --token-file <path> with a non-empty token is required\n"


def run(args, timeout=10):
    done = subprocess.run([BINARY] + args, capture_output=True, timeout=timeout, env=_environment())
    return done.returncode, done.stdout.decode(), done.stderr.decode()


class CommandLine(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def file(self, name, data):
        path = os.path.join(self.dir.name, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_version_wins_wherever_it_stands(self):
        for args in (["--version"], ["--token-file", "/missing", "--version"], ["--token-file", "--version"],
                     ["--parent-pid", "1", "x", "--version", "y"]):
            code, out, err = run(args)
            self.assertEqual((code, out, err), (0, "0.1.0\n", ""), args)

    def test_unusable_tokens_exit_2_with_the_literal_message(self):
        cases = {
            "no option": [],
            "option last": ["--token-file"],
            "missing file": ["--token-file", os.path.join(self.dir.name, "absent")],
            "directory": ["--token-file", self.dir.name],
            "only white space": ["--token-file", self.file("blank", b" \t\r\n \n")],
            "not UTF-8": ["--token-file", self.file("latin1", b"caf\xe9")],
            "endless": ["--token-file", "/dev/zero"],
            "first occurrence only": ["--token-file", self.file("empty", b""), "--token-file",
                                      self.file("good", b"tok")],
        }
        for name, args in cases.items():
            code, out, err = run(args)
            self.assertEqual((code, out, err), (2, "", TOKEN_MESSAGE), name)

    def test_token_is_trimmed_and_inner_spaces_kept(self):
        path = self.file("token", b"  \tinner space token \r\n\n")
        with Program(args=["--token-file", path]) as program:
            program.token = "inner space token"
            self.assertEqual(program.request("GET", "/nothing")[0], 404)
            self.assertEqual(program.request("GET", "/nothing", token="inner  space token")[0], 401)
            self.assertEqual(program.request("GET", "/nothing", token="innerspacetoken")[0], 401)


class ReadyLine(unittest.TestCase):
    def test_ready_line_and_port_file_match(self):
        with tempfile.TemporaryDirectory() as d, Program() as other:
            port_file = os.path.join(d, "port")
            with open(port_file, "w") as f:
                f.write("stale content, longer than the new line, to be replaced whole\n")
            with Program(args=["--token-file", other.token_file, "--port-file", port_file]) as program:
                line = program.ready
                ready = json.loads(line)
                self.assertEqual(line, '{"port":%d,"pid":%d,"version":"0.1.0"}\n' % (ready["port"], program.process.pid))
                self.assertNotEqual(ready["port"], 0)
                with open(port_file) as f:
                    self.assertEqual(f.read(), line)
                self.assertEqual(os.listdir(d), ["port"])  # no temporary file left behind
                self.assertNotEqual(ready["port"], other.port)  # two processes, two ports

    def test_unwritable_port_file_is_reported_and_the_process_goes_on(self):
        missing = "/nonexistent-dir/port"
        with Program(args=None) as probe:
            with Program(args=["--token-file", probe.token_file, "--port-file", missing]) as program:
                self.assertEqual(program.request("GET", "/x")[0], 404)
                program.process.terminate()
                program.process.wait(5)
                err = program.process.stderr.read().decode()
                self.assertTrue(err.startswith("Velmar Computer Use: could not write /nonexistent-dir/port: "), err)
                self.assertEqual(err.count("\n"), 1)


class ParentWatch(unittest.TestCase):
    def test_exits_0_within_two_seconds_after_the_parent_ends(self):
        parent = subprocess.Popen(["sleep", "3"])
        started = time.monotonic()
        with Program(args=None) as probe:
            program = Program(args=["--token-file", probe.token_file, "--parent-pid", str(parent.pid)])
            parent.wait()
            code, err = program.wait(8)
            ended = time.monotonic() - started
            self.assertEqual((code, err), (0, ""))
            self.assertGreater(ended, 3.0)
            self.assertLess(ended, 3.0 + 2.0 + 1.5)

    def test_a_parent_already_gone_ends_it_at_the_first_tick(self):
        gone = subprocess.Popen(["true"])
        gone.wait()
        with Program(args=None) as probe:
            started = time.monotonic()
            program = Program(args=["--token-file", probe.token_file, "--parent-pid", "+" + str(gone.pid)])
            code, _ = program.wait(8)
            self.assertEqual(code, 0)
            self.assertGreaterEqual(time.monotonic() - started, 1.9)

    def test_unusable_or_unsignallable_pids_arm_no_watch(self):
        gone = subprocess.Popen(["true"])
        gone.wait()
        with Program(args=None) as probe:
            values = ["1", "0", "-5", "42abc", "", " 42", "99999999999", str(gone.pid) + " "]
            programs = [Program(args=["--token-file", probe.token_file, "--parent-pid", v]) for v in values]
            programs.append(Program(args=["--token-file", probe.token_file, "--parent-pid"]))
            time.sleep(4.5)
            for program in programs:
                self.assertIsNone(program.process.poll(), program.process.args)
                program.stop()

    def test_a_parent_of_another_user_counts_as_alive(self):
        # As an unprivileged user, signalling a root process fails with EPERM.
        if os.geteuid() != 0:
            self.skipTest("needs root to run the program as another user")
        root_process = subprocess.Popen(["sleep", "30"])
        self.addCleanup(root_process.kill)
        with tempfile.TemporaryDirectory() as d:
            os.chmod(d, 0o755)
            token_file = os.path.join(d, "token")
            with open(token_file, "w") as f:
                f.write("t")
            os.chmod(token_file, 0o644)
            program = subprocess.Popen(["runuser", "-u", "nobody", "--", BINARY, "--token-file", token_file,
                                        "--parent-pid", str(root_process.pid)],
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=_environment())
            try:
                self.assertTrue(program.stdout.readline().startswith(b'{"port":'))
                time.sleep(4.5)
                self.assertIsNone(program.poll())
            finally:
                program.kill()
                program.wait()


# Run inside a network namespace of its own: every port the system could pick for the
# listener is taken, so binding fails. The sockets stay open across the exec.
PORTS_TAKEN = """
import os, socket, subprocess, sys
subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
with open("/proc/sys/net/ipv4/ip_local_port_range", "w") as f:
    f.write("40000 40001")
taken = []
for port in (40000, 40001):
    s = socket.socket()
    s.bind(("127.0.0.1", port))
    s.listen()
    os.set_inheritable(s.fileno(), True)
    taken.append(s)
os.execv(sys.argv[1], sys.argv[1:])
"""


class ListenerFailure(unittest.TestCase):
    def test_a_bind_that_fails_is_the_listeners_failure(self):
        token = tempfile.NamedTemporaryFile("w", suffix=".token")
        self.addCleanup(token.close)
        token.write("secret\n")
        token.flush()
        done = subprocess.run(["unshare", "-n", "python3", "-c", PORTS_TAKEN, BINARY, "--token-file", token.name],
                              capture_output=True, timeout=20, env=_environment())
        self.assertEqual((done.returncode, done.stdout), (1, b""), done.stderr)
        self.assertEqual(done.stderr.decode(), "Velmar Computer Use: the listener failed: Address already in use\n")


class Quit(unittest.TestCase):
    def test_quit_answers_then_exits_0(self):
        with Program() as program:
            self.assertEqual(program.request("GET", "/quit")[0], 404)
            self.assertEqual(program.request("POST", "/quit", token="wrong")[0], 401)
            self.assertIsNone(program.process.poll())
            started = time.monotonic()
            status, body, _ = program.request("POST", "/quit", body={"ignored": True})
            self.assertEqual((status, body), (200, {"ok": True}))
            code, err = program.wait(5)
            self.assertEqual((code, err), (0, ""))
            self.assertGreaterEqual(time.monotonic() - started, 0.15)


if __name__ == "__main__":
    unittest.main()

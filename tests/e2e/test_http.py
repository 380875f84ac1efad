"""The transport over real sockets: framing limits, chunking, the answer's head."""

import errno
import fcntl
import json
import socket
import struct
import subprocess
import time
import unittest
from unittest import mock

from harness import BINARY, DesktopCase, Program, VirtualDesktop, _environment, parse_response, read_all, send_raw

HEAD_LIMIT = 65536
BODY_LIMIT = 8 * 1024 * 1024


class Transport(DesktopCase):
    @classmethod
    def make_desktop(cls):
        return None

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.auth = f"Authorization: Bearer {cls.program.token}\r\n".encode()

    def send(self, data, **kw):
        return send_raw(self.program.port, data, timeout=30, **kw)

    def test_the_answer_head_byte_for_byte(self):
        raw = self.send(b"GET /nowhere?x=1 HTTP/1.1\r\nConnection: keep-alive\r\n" + self.auth + b"\r\n")
        body = b'{"error":"not_found","message":"no route GET \\/nowhere"}'
        self.assertEqual(raw, b"HTTP/1.1 404 Not Found\r\n"
                              b"Content-Type: application/json; charset=utf-8\r\n"
                              b"Content-Length: %d\r\n"
                              b"Cache-Control: no-store\r\n"
                              b"Connection: close\r\n\r\n" % len(body) + body)

    def test_without_token_401_whatever_the_route(self):
        for path in ("/status", "/quit", "/nope"):
            status, body = parse_response(self.send(f"POST {path} HTTP/1.1\r\n\r\n".encode()))
            self.assertEqual((status, body), (401, {"error": "unauthorized", "message": "a bearer token is required"}))

    def test_bytes_one_at_a_time_and_half_close(self):
        request = b"POST /x HTTP/1.1\r\n" + self.auth + b"Content-Length: 2\r\n\r\n{}"
        pieces = [request[i:i + 1] for i in range(len(request))]
        with socket.create_connection(("127.0.0.1", self.program.port)) as s:
            for piece in pieces[:-1]:
                s.sendall(piece)
                time.sleep(0.0005)
            s.settimeout(0.3)
            with self.assertRaises(socket.timeout):  # nothing before the last body byte
                s.recv(1)
            s.settimeout(10)
            s.sendall(pieces[-1])
            self.assertEqual(parse_response(read_all(s))[0], 404)
        # A whole request and then the end of the stream at once is still answered.
        self.assertEqual(parse_response(self.send(request, half_close=True))[0], 404)

    def test_incomplete_body_then_end_of_stream_gets_no_answer(self):
        raw = self.send(b"POST /x HTTP/1.1\r\n" + self.auth + b"Content-Length: 10\r\n\r\nabcd", half_close=True)
        self.assertEqual(raw, b"")

    def test_head_limit(self):
        exactly = b"G" * HEAD_LIMIT
        with socket.create_connection(("127.0.0.1", self.program.port)) as s:
            s.sendall(exactly)
            s.settimeout(0.5)
            with self.assertRaises(socket.timeout):  # still waiting for the blank line
                s.recv(1)
            s.settimeout(10)
            s.sendall(b"G")
            status, body = parse_response(read_all(s))
        self.assertEqual((status, body), (431, {"error": "bad_request", "message": "the request headers are too large"}))

    def test_body_limit_is_judged_from_the_head_alone(self):
        with socket.create_connection(("127.0.0.1", self.program.port)) as s:
            s.sendall(b"POST /x HTTP/1.1\r\n" + self.auth + b"Content-Length: %d\r\n\r\n" % (BODY_LIMIT + 1))
            s.settimeout(10)
            status, body = parse_response(read_all(s))
        self.assertEqual((status, body), (413, {"error": "too_large", "message": "the request body is over 8 MB"}))
        big = b"{" + b" " * (BODY_LIMIT - 2) + b"}"
        raw = self.send(b"POST /x HTTP/1.1\r\n" + self.auth + b"Content-Length: %d\r\n\r\n" % len(big) + big)
        self.assertEqual(parse_response(raw)[0], 404)  # accepted, parsed, then routed

    def test_answer_survives_unread_input(self):
        # The client keeps sending after its answer was decided; the answer must still arrive.
        with socket.create_connection(("127.0.0.1", self.program.port)) as s:
            s.sendall(b"POST /x HTTP/1.1\r\n" + self.auth + b"Content-Length: 9000000\r\n\r\n" + b"x" * 500000)
            status, _ = parse_response(read_all(s))
        self.assertEqual(status, 413)

    def test_negative_length_is_refused(self):
        status, body = parse_response(self.send(b"POST /x HTTP/1.1\r\n" + self.auth + b"Content-Length: -5\r\n\r\nabc"))
        self.assertEqual((status, body["error"]), (400, "bad_request"))

    def test_framing_errors(self):
        cases = [
            (b"\r\n\r\n", 400, "no request line"),
            (b"GET\r\n\r\n", 400, "no request line"),
            (b"GET /\xff HTTP/1.1\r\n\r\n", 400, "the request head is not UTF-8"),
        ]
        for data, status, message in cases:
            self.assertEqual(parse_response(self.send(data)), (status, {"error": "bad_request", "message": message}))

    def test_connections_wait_their_turn(self):
        idle = socket.create_connection(("127.0.0.1", self.program.port))
        idle.sendall(b"GET /x HTTP/1.1\r\n")  # an unfinished head holds nothing up
        try:
            status, _, _ = self.program.request("GET", "/x")
            self.assertEqual(status, 404)
        finally:
            idle.close()

    def test_only_ipv4_loopback_listens(self):
        with self.assertRaises(OSError) as caught:
            socket.create_connection(("::1", self.program.port), timeout=2).close()
        self.assertIn(caught.exception.errno, (errno.ECONNREFUSED, errno.EADDRNOTAVAIL, errno.ENETUNREACH,
                                                errno.EAFNOSUPPORT))
        # The machine's own addresses come from its interfaces: its host name need not
        # resolve (a fresh machine's often does not), and the check must not depend on it.
        with mock.patch("socket.getaddrinfo", side_effect=socket.gaierror(socket.EAI_NONAME, "no name lookups")):
            addresses = local_ipv4_addresses()
        self.assertIn("127.0.0.1", addresses)
        # Another loopback address is not the one listened on either.
        for address in (addresses | {"127.0.0.2"}) - {"127.0.0.1"}:
            with self.assertRaises(OSError, msg=address):
                socket.create_connection((address, self.program.port), timeout=2).close()


def local_ipv4_addresses():
    """The IPv4 address of each network interface of this machine, asked of the kernel."""
    siocgifaddr = 0x8915
    addresses = set()
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        for _, name in socket.if_nameindex():
            try:
                reply = fcntl.ioctl(probe.fileno(), siocgifaddr, struct.pack("256s", name.encode()[:15]))
            except OSError:
                continue  # an interface without an IPv4 address
            addresses.add(socket.inet_ntoa(reply[20:24]))
    return addresses


class BodyRule(unittest.TestCase):
    def test_bodies_the_body_rule_refuses_leave_the_process_serving(self):
        # On a display, so that an action body would reach the input code.
        with VirtualDesktop(640, 480) as desktop, Program(env=desktop.env()) as program:
            bad = {"error": "bad_request", "message": "the body must be a JSON object"}
            deep = b'{"action":"key","keys":' + b"[" * 100_000 + b"]" * 100_000 + b"}"
            for body in (deep, b'{"a":1}\x00{"b":', b"{}\x00", b'{"action":"wait","seconds":0.2}\x00'):
                status, answer, _ = program.request("POST", "/execute", body=body)
                self.assertEqual((status, answer), (400, bad), body[:40])
                status, _, _ = program.request("GET", "/status")
                self.assertEqual(status, 200)
            # Nesting a request may have is read, and a nested key name is named, not walked.
            status, answer, _ = program.request("POST", "/execute", body={"action": "key", "keys": [[[["a"]]]]})
            self.assertEqual((status, answer), (400, {"error": "bad_action", "message": "unknown key '[...]'"}))


class OutOfDescriptors(unittest.TestCase):
    def test_running_out_of_descriptors_does_not_end_the_listener(self):
        # With a low descriptor limit, more clients than it allows make accept() fail with
        # EMFILE; once they leave, the program must still be listening.
        with Program() as probe:
            argv = ["prlimit", "--nofile=24:24", BINARY, "--token-file", probe.token_file]
            process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=_environment())
            try:
                port = json.loads(process.stdout.readline())["port"]
                held = []
                for _ in range(40):
                    try:
                        held.append(socket.create_connection(("127.0.0.1", port), timeout=2))
                    except OSError:
                        break
                time.sleep(0.5)
                for connection in held:
                    connection.close()
                time.sleep(0.3)
                raw = send_raw(port, f"GET /x HTTP/1.1\r\nAuthorization: Bearer {probe.token}\r\n\r\n".encode(), timeout=10)
                self.assertEqual(parse_response(raw)[0], 404)
                self.assertIsNone(process.poll())
            finally:
                process.kill()
                process.wait()
                process.stdout.close()
                process.stderr.close()


if __name__ == "__main__":
    unittest.main()

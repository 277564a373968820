"""HTTP/1.1 at the edges of wagent, as Python's http.client and curl see it.

Run by http_standards_test against a wagent it started; the address and a
session key arrive in WAGENT_HOST, WAGENT_PORT and SESSION_KEY.
"""
import email.utils
import http.client
import os
import socket
import subprocess
import sys
import time
import unittest

HOST = os.environ["WAGENT_HOST"]
PORT = int(os.environ["WAGENT_PORT"])
KEY = {"X-Session-Key": os.environ["SESSION_KEY"]}
INFO = b'{"jsonrpc":"2.0","id":7,"method":"host.info"}'
BASE = "http://%s:%d" % (HOST, PORT)


class Case(unittest.TestCase):
    def connect(self):
        c = http.client.HTTPConnection(HOST, PORT, timeout=20)
        self.addCleanup(c.close)
        return c


def exchange(raw, timeout=20):
    """Sends raw bytes and returns all the host answers before it closes."""
    with socket.create_connection((HOST, PORT), timeout=timeout) as s:
        s.sendall(raw)
        got = b""
        while True:
            piece = s.recv(65536)
            if not piece:
                return got
            got += piece


def curl(*args):
    done = subprocess.run(["curl", "-sS", "--max-time", "30"] + list(args),
                          capture_output=True, timeout=60)
    return done.returncode, done.stdout, done.stderr


class Head(Case):
    def test_head_is_get_without_the_body_on_one_connection(self):
        c = self.connect()
        c.request("GET", "/api/host/challenge")
        get = c.getresponse()
        length = len(get.read())
        c.request("HEAD", "/api/host/challenge")
        head = c.getresponse()
        self.assertEqual(200, head.status)
        self.assertEqual(b"", head.read())
        self.assertEqual(str(length), head.getheader("Content-Length"))
        # The next answer on the same connection parses: no stray body.
        c.request("POST", "/jsonrpc", body=INFO, headers=KEY)
        after = c.getresponse()
        self.assertEqual(200, after.status)
        self.assertIn(b'"id":7', after.read())

    def test_head_wherever_get_is_served(self):
        code, out, err = curl("-I", "-H", "X-Session-Key: " + KEY["X-Session-Key"],
                              BASE + "/api/host/date")
        self.assertEqual(0, code, err)
        self.assertTrue(out.startswith(b"HTTP/1.1 200"), out)
        c = self.connect()
        c.request("HEAD", "/debug/headers", headers=KEY)
        plain = c.getresponse()
        self.assertEqual(200, plain.status)
        self.assertEqual(b"", plain.read())
        c.request("HEAD", "/jsonrpc")
        refused = c.getresponse()
        self.assertEqual(405, refused.status)
        self.assertEqual("POST", refused.getheader("Allow"))
        self.assertEqual(b"", refused.read())


class Expect(Case):
    def test_curl_gets_its_continue_at_once(self):
        # curl asks for 100 (Continue) on a body over 1 MiB and would wait
        # the whole timeout for it.
        body = b" " * (2 << 20) + INFO
        start = time.monotonic()
        done = subprocess.run(
            ["curl", "-sS", "-v", "--max-time", "30", "--expect100-timeout", "20",
             "-H", "X-Session-Key: " + KEY["X-Session-Key"], "--data-binary", "@-",
             BASE + "/jsonrpc"], input=body, capture_output=True, timeout=60)
        self.assertLess(time.monotonic() - start, 15)
        self.assertEqual(0, done.returncode, done.stderr)
        self.assertIn(b"< HTTP/1.1 100 Continue", done.stderr)
        self.assertIn(b'"id":7', done.stdout)

    def test_a_client_that_waits_for_the_continue(self):
        with socket.create_connection((HOST, PORT), timeout=20) as s:
            s.sendall(b"POST /jsonrpc HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\n"
                      b"Content-Length: %d\r\n\r\n" % len(INFO))
            self.assertEqual(b"HTTP/1.1 100 Continue\r\n\r\n", s.recv(25))
            s.sendall(INFO)
            answer = s.recv(65536)
        self.assertTrue(answer.startswith(b"HTTP/1.1 200"), answer)

    def test_refusals_come_before_the_body(self):
        too_big = exchange(b"POST /jsonrpc HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\n"
                           b"Content-Length: 999999999999\r\n\r\n")
        self.assertTrue(too_big.startswith(b"HTTP/1.1 413"), too_big)
        odd = exchange(b"POST /jsonrpc HTTP/1.1\r\nHost: x\r\nExpect: magic\r\n"
                       b"Content-Length: 2\r\n\r\n")
        self.assertTrue(odd.startswith(b"HTTP/1.1 417"), odd)


class Host(Case):
    def test_http11_needs_exactly_one_host(self):
        for hosts in ([], ["a", "b"]):
            c = self.connect()
            c.putrequest("POST", "/jsonrpc", skip_host=True)
            for h in hosts:
                c.putheader("Host", h)
            c.putheader("Content-Length", str(len(INFO)))
            c.endheaders(INFO)
            r = c.getresponse()
            self.assertEqual(400, r.status, hosts)
            self.assertEqual("close", r.getheader("Connection"))

    def test_http10_may_leave_it_out(self):
        answer = exchange(b"POST /jsonrpc HTTP/1.0\r\nContent-Length: %d\r\n\r\n%s"
                          % (len(INFO), INFO))
        self.assertTrue(answer.startswith(b"HTTP/1.0 200"), answer)


class AbsoluteForm(Case):
    def test_a_proxy_target_reaches_the_same_routes(self):
        c = self.connect()
        c.request("POST", BASE + "/jsonrpc", body=INFO)
        r = c.getresponse()
        self.assertEqual(200, r.status)
        self.assertIn(b'"id":7', r.read())
        c.request("GET", BASE.upper().replace("HTTP", "http") + "/api/host/date", headers=KEY)
        r = c.getresponse()
        self.assertEqual(200, r.status)
        self.assertIn(b"date", r.read())
        code, out, err = curl("--request-target", BASE + "/debug/headers?a=1",
                              "-H", "X-Session-Key: " + KEY["X-Session-Key"],
                              BASE + "/debug/headers?a=1")
        self.assertEqual(0, code, err)
        self.assertNotIn(b"Not found", out)


class Fields(Case):
    def test_405_lists_what_is_allowed(self):
        c = self.connect()
        c.request("DELETE", "/api/host/date", headers=KEY)
        r = c.getresponse()
        r.read()
        self.assertEqual(405, r.status)
        self.assertEqual("GET, HEAD, POST", r.getheader("Allow"))
        c.request("PUT", "/api/host/challenge")
        r = c.getresponse()
        r.read()
        self.assertEqual("GET, HEAD", r.getheader("Allow"))
        c.request("PUT", "/debug/headers", body=b"{}")
        r = c.getresponse()
        r.read()
        self.assertEqual(405, r.status)
        self.assertEqual("GET, HEAD", r.getheader("Allow"))

    def test_401_names_the_session_header(self):
        c = self.connect()
        c.request("GET", "/api/host/date")
        r = c.getresponse()
        r.read()
        self.assertEqual(401, r.status)
        self.assertEqual('Session header="X-Session-Key"', r.getheader("WWW-Authenticate"))

    def test_every_answer_is_dated(self):
        c = self.connect()
        for method, target, body in (("GET", "/api/host/challenge", None),
                                     ("POST", "/jsonrpc", INFO),
                                     ("GET", "/debug/headers", None),
                                     ("GET", "/nowhere", None)):
            c.request(method, target, body=body, headers=KEY)
            r = c.getresponse()
            r.read()
            date = email.utils.parsedate_to_datetime(r.getheader("Date"))
            self.assertLess(abs(date.timestamp() - time.time()), 120, target)
        # A streamed answer too.
        code, out, err = curl("-si", "-H", "X-Session-Key: " + KEY["X-Session-Key"],
                              "-d", '{"jsonrpc":"2.0","id":1,"method":"fs.list","params":'
                              '{"path":"/usr/lib"}}', BASE + "/jsonrpc")
        self.assertEqual(0, code, err)
        head = out.split(b"\r\n\r\n")[0]
        self.assertIn(b"Date: ", head)

    def test_a_long_target_is_414_and_long_fields_431(self):
        long_target = exchange(b"GET /" + b"a" * 100000 + b" HTTP/1.1\r\nHost: x\r\n\r\n")
        self.assertTrue(long_target.startswith(b"HTTP/1.1 414"), long_target[:80])
        long_field = exchange(b"GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + b"a" * 100000 +
                              b"\r\n\r\n")
        self.assertTrue(long_field.startswith(b"HTTP/1.1 431"), long_field[:80])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[1:], verbosity=2)

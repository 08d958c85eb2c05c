"""Real SMTP dialogues through vantelo-relay to an aiosmtpd server: swaks sends a
message with a 5 MiB attachment, which must arrive byte for byte, and a client
sends a whole dialogue at once and ends its sending, which must still get every
reply. Also the command line's messages.

Usage: /usr/bin/python3 smtp_relay_test.py PATH/TO/vantelo-relay
"""
import base64
import os
import signal
import socket
import subprocess
import sys
import tempfile
import unittest

from aiosmtpd.controller import Controller

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from loopback import free_port  # noqa: E402

RELAY = None


class Collector:
    def __init__(self):
        self.messages = []

    async def handle_DATA(self, server, session, envelope):
        self.messages.append(envelope)
        return "250 OK"


def start_relay(upstream_port, stderr=None):
    proc = subprocess.Popen([RELAY, "0", "127.0.0.1", str(upstream_port)],
                            stdout=subprocess.PIPE, stderr=stderr, text=True)
    line = proc.stdout.readline().strip()
    if not line.startswith("listening on port "):
        proc.kill()
        raise AssertionError("relay did not start: %r" % line)
    return proc, int(line.rsplit(" ", 1)[1])


def make_message(path, attachment):
    body = base64.encodebytes(attachment).decode().replace("\n", "\r\n")
    text = ("From: sender@example.test\r\nTo: rcpt@example.test\r\n"
            "Subject: relay test\r\nMIME-Version: 1.0\r\n"
            "Content-Type: multipart/mixed; boundary=XYZ\r\n\r\n"
            "--XYZ\r\nContent-Type: text/plain\r\n\r\nHello through the relay.\r\n"
            "--XYZ\r\nContent-Type: application/octet-stream\r\n"
            "Content-Transfer-Encoding: base64\r\n\r\n" + body + "--XYZ--\r\n")
    with open(path, "wb") as f:
        f.write(text.encode())
    return text.encode()


class SmtpThroughRelay(unittest.TestCase):
    def test_message_with_large_attachment_arrives_byte_exact(self):
        collector = Collector()
        port = free_port()
        controller = Controller(collector, hostname="127.0.0.1", port=port,
                                data_size_limit=64 << 20)
        controller.start()
        relay, relay_port = start_relay(port, stderr=subprocess.PIPE)
        try:
            with tempfile.TemporaryDirectory() as tmp:
                path = os.path.join(tmp, "message.eml")
                sent = make_message(path, os.urandom(5 << 20))
                result = subprocess.run(
                    ["swaks", "--silent", "2", "--server", "127.0.0.1", "--port",
                     str(relay_port), "--from", "sender@example.test", "--to",
                     "rcpt@example.test", "--data", "@" + path, "--timeout", "60"],
                    capture_output=True, timeout=120)
                self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(len(collector.messages), 1)
            envelope = collector.messages[0]
            self.assertEqual(envelope.mail_from, "sender@example.test")
            self.assertEqual(envelope.rcpt_tos, ["rcpt@example.test"])
            received = envelope.original_content or envelope.content
            self.assertEqual(received.rstrip(b"\r\n"), sent.rstrip(b"\r\n"))
        finally:
            relay.send_signal(signal.SIGTERM)
            _, err = relay.communicate(timeout=15)
            self.assertEqual(relay.returncode, 0)
            controller.stop()
        # A session that delivered its mail and ended is no failure.
        self.assertEqual(err, "")


PIPELINED = (b"HELO client.example.test\r\n"
             b"MAIL FROM:<sender@example.test>\r\n"
             b"RCPT TO:<rcpt@example.test>\r\n"
             b"DATA\r\n"
             b"Subject: pipelined\r\n\r\nSent in one go.\r\n.\r\n"
             b"QUIT\r\n")


def pipelined_dialogue(port):
    """Sends the whole dialogue at once, ends the sending (as `socat -t 5`
    does when its input ends) and returns the reply codes until the end."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(PIPELINED)
        s.shutdown(socket.SHUT_WR)
        replies = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            replies += chunk
    return [line[:3] for line in replies.decode().split("\r\n")
            if line[:3].isdigit() and line[3:4] == " "]


class PipelinedDialogue(unittest.TestCase):
    def test_every_reply_and_the_mail_arrive_after_the_client_ends_sending(self):
        collector = Collector()
        port = free_port()
        controller = Controller(collector, hostname="127.0.0.1", port=port)
        controller.start()
        relay, relay_port = start_relay(port)
        try:
            expected = ["220", "250", "250", "250", "354", "250", "221"]
            # Straight to the server first: what the relay must not change.
            self.assertEqual(pipelined_dialogue(port), expected)
            self.assertEqual(pipelined_dialogue(relay_port), expected)
            self.assertEqual(len(collector.messages), 2)
            for envelope in collector.messages:
                self.assertEqual(envelope.mail_from, "sender@example.test")
                self.assertEqual(envelope.rcpt_tos, ["rcpt@example.test"])
                self.assertIn(b"Sent in one go.", envelope.original_content or envelope.content)
        finally:
            relay.send_signal(signal.SIGTERM)
            self.assertEqual(relay.wait(timeout=15), 0)
            relay.stdout.close()
            controller.stop()


class RelayCommandLine(unittest.TestCase):
    def test_bad_arguments_print_usage_and_exit_2(self):
        for args in ([], ["25"], ["x", "host", "25"], ["25", "host", "70000"]):
            result = subprocess.run([RELAY] + args, capture_output=True, text=True)
            self.assertEqual(result.returncode, 2, args)
            self.assertIn("usage: vantelo-relay", result.stderr)

    def test_port_in_use_prints_the_relay_message_and_exits_1(self):
        with socket.socket() as taken:
            taken.bind(("0.0.0.0", 0))
            taken.listen()
            result = subprocess.run(
                [RELAY, str(taken.getsockname()[1]), "127.0.0.1", "25"],
                capture_output=True, text=True, timeout=10)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout, "")
        self.assertIn("Could not bind socket. Address and port are already in use.",
                      result.stderr.splitlines())

    def test_a_failure_inside_the_relay_is_one_line_on_standard_error(self):
        closed = free_port()
        relay, relay_port = start_relay(closed, stderr=subprocess.PIPE)
        try:
            with socket.create_connection(("127.0.0.1", relay_port), timeout=10) as s:
                self.assertEqual(s.recv(1), b"")  # closed without a byte
        finally:
            relay.send_signal(signal.SIGTERM)
            _, err = relay.communicate(timeout=15)
            relay.stdout.close()
        lines = [line for line in err.splitlines() if "failed" in line]
        self.assertEqual(len(lines), 1, err)
        self.assertRegex(lines[0], r"^vantelo-relay: warning: relayed connection from "
                         r"127\.0\.0\.1:\d+: connect to 127\.0\.0\.1:%d failed: "
                         r"connection refused \(ECONNREFUSED\)$" % closed)


if __name__ == "__main__":
    RELAY = os.path.abspath(sys.argv.pop(1))
    unittest.main()

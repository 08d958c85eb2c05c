"""Real SMTP peers for tests of the real programs on loopback: aiosmtpd
servers that note the subject of every mail they get, swaks as the client,
and a probe of which server a port leads to."""
import socket
import subprocess
import time

from aiosmtpd.controller import Controller

from .loopback import free_port


class Collector:
    """An aiosmtpd handler that keeps the subject of each mail it gets."""

    def __init__(self):
        self.subjects = []

    async def handle_DATA(self, server, session, envelope):
        for line in envelope.content.decode(errors="replace").splitlines():
            if line.startswith("Subject: "):
                self.subjects.append(line[len("Subject: "):])
        return "250 OK"


def start_smtp(name):
    """A running server that greets as `name`: (controller, collector, port)."""
    collector = Collector()
    port = free_port()
    controller = Controller(collector, hostname="127.0.0.1", port=port, server_hostname=name)
    controller.start()
    return controller, collector, port


def greeted_by(port):
    """The name in the greeting that a new connection through `port` gets."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=2) as s:
            greeting = s.recv(256).decode(errors="replace")
            s.sendall(b"QUIT\r\n")
            s.recv(256)
        return greeting.split()[1] if greeting.startswith("220 ") else None
    except OSError:
        return None


def send(port, subject):
    """Sends one mail with swaks through `port`: (exit status, its errors)."""
    result = subprocess.run(
        ["swaks", "--silent", "2", "--server", "127.0.0.1", "--port", str(port),
         "--from", "me@example.test", "--to", "you@example.test",
         "--header", "Subject: " + subject, "--timeout", "20"],
        capture_output=True, text=True, timeout=60)
    return result.returncode, result.stderr


def listening(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return True
    except OSError:
        return False


def wait_until(condition, seconds=15.0):
    """The first true value `condition` gives within `seconds`, else None."""
    end = time.time() + seconds
    while time.time() < end:
        result = condition()
        if result:
            return result
        time.sleep(0.1)
    return None

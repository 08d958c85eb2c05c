"""Real SMTP peers for tests of the real programs on loopback: aiosmtpd
servers that note the subject of every mail they get (also over TLS, with
certificates from a CA of the test's own), servers that misbehave on purpose,
swaks as the client, and a probe of which server a port leads to."""
import os
import socket
import ssl
import subprocess
import threading
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


# ---- TLS peers -------------------------------------------------------------

def _openssl(*args, cwd):
    subprocess.run(["openssl"] + list(args), cwd=cwd, check=True, capture_output=True, timeout=60)


class TestPki:
    """A certificate authority of the test's own in `folder` (ca.pem, for
    SSL_CERT_FILE) and server certificates made with the openssl command:
    cert(name) gives (certificate file, key file)."""

    def __init__(self, folder):
        self.folder = folder
        self.ca = os.path.join(folder, "ca.pem")
        self._ca_key = os.path.join(folder, "ca.key")
        _openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                 "-nodes", "-keyout", self._ca_key, "-out", self.ca, "-days", "2",
                 "-subj", "/CN=Vantelo Test CA", cwd=folder)

    def cert(self, name, names="DNS:localhost,IP:127.0.0.1,IP:::1", days=1, signer=None):
        """A certificate for `names` signed by this CA (or by `signer`, another
        TestPki); days=-1 makes one that has expired."""
        signer = signer or self
        key = os.path.join(self.folder, name + ".key")
        csr = os.path.join(self.folder, name + ".csr")
        pem = os.path.join(self.folder, name + ".pem")
        ext = os.path.join(self.folder, name + ".ext")
        with open(ext, "w") as f:
            f.write("subjectAltName=%s\n" % names)
        _openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                 "-keyout", key, "-out", csr, "-subj", "/CN=" + name, cwd=self.folder)
        _openssl("x509", "-req", "-in", csr, "-CA", signer.ca, "-CAkey", signer._ca_key,
                 "-CAcreateserial", "-out", pem, "-days", str(days), "-extfile", ext,
                 cwd=self.folder)
        return pem, key

    def context(self, name, **kwargs):
        """A server-side ssl context with cert(name, ...)."""
        pem, key = self.cert(name, **kwargs)
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(pem, key)
        return context


class MailLog(Collector):
    """A Collector that also keeps every MAIL command and the whole mails."""

    def __init__(self):
        super().__init__()
        self.mail_froms = []
        self.messages = []

    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        self.mail_froms.append(address)
        envelope.mail_from = address
        envelope.mail_options.extend(mail_options)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.messages.append(envelope)
        return await super().handle_DATA(server, session, envelope)


def start_tls_smtp(context, implicit, host="127.0.0.1", **kwargs):
    """An aiosmtpd server speaking TLS from the first byte (implicit) or only
    after STARTTLS, which it then requires: (controller, MailLog, port)."""
    log = MailLog()
    port = free_port()
    if implicit:
        controller = Controller(log, hostname=host, port=port, ssl_context=context,
                                data_size_limit=64 << 20, **kwargs)
    else:
        controller = Controller(log, hostname=host, port=port, tls_context=context,
                                require_starttls=True, data_size_limit=64 << 20, **kwargs)
    controller.start()
    return controller, log, port


class ScriptedServer:
    """A plain TCP server with fixed answers, for servers that misbehave:
    `greeting` (None: never greets) and answers by command word. It keeps
    every line it receives in `lines`."""

    def __init__(self, greeting, answers):
        self.greeting = greeting
        self.answers = answers
        self.lines = []
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.port = self._listener.getsockname()[1]
        self._open = []
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self):
        while True:
            try:
                conn, _ = self._listener.accept()
            except OSError:
                return
            self._open.append(conn)
            threading.Thread(target=self._talk, args=(conn,), daemon=True).start()

    def _talk(self, conn):
        try:
            if self.greeting is not None:
                conn.sendall(self.greeting.encode())
            pending = b""
            while True:
                chunk = conn.recv(4096)
                if not chunk:
                    return
                pending += chunk
                while b"\r\n" in pending:
                    line, pending = pending.split(b"\r\n", 1)
                    text = line.decode(errors="replace")
                    self.lines.append(text)
                    answer = self.answers.get(text.split(" ")[0].upper(), "500 5.5.1 what?\r\n")
                    conn.sendall(answer.encode())
        except OSError:
            return

    def stop(self):
        self._listener.close()
        for conn in self._open:
            conn.close()

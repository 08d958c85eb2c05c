"""vantelo-relay started under a soft descriptor limit of 1024 relays 700
connections at once, byte for byte: each relayed connection holds two
descriptors, so it must raise its own soft limit to the hard limit first.

Usage: /usr/bin/python3 relay_descriptor_limit_test.py PATH/TO/vantelo-relay
"""
import asyncio
import os
import resource
import signal
import sys
import unittest

RELAY = None
CONNECTIONS = 700
EACH = 32 * 1024
SOFT_LIMIT = 1024
# This process holds both ends around the relay: a client and a server socket
# per connection, and some to spare.
NEEDED_HERE = 2 * CONNECTIONS + 200


def start_under_soft_limit():
    """Runs in the child before vantelo-relay starts."""
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (SOFT_LIMIT, hard))


async def echo(reader, writer):
    """Echoes until the client ends its sending, then ends its own."""
    while True:
        data = await reader.read(65536)
        if not data:
            break
        writer.write(data)
        await writer.drain()
    writer.close()
    await writer.wait_closed()


async def exchange(reader, writer, data):
    """Sends `data`, ends the sending and returns everything that comes back."""
    writer.write(data)
    await writer.drain()
    writer.write_eof()
    back = await reader.read()
    writer.close()
    await writer.wait_closed()
    return back


class DescriptorLimit(unittest.TestCase):
    def setUp(self):
        _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        if hard != resource.RLIM_INFINITY and hard < NEEDED_HERE:
            self.skipTest("needs a hard descriptor limit of %d (ulimit -Hn), it is %d"
                          % (NEEDED_HERE, hard))
        soft = hard if hard != resource.RLIM_INFINITY else NEEDED_HERE
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))

    def test_relays_700_connections_at_once_under_a_soft_limit_of_1024(self):
        errors = asyncio.run(self.relay_connections())
        self.assertNotIn("cannot accept for now", errors)
        self.assertNotIn("descriptor limit", errors)

    async def relay_connections(self):
        server = await asyncio.start_server(echo, "127.0.0.1", 0, backlog=CONNECTIONS)
        upstream_port = server.sockets[0].getsockname()[1]
        relay = await asyncio.create_subprocess_exec(
            RELAY, "0", "127.0.0.1", str(upstream_port), stdout=asyncio.subprocess.PIPE,
            stderr=asyncio.subprocess.PIPE, preexec_fn=start_under_soft_limit)
        try:
            line = (await asyncio.wait_for(relay.stdout.readline(), 10)).decode().strip()
            self.assertTrue(line.startswith("listening on port "), line)
            relay_port = int(line.rsplit(" ", 1)[1])
            with open("/proc/%d/limits" % relay.pid) as limits:
                # The relay started under the low limit and raised it itself.
                row = [l for l in limits if l.startswith("Max open files")][0].split()
                self.assertEqual(row[3], row[4], "soft limit not raised to the hard one")

            # Every connection is open before any byte moves.
            connections = await asyncio.wait_for(asyncio.gather(
                *[asyncio.open_connection("127.0.0.1", relay_port)
                  for _ in range(CONNECTIONS)]), 30)
            sent = [os.urandom(EACH) for _ in range(CONNECTIONS)]
            back = await asyncio.wait_for(asyncio.gather(
                *[exchange(r, w, data) for (r, w), data in zip(connections, sent)]), 60)
            for i in range(CONNECTIONS):
                self.assertEqual(len(back[i]), EACH, "connection %d" % i)
                self.assertTrue(back[i] == sent[i], "connection %d" % i)
        finally:
            if relay.returncode is None:
                relay.send_signal(signal.SIGTERM)
            errors = (await asyncio.wait_for(relay.stderr.read(), 20)).decode()
            self.assertEqual(await asyncio.wait_for(relay.wait(), 20), 0, errors)
            server.close()
            await server.wait_closed()
        return errors


if __name__ == "__main__":
    RELAY = os.path.abspath(sys.argv.pop(1))
    unittest.main()

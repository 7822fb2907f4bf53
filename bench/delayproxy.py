#!/usr/bin/env python3
"""A TCP proxy that adds a fixed delay to each direction, like a distant server.

    delayproxy.py LISTEN_PORT TARGET_PORT DELAY_MS

Listens on 127.0.0.1:LISTEN_PORT (0 picks a free port) and forwards every connection to
127.0.0.1:TARGET_PORT. Each chunk is passed on DELAY_MS after it arrived, in order, so the
round trip grows by 2 × DELAY_MS while the throughput stays that of the loopback. The first
line printed on stdout is "port N" once the proxy listens. From bash:

    coproc PROXY { exec python3 bench/delayproxy.py 0 "$CORVEX_POP3_PORT" 25; }
    read -r _ port <&"${PROXY[0]}"     # ... then kill "$PROXY_PID" at the end

It also counts the round trips of the connections: a line "count" on stdin is answered with

    connections N trips T hello H

for the connections accepted since the last "count" (so the close of an earlier connection is
not counted). A trip is one wait of the client for the server: it starts when the server's
data follows the client's (or opens the connection, as a greeting does) and ends when the
client sends again after having been given some of it. Data the client sends before it was
given anything of the server's answer belongs to the same trip, whatever the delays, so the
count depends on what the client waited for, not on timing. H is the bytes the server sent in
answer to a TLS ClientHello (its certificate makes a full handshake far larger than a resumed
one).
"""
import asyncio
import sys


class Counter:
    """The trips of one connection, judged by what was forwarded in which direction."""

    def __init__(self):
        self.trips = 0
        self.server_turn = False   # server data arrived since the client last sent
        self.given = False         # some of that data reached the client already
        self.hello_pending = False  # the client's last chunk opened a TLS handshake
        self.hello_counting = False  # this server turn answers a ClientHello
        self.hello = 0

    def from_client(self, data):
        if self.given or not self.server_turn:
            self.server_turn = False
            self.given = False
        self.hello_pending = data[:2] == b"\x16\x03" and len(data) > 5 and data[5] == 1

    def from_server(self, data):
        if not self.server_turn:
            self.server_turn = True
            self.given = False
            self.trips += 1
            self.hello_counting = self.hello_pending
            self.hello_pending = False
        if self.hello_counting:
            self.hello += len(data)

    def to_client(self):
        self.given = True


async def pump(reader, writer, delay, arrived, forwarded):
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def read_side():
        while True:
            data = await reader.read(65536)
            if data:
                arrived(data)
            await queue.put((loop.time() + delay, data))
            if not data:
                return

    async def write_side():
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if not data:
                if writer.can_write_eof():
                    writer.write_eof()
                return
            writer.write(data)
            forwarded()
            await writer.drain()

    try:
        await asyncio.gather(read_side(), write_side())
    except (ConnectionError, OSError):
        pass
    finally:
        writer.close()


async def answer_counts(counters):
    loop = asyncio.get_running_loop()
    reader = asyncio.StreamReader()
    await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), sys.stdin)
    while True:
        line = await reader.readline()
        if not line:
            return
        if line.strip() == b"count":
            taken = list(counters)
            counters.clear()
            print("connections", len(taken), "trips", sum(c.trips for c in taken),
                  "hello", sum(c.hello for c in taken), flush=True)


async def main():
    listen_port, target_port, delay_ms = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
    delay = delay_ms / 1000.0
    counters = []

    async def serve(client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target_port)
        except OSError:
            client_writer.close()
            return
        counter = Counter()
        counters.append(counter)
        await asyncio.gather(
            pump(client_reader, server_writer, delay, counter.from_client, lambda: None),
            pump(server_reader, client_writer, delay, counter.from_server, counter.to_client),
        )

    server = await asyncio.start_server(serve, "127.0.0.1", listen_port)
    print("port", server.sockets[0].getsockname()[1], flush=True)
    asyncio.ensure_future(answer_counts(counters))
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        pass

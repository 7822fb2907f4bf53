#!/usr/bin/env python3
"""A TCP proxy that adds a fixed delay to each direction, like a distant server.

    delayproxy.py LISTEN_PORT TARGET_PORT DELAY_MS

Listens on 127.0.0.1:LISTEN_PORT (0 picks a free port) and forwards every connection to
127.0.0.1:TARGET_PORT. Each chunk is passed on DELAY_MS after it arrived, in order, so the
round trip grows by 2 × DELAY_MS while the throughput stays that of the loopback. The first
line printed on stdout is "port N" once the proxy listens. From bash:

    coproc PROXY { exec python3 bench/delayproxy.py 0 "$CORVEX_POP3_PORT" 25; }
    read -r _ port <&"${PROXY[0]}"     # ... then kill "$PROXY_PID" at the end
"""
import asyncio
import sys


async def pump(reader, writer, delay):
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def read_side():
        while True:
            data = await reader.read(65536)
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
            await writer.drain()

    try:
        await asyncio.gather(read_side(), write_side())
    except (ConnectionError, OSError):
        pass
    finally:
        writer.close()


async def main():
    listen_port, target_port, delay_ms = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
    delay = delay_ms / 1000.0

    async def serve(client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target_port)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(
            pump(client_reader, server_writer, delay),
            pump(server_reader, client_writer, delay),
        )

    server = await asyncio.start_server(serve, "127.0.0.1", listen_port)
    print("port", server.sockets[0].getsockname()[1], flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        pass

#!/usr/bin/env python3
"""A TCP proxy on loopback that makes a connection behave like one over a slow
network: every chunk of bytes read from one side is written to the other side
DELAY milliseconds later, in each direction, so that a request and its answer
take a round trip of twice DELAY.

Each direction of each connection is a queue of (due time, chunk): chunks keep
their order, later ones are not held up by the wait of earlier ones (the delay
is latency, not a bandwidth limit), and connections never wait for each other.
An end of stream (half close) is passed on after the delay too.

The kernel completes the TCP handshake with the proxy at once, so a new
connection would cost nothing; over a real network it costs a round trip
before the client's first byte can leave. Unless --no-connect-delay is given,
the first chunk from a client is therefore held one extra round trip after
the connection was accepted (every later chunk waits behind it, as it would).

Usage:
  delay_proxy.py [--delay-ms 20] [--no-connect-delay] LISTEN_PORT:TARGET_PORT ...

Each mapping listens on 127.0.0.1:LISTEN_PORT (0: a free port) and connects to
127.0.0.1:TARGET_PORT. Once every listener is open it prints, on standard
output, one line "LISTEN_PORT TARGET_PORT" per mapping with the port taken,
then "ready". Runs until killed. Standard library only.
"""

import argparse
import asyncio
import socket
import sys

CHUNK = 64 * 1024
QUEUED_CHUNKS = 1024  # per direction: at most 64 MiB held in flight


async def pump(reader, writer, delay, hold_until, loop):
    """Reads `reader` and writes each chunk to `writer` `delay` seconds after it
    arrived (not before `hold_until`, a loop time, for the first one)."""
    queue = asyncio.Queue(QUEUED_CHUNKS)

    async def receive():
        first = True
        try:
            while True:
                data = await reader.read(CHUNK)
                due = loop.time() + delay
                if first:
                    due = max(due, hold_until + delay)
                    first = False
                await queue.put((due, data))
                if not data:
                    return
        except (ConnectionError, OSError):
            await queue.put((loop.time(), None))

    async def send():
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if data is None:  # the reading side broke: drop the connection
                writer.transport.abort()
                return
            if not data:  # end of stream: half close, as the sender did
                if writer.can_write_eof():
                    writer.write_eof()
                return
            writer.write(data)
            await writer.drain()

    receiving = asyncio.ensure_future(receive())
    try:
        await send()
    except (ConnectionError, OSError):
        writer.transport.abort()
    finally:
        receiving.cancel()


async def serve(client_reader, client_writer, target_port, delay, connect_delay):
    loop = asyncio.get_running_loop()
    accepted = loop.time()
    try:
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target_port)
    except OSError:
        client_writer.transport.abort()
        return
    for w in (client_writer, server_writer):
        sock = w.get_extra_info("socket")
        if sock is not None:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    hold = accepted + (2 * delay if connect_delay else 0)
    try:
        await asyncio.gather(
            pump(client_reader, server_writer, delay, hold, loop),
            pump(server_reader, client_writer, delay, 0.0, loop),
        )
    finally:
        for w in (client_writer, server_writer):
            w.close()


async def main():
    parser = argparse.ArgumentParser(description="A TCP proxy on 127.0.0.1 that delays each direction.")
    parser.add_argument("--delay-ms", type=float, default=20.0, help="delay in each direction (default 20)")
    parser.add_argument(
        "--no-connect-delay",
        action="store_true",
        help="do not hold a connection's first bytes one extra round trip",
    )
    parser.add_argument("mappings", nargs="+", metavar="LISTEN_PORT:TARGET_PORT")
    args = parser.parse_args()
    delay = args.delay_ms / 1000.0

    servers = []
    for mapping in args.mappings:
        try:
            listen_port, target_port = (int(p) for p in mapping.split(":"))
        except ValueError:
            parser.error(f"'{mapping}' is not LISTEN_PORT:TARGET_PORT")

        async def handle(r, w, target_port=target_port):
            await serve(r, w, target_port, delay, not args.no_connect_delay)

        server = await asyncio.start_server(handle, "127.0.0.1", listen_port, backlog=512)
        servers.append(server)
        print(server.sockets[0].getsockname()[1], target_port)
    print("ready", flush=True)
    await asyncio.gather(*(s.serve_forever() for s in servers))


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        sys.exit(130)

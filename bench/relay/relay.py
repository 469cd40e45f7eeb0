#!/usr/bin/env python3
"""A delaying TCP relay for the benchmarks: it stands between a client and a
server on loopback and makes the link behave like a distant one.

Usage: relay.py --upstream HOST:PORT [--listen 127.0.0.1] [--port 0] [--delay-ms 25]

Prints "PORT <n>" on standard output once it listens, then relays until it is
terminated. With a one-way delay D:

  - a new connection costs one round trip (2 D) before anything passes: the
    relay connects to the upstream server only after that;
  - every piece of data, in either direction, is passed on D after it
    arrived, in order; so is the end of a direction (half-close) and the
    close of the connection.

A request on a fresh connection thus takes 4 D before its answer starts to
arrive (set-up, request, answer), one on a kept connection 2 D.

On SIGTERM or SIGINT it stops at once; open connections are dropped. At the
end it prints "CONNECTIONS <n>" (connections accepted) on standard error.
"""

import argparse
import asyncio
import signal
import socket
import sys

accepted = 0


async def pipe(reader, writer, delay):
    """Passes everything from reader to writer, each piece `delay` seconds
    after it arrived; the end of the stream is passed on the same way."""
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def deliver():
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if data is None:
                try:
                    if writer.can_write_eof():
                        writer.write_eof()
                except OSError:
                    pass
                return
            try:
                writer.write(data)
                await writer.drain()
            except OSError:
                return

    sender = asyncio.create_task(deliver())
    try:
        while True:
            try:
                data = await reader.read(65536)
            except OSError:
                data = b""
            queue.put_nowait((loop.time() + delay, data if data else None))
            if not data:
                break
        await sender
    finally:
        if not sender.done():
            sender.cancel()


def nodelay(writer):
    sock = writer.get_extra_info("socket")
    if sock is not None:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)


async def handle(client_reader, client_writer, upstream, delay):
    global accepted
    accepted += 1
    nodelay(client_writer)
    server_writer = None
    try:
        await asyncio.sleep(2 * delay)  # the connection's set-up: one round trip
        host, port = upstream
        server_reader, server_writer = await asyncio.open_connection(host, port)
        nodelay(server_writer)
        await asyncio.gather(pipe(client_reader, server_writer, delay), pipe(server_reader, client_writer, delay))
    except (OSError, asyncio.CancelledError):
        pass  # refused upstream, or the relay is stopping
    finally:
        for w in (client_writer, server_writer):
            if w is not None:
                w.close()


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--upstream", required=True)
    parser.add_argument("--listen", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--delay-ms", type=float, default=25.0)
    args = parser.parse_args()
    host, _, port = args.upstream.rpartition(":")
    upstream = (host, int(port))
    delay = args.delay_ms / 1000.0

    server = await asyncio.start_server(lambda r, w: handle(r, w, upstream, delay), args.listen, args.port,
                                        backlog=1024)
    print("PORT %d" % server.sockets[0].getsockname()[1], flush=True)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    async with server:
        await stop.wait()
    sys.stderr.write("CONNECTIONS %d\n" % accepted)


if __name__ == "__main__":
    asyncio.run(main())

#!/usr/bin/env python3
"""A distant link for benchmarks: a TCP relay on 127.0.0.1 that delays every
byte by ONE_WAY_MS in each direction, with no limit on bandwidth.

    relay.py LISTEN_PORT TARGET_PORT ONE_WAY_MS SECONDS

A new connection also pays the TCP handshake's round trip: the client's first
bytes reach the target no earlier than three one-way delays after it
connected, as on a real link (SYN, SYN-ACK, then the data). Bytes keep their
order; a half close is passed on after the same delay, a reset at once. The
relay listens on 127.0.0.1 only and exits by itself after SECONDS.
"""
import asyncio
import socket
import sys

CHUNK = 65536


async def pump(reader, writer, delay, not_before):
    """Copies reader to writer, each piece leaving `delay` seconds after it came
    (and never before `not_before`), in order."""
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def send():
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

    sender = asyncio.create_task(send())
    try:
        while True:
            data = await reader.read(CHUNK)
            queue.put_nowait((max(loop.time(), not_before) + delay, data))
            if not data:
                break
        await sender
    finally:
        sender.cancel()


def abort(writer):
    """Closes with a reset, so the other side sees the failure it would have seen."""
    sock = writer.get_extra_info("socket")
    if sock is not None:
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        except OSError:
            pass
    writer.transport.abort()


async def serve(target_port, delay, client_reader, client_writer):
    loop = asyncio.get_running_loop()
    accepted = loop.time()
    try:
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target_port)
    except OSError:
        abort(client_writer)
        return
    up = asyncio.create_task(pump(client_reader, server_writer, delay, accepted + 2 * delay))
    down = asyncio.create_task(pump(server_reader, client_writer, delay, accepted))
    done, pending = await asyncio.wait({up, down}, return_when=asyncio.FIRST_EXCEPTION)
    failed = any(t.exception() for t in done)
    for t in pending:
        if failed:
            t.cancel()
    if failed:
        abort(client_writer)
        abort(server_writer)
        return
    await asyncio.gather(*pending, return_exceptions=True)
    client_writer.close()
    server_writer.close()


async def main():
    listen_port, target_port = int(sys.argv[1]), int(sys.argv[2])
    delay, seconds = float(sys.argv[3]) / 1000.0, float(sys.argv[4])
    server = await asyncio.start_server(lambda r, w: serve(target_port, delay, r, w), "127.0.0.1", listen_port,
                                        backlog=256, reuse_address=True)
    async with server:
        try:
            await asyncio.wait_for(server.serve_forever(), seconds)
        except asyncio.TimeoutError:
            pass


if __name__ == "__main__":
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    asyncio.run(main())

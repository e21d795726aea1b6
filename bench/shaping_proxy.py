"""A userspace link for benchmarks: forwards TCP from a local port to a target, adding a delay
each way (half the round trip) and pacing what comes back to a bit rate (0: no limit). The
host's own network is never touched, so other programs on the machine see no difference. It
counts what crosses it: bytes sent back and requests ("GET " at the start of a client piece or
after the end of the last head), written to STATS_FILE as "bytes requests" whenever a
connection closes.

    python3 shaping_proxy.py LISTEN_PORT TARGET_PORT MBIT RTT_MS STATS_FILE
"""

import asyncio
import sys
import time


class Pacer:
    """One link shared by every connection: bytes leave no faster than the rate."""

    def __init__(self, bytes_per_second):
        self.rate = bytes_per_second
        self.free_at = time.monotonic()

    async def take(self, count):
        now = time.monotonic()
        start = max(now, self.free_at)
        self.free_at = start + count / self.rate
        if self.free_at > now:
            await asyncio.sleep(self.free_at - now)


totals = {"bytes": 0, "requests": 0}


async def pipe(reader, writer, delay, pacer, count):
    # Each piece is held for the one-way delay from the moment it arrived, then paced.
    # A short queue: a full one stops reading, so the sender feels the link as a real one.
    queue = asyncio.Queue(maxsize=16)

    async def receive():
        while True:
            data = await reader.read(16384)
            count(data)
            await queue.put((time.monotonic() + delay, data))
            if not data:
                return

    async def send():
        while True:
            due, data = await queue.get()
            wait = due - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            if not data:
                writer.close()
                return
            if pacer is not None:
                await pacer.take(len(data))
            writer.write(data)
            await writer.drain()

    try:
        await asyncio.gather(receive(), send())
    except (ConnectionError, OSError):
        writer.close()


async def main():
    listen, target, mbit, rtt_ms = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4])
    stats = sys.argv[5]
    down = Pacer(mbit * 1e6 / 8) if mbit > 0 else None
    delay = rtt_ms / 2000.0

    def count_up(data):
        # Requests carry no body here, so every head starts a piece or follows a blank line.
        totals["requests"] += data.count(b"GET /")

    def count_down(data):
        totals["bytes"] += len(data)

    async def handle(client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(pipe(client_reader, server_writer, delay, None, count_up),
                             pipe(server_reader, client_writer, delay, down, count_down), return_exceptions=True)
        with open(stats, "w") as out:
            out.write(f"{totals['bytes']} {totals['requests']}\n")

    server = await asyncio.start_server(handle, "127.0.0.1", listen)
    print("ready", flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main())

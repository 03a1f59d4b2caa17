"""A python3-websockets client for the heartbeat tests. It connects, notes each
ping the server sends (answering it only when pongs are on) and prints one JSON
line per event, with seconds since the connection opened:
    {"open": true}, {"ping": "<text>", "t": 0.31}, ... then
    {"closed": <code>, "t": 0.82}   when the server ended the connection, or
    {"still_open": true, "t": ...}  after <pings> pings (or <seconds>) with the connection open.
    heartbeat_client.py <url> <pongs: on|off> <pings> <seconds>
"""
import asyncio
import json
import sys
import time

import websockets


def report(**event):
    print(json.dumps(event), flush=True)


async def main(url, answer, pings, seconds):
    async with websockets.connect(url, open_timeout=5, close_timeout=1, ping_interval=None) as ws:
        start = time.monotonic()
        seen = asyncio.Event()
        count = 0
        automatic_pong = ws.pong

        # The library answers every ping through pong(); this one notes it and
        # answers only when pongs are on.
        async def pong(data=b""):
            nonlocal count
            count += 1
            report(ping=bytes(data).decode("utf-8", "replace"), t=round(time.monotonic() - start, 3))
            if count >= pings:
                seen.set()
            if answer:
                await automatic_pong(data)

        ws.pong = pong
        report(open=True)
        closed = asyncio.ensure_future(ws.wait_closed())
        enough = asyncio.ensure_future(seen.wait())
        await asyncio.wait({closed, enough}, timeout=seconds, return_when=asyncio.FIRST_COMPLETED)
        if closed.done():
            report(closed=ws.close_code, t=round(time.monotonic() - start, 3))
        else:
            report(still_open=True, t=round(time.monotonic() - start, 3))
        enough.cancel()


asyncio.run(main(sys.argv[1], sys.argv[2] == "on", int(sys.argv[3]), float(sys.argv[4])))

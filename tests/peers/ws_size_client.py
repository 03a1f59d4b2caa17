#!/usr/bin/python3
"""Message size limits with python3-websockets against the echo server, whose
MaxMessageSize is 1000: a 1000-octet message comes back, a 1001-octet one is
refused with 1009; a client with max_size 10 refuses a longer echo with 1009.

    ws_size_client.py URL
"""
import asyncio
import sys

import websockets


async def main(url):
    async with websockets.connect(url, max_size=None, compression=None) as ws:
        await ws.send('a' * 1000)
        print('echoed', len(await ws.recv()))
        await ws.send('a' * 1001)
        try:
            await ws.recv()
        except websockets.exceptions.ConnectionClosed as e:
            print('server closed', e.rcvd.code if e.rcvd else None)
    async with websockets.connect(url, max_size=10, compression=None) as ws:
        await ws.send('b' * 11)
        try:
            await ws.recv()
        except websockets.exceptions.ConnectionClosed as e:
            print('client closed', e.sent.code if e.sent else None)


asyncio.run(asyncio.wait_for(main(sys.argv[1]), 30))

"""A python3-websockets client for the WebSocket tests. It connects, prints the
negotiated subprotocol and extensions, then sends each message and prints
whether the echo matches, one JSON object per line.
    websockets_client.py <url> [subprotocols-json] [messages-json]
"""
import asyncio
import json
import sys

import websockets

from peer_messages import messages as parse_messages


async def main(url, subprotocols, messages):
    try:
        async with websockets.connect(url, subprotocols=subprotocols or None, open_timeout=5,
                                      close_timeout=1, max_size=None) as ws:
            print(json.dumps({"open": True, "protocol": ws.subprotocol,
                              "extensions": ws.response_headers.get("Sec-WebSocket-Extensions")}), flush=True)
            for message in messages:
                await ws.send(message)
                reply = await asyncio.wait_for(ws.recv(), 10)
                print(json.dumps({"echo": reply == message, "size": len(reply)}), flush=True)
    except websockets.exceptions.InvalidStatusCode as e:
        print(json.dumps({"status": e.status_code}), flush=True)


asyncio.run(main(sys.argv[1], json.loads(sys.argv[2]) if len(sys.argv) > 2 else [],
                 parse_messages(sys.argv[3]) if len(sys.argv) > 3 else []))

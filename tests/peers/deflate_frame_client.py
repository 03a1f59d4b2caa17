"""An x-webkit-deflate-frame client of our own (no maintained one exists): the
RFC 6455 handshake offering the extension, then each message sent as masked
frames of at most <fragment> octets, every frame compressed on its own from one
persistent raw deflate stream with RSV1 set and the 00 00 FF FF tail removed;
frames received with RSV1 are inflated the same way. Prints one JSON object
per line, like the other peer scripts.
    deflate_frame_client.py <port> <fragment> [messages-json]
"""
import base64
import json
import os
import socket
import struct
import sys
import zlib

from peer_messages import messages as parse_messages

TAIL = b"\x00\x00\xff\xff"


def read_exactly(sock, count):
    data = b""
    while len(data) < count:
        chunk = sock.recv(count - len(data))
        if not chunk:
            raise EOFError("closed")
        data += chunk
    return data


def send_frame(sock, first, payload):
    mask = os.urandom(4)
    length = len(payload)
    if length < 126:
        header = struct.pack("!BB", first, 0x80 | length)
    elif length < 65536:
        header = struct.pack("!BBH", first, 0x80 | 126, length)
    else:
        header = struct.pack("!BBQ", first, 0x80 | 127, length)
    masked = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
    sock.sendall(header + mask + masked)


def read_frame(sock):
    first, second = read_exactly(sock, 2)
    length = second & 0x7F
    if length == 126:
        length = struct.unpack("!H", read_exactly(sock, 2))[0]
    elif length == 127:
        length = struct.unpack("!Q", read_exactly(sock, 8))[0]
    return first, read_exactly(sock, length)


def main(port, fragment, messages):
    sock = socket.create_connection(("127.0.0.1", port), timeout=10)
    key = base64.b64encode(os.urandom(16)).decode()
    sock.sendall(("GET /chat HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                  "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n"
                  "Sec-WebSocket-Extensions: x-webkit-deflate-frame\r\n\r\n" % key).encode())
    answer = b""
    while b"\r\n\r\n" not in answer:
        answer += read_exactly(sock, 1)
    extensions = [line.split(": ", 1)[1] for line in answer.decode().split("\r\n")
                  if line.lower().startswith("sec-websocket-extensions: ")]
    print(json.dumps({"open": answer.startswith(b"HTTP/1.1 101 "), "extensions": extensions}), flush=True)
    compressor = zlib.compressobj(zlib.Z_DEFAULT_COMPRESSION, zlib.DEFLATED, -15)
    decompressor = zlib.decompressobj(-15)
    for message in messages:
        data = message.encode()
        pieces = [data[i:i + fragment] for i in range(0, len(data), fragment)] or [b""]
        for index, piece in enumerate(pieces):
            compressed = compressor.compress(piece) + compressor.flush(zlib.Z_SYNC_FLUSH)
            # Nothing new since the last flush: an empty stored block stands for it.
            payload = compressed[:-4] if compressed.endswith(TAIL) else b"\x00"
            first = (0x01 if index == 0 else 0x00) | (0x80 if index == len(pieces) - 1 else 0) | 0x40
            send_frame(sock, first, payload)
        received = b""
        while True:
            first, payload = read_frame(sock)
            if first & 0x40:
                payload = decompressor.decompress(payload + TAIL)
            received += payload
            if first & 0x80:
                break
        print(json.dumps({"echo": received == data, "size": len(received)}), flush=True)
    sock.close()


main(int(sys.argv[1]), int(sys.argv[2]), parse_messages(sys.argv[3]) if len(sys.argv) > 3 else [])

#!/usr/bin/env python3
"""Opens COUNT connections of one transport to 127.0.0.1:PORT, takes each past
its opening exchange, prints "open COUNT" and keeps them idle until standard
input closes.   idle_clients.py KIND PORT COUNT [PATH]
KIND: http1, http1-tls, ws, h2c, h2-tls."""
import socket
import ssl
import sys

PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n" + b"\x00\x00\x00\x04\x00\x00\x00\x00\x00"


def read_until(sock, marker):
    data = b""
    while marker not in data:
        chunk = sock.recv(65536)
        if not chunk:
            raise ConnectionError("closed during the opening exchange")
        data += chunk
    return data


def read_http1_answer(sock):
    data = read_until(sock, b"\r\n\r\n")
    head, _, body = data.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value)
    while len(body) < length:
        chunk = sock.recv(65536)
        if not chunk:
            raise ConnectionError("closed in the answer's body")
        body += chunk


def open_one(kind, port, path, context):
    sock = socket.create_connection(("127.0.0.1", port), timeout=10)
    if kind.endswith("-tls"):
        sock = context.wrap_socket(sock, server_hostname="localhost")
    if kind.startswith("http1"):
        sock.sendall(b"GET " + path.encode() + b" HTTP/1.1\r\nHost: x\r\n\r\n")
        read_http1_answer(sock)
    elif kind == "ws":
        sock.sendall(b"GET / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                     b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")
        if b" 101 " not in read_until(sock, b"\r\n\r\n"):
            raise ConnectionError("upgrade refused")
    else:  # h2c, h2-tls: the preface and SETTINGS, then the server's first frame
        sock.sendall(PREFACE)
        data = b""
        while len(data) < 9:
            chunk = sock.recv(65536)
            if not chunk:
                raise ConnectionError("closed after the preface")
            data += chunk
    return sock


def main():
    kind, port, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    path = sys.argv[4] if len(sys.argv) > 4 else "/"
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    context.set_alpn_protocols(["h2"] if kind == "h2-tls" else ["http/1.1"])
    held = [open_one(kind, port, path, context) for _ in range(count)]
    print("open", len(held), flush=True)
    sys.stdin.read()


if __name__ == "__main__":
    main()

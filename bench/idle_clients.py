#!/usr/bin/env python3
"""Opens COUNT connections of one transport to 127.0.0.1:PORT, takes each past
its opening exchange, prints "open COUNT" and keeps them idle until standard
input closes.
    idle_clients.py [--source ADDRESS] [--broadcast SIZE] KIND PORT COUNT [PATH]
KIND: http1, http1-tls, ws, h2c, h2-tls. --source connects from ADDRESS (a
loopback address other than 127.0.0.1 gives another range of ports). When a
connection fails to open, the ones open so far are held and the line reads
"open COUNT stopped: REASON".
--broadcast SIZE (ws): once open, waits until every connection has received
one unmasked message of SIZE octets, then prints "received COUNT ARRIVAL READ
CPU": the CLOCK_REALTIME nanoseconds at which the kernel received the last of
them and at which this process read it, and the CPU seconds spent waiting. The
kernel's receive time stamps do not depend on how fast this process reads."""
import argparse
import select
import socket
import ssl
import struct
import sys
import time

PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n" + b"\x00\x00\x00\x04\x00\x00\x00\x00\x00"
SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)


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


def open_one(args, context):
    sock = socket.socket()
    if args.broadcast:
        # Set before the connection opens: the kernel turns its time stamps on
        # asynchronously, so one set just before a message may miss it.
        sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
    sock.settimeout(10)
    if args.source:
        sock.bind((args.source, 0))
    sock.connect(("127.0.0.1", args.port))
    if args.kind.endswith("-tls"):
        sock = context.wrap_socket(sock, server_hostname="localhost")
    if args.kind.startswith("http1"):
        sock.sendall(b"GET " + args.path.encode() + b" HTTP/1.1\r\nHost: x\r\n\r\n")
        read_http1_answer(sock)
    elif args.kind == "ws":
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


def frame_length(size):
    """Octets of an unmasked server frame carrying SIZE octets (RFC 6455 5.2)."""
    return size + (2 if size < 126 else 4 if size < 65536 else 10)


def await_broadcast(held, size):
    """Reads one message on every connection; returns the kernel's receive time
    of the last one, the time this process read it, and the CPU seconds used."""
    missing = {sock.fileno(): frame_length(size) for sock in held}
    by_descriptor = {sock.fileno(): sock for sock in held}
    poller = select.epoll(sizehint=len(held))
    for sock in held:
        sock.setblocking(False)
        poller.register(sock.fileno(), select.EPOLLIN)
    cpu = time.process_time()
    arrival = read = 0
    while missing:
        for descriptor, _ in poller.poll():
            data, ancillary, _, _ = by_descriptor[descriptor].recvmsg(65536, socket.CMSG_SPACE(16))
            if not data:
                raise ConnectionError("closed before the broadcast arrived")
            read = time.time_ns()
            for level, kind, stamp in ancillary:
                if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS:
                    seconds, nanoseconds = struct.unpack("qq", stamp)
                    arrival = max(arrival, seconds * 1_000_000_000 + nanoseconds)
            missing[descriptor] -= len(data)
            if missing[descriptor] <= 0:
                del missing[descriptor]
                poller.unregister(descriptor)
    return arrival, read, time.process_time() - cpu


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source")
    parser.add_argument("--broadcast", type=int)
    parser.add_argument("kind", choices=["http1", "http1-tls", "ws", "h2c", "h2-tls"])
    parser.add_argument("port", type=int)
    parser.add_argument("count", type=int)
    parser.add_argument("path", nargs="?", default="/")
    args = parser.parse_args()
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    context.set_alpn_protocols(["h2"] if args.kind == "h2-tls" else ["http/1.1"])
    held = []
    stopped = ""
    try:
        while len(held) < args.count:
            held.append(open_one(args, context))
    except OSError as error:  # ConnectionError and socket.timeout are OSErrors too
        stopped = f" stopped: {error}"
    print(f"open {len(held)}{stopped}", flush=True)
    if args.broadcast and held:
        arrival, read, cpu = await_broadcast(held, args.broadcast)
        print("received", len(held), arrival, read, f"{cpu:.3f}", flush=True)
    sys.stdin.read()


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""RTMP peers that misbehave, for the sender library's tests (loopback only).

Modes:
  deep-amf DEPTH   handshake, then answer connect with a _result whose info
                   value nests DEPTH AMF objects
  mute             handshake, then read and never answer connect
  chatty           handshake, then a ping a second, never an answer to connect
  slow-proxy       forward to --upstream, taking the publisher's bytes at
                   --rate bytes a second (a slow uplink); replies go back at once;
                   with --freeze-for, the path forwards nothing either way for
                   that long, --freeze-at seconds after the first connection
  capture          forward to --upstream unthrottled and write what the server
                   sends to --out (seed replies for the connect-path fuzz target)
Every mode ends by itself after --lifetime seconds.
"""
import argparse
import os
import socket
import struct
import threading
import time

SIG = 1536


def read_exactly(conn, n):
    data = b""
    while len(data) < n:
        part = conn.recv(n - len(data))
        if not part:
            raise ConnectionError("peer closed")
        data += part
    return data


def handshake(conn):
    c0c1 = read_exactly(conn, 1 + SIG)
    conn.sendall(b"\x03" + os.urandom(SIG) + c0c1[1:])  # S0, S1, S2 (the echo of C1)
    read_exactly(conn, SIG)  # C2


def chunked(csid, msg_type, body, chunk=128):
    """One message on chunk stream csid: a full header, then continuation chunks."""
    header = bytes([csid]) + b"\x00\x00\x00" + struct.pack(">I", len(body))[1:] + bytes([msg_type]) + b"\x00" * 4
    out = [header + body[:chunk]]
    for i in range(chunk, len(body), chunk):
        out.append(bytes([0xC0 | csid]) + body[i:i + chunk])
    return b"".join(out)


def amf_string(text):
    return b"\x02" + struct.pack(">H", len(text)) + text.encode()


def deep_result(depth):
    body = amf_string("_result") + b"\x00" + struct.pack(">d", 1.0)
    body += b"\x03" + b"\x00\x01a\x03" * (depth - 1) + b"\x00\x00\x09" * depth
    return body


def serve_hostile(conn, args):
    handshake(conn)
    conn.recv(4096)  # the connect command
    if args.mode == "deep-amf":
        conn.sendall(chunked(3, 0x14, deep_result(args.depth)))
    if args.mode == "chatty":
        conn.settimeout(0.1)
        next_ping = 0
        while True:  # a user control ping (type 6) a second keeps a reader waiting
            if time.time() >= next_ping:
                conn.sendall(chunked(2, 0x04, b"\x00\x06" + struct.pack(">I", int(time.time()) & 0xFFFFFFFF)))
                next_ping = time.time() + 1
            try:
                if not conn.recv(65536):
                    return
            except socket.timeout:
                pass
    while conn.recv(65536):  # never answer; drain until the client goes
        pass


FREEZE = {"at": None, "start": 0.0, "length": 0.0}


def wait_while_frozen():
    """The path stops forwarding for a while (both ways), as a link that froze."""
    if FREEZE["at"] is None:
        return
    while FREEZE["at"] + FREEZE["start"] <= time.monotonic() < FREEZE["at"] + FREEZE["start"] + FREEZE["length"]:
        time.sleep(0.05)


def pump(source, target, rate=0, record=None):
    """Copies until either side closes; `rate` bytes a second when given."""
    try:
        while True:
            wait_while_frozen()
            if rate:
                data = source.recv(max(1, rate // 20))
                time.sleep(len(data) / rate)
            else:
                data = source.recv(65536)
            if not data:
                break
            if record:
                record.write(data)
                record.flush()
            target.sendall(data)
    except OSError:
        pass
    for s in (source, target):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def serve_proxy(conn, args):
    if args.freeze_for > 0 and FREEZE["at"] is None:  # timed from the first connection
        FREEZE.update(at=time.monotonic(), start=args.freeze_at, length=args.freeze_for)
    if args.mode == "slow-proxy":
        # A small receive buffer: the slow drain reaches the sender soon.
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 64 * 1024)
    upstream = socket.create_connection(("127.0.0.1", args.upstream))
    record = open(args.out, "wb") if args.mode == "capture" else None
    back = threading.Thread(target=pump, args=(upstream, conn, 0, record), daemon=True)
    back.start()
    pump(conn, upstream, args.rate if args.mode == "slow-proxy" else 0)
    back.join(5)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["deep-amf", "mute", "chatty", "slow-proxy", "capture"])
    parser.add_argument("depth", nargs="?", type=int, default=60000)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--upstream", type=int, default=0)
    parser.add_argument("--rate", type=int, default=350000)
    parser.add_argument("--out", default="")
    parser.add_argument("--lifetime", type=float, default=120)
    parser.add_argument("--freeze-at", type=float, default=0, help="seconds after the first connection")
    parser.add_argument("--freeze-for", type=float, default=0, help="seconds the path forwards nothing")
    args = parser.parse_args()
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if args.mode == "slow-proxy":
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 64 * 1024)
    listener.bind(("127.0.0.1", args.port))
    listener.listen(8)
    threading.Timer(args.lifetime, lambda: os._exit(0)).start()
    serve = serve_proxy if args.mode in ("slow-proxy", "capture") else serve_hostile
    print("ready", args.port, flush=True)
    while True:
        conn, _ = listener.accept()

        def run(c=conn):
            try:
                serve(c, args)
            except (OSError, ConnectionError):
                pass
            finally:
                c.close()

        threading.Thread(target=run, daemon=True).start()


if __name__ == "__main__":
    main()

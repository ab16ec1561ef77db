#!/usr/bin/env python3
"""A hostile RTSP source for tests: one IDR picture that never ends.

Serves one H.264 stream over RTSP (interleaved TCP only) on 127.0.0.1. After
PLAY it sends an IDR picture and then, for --endless seconds, slices whose
first macroblock is never 0, at --rate MB/s: no decoder can tell where the
picture ends. Then it behaves: a fresh IDR picture and small P pictures at
25 fps until the client leaves or --total seconds have passed.

Usage: endless_picture_server.py PORT [--endless S] [--rate MB_PER_S] [--total S]
"""
import argparse
import base64
import socket
import subprocess
import threading
import time


def encoded_picture():
    """SPS, PPS and IDR slices of one real 320x240 picture."""
    stream = subprocess.run(
        ["ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=25",
         "-frames:v", "1", "-pix_fmt", "yuv420p", "-c:v", "libx264", "-profile:v", "baseline", "-f", "h264", "-"],
        check=True, capture_output=True, timeout=30).stdout
    nals = [n.lstrip(b"\x00") for n in stream.split(b"\x00\x00\x01")]
    nals = [n.rstrip(b"\x00") for n in nals if n]
    by_type = {}
    for nal in nals:
        by_type.setdefault(nal[0] & 0x1F, []).append(nal)
    return by_type[7][0], by_type[8][0], by_type[5]


def filler(size, first_byte):
    """A slice body without zero bytes (so without start codes)."""
    return bytes([first_byte]) + bytes((0x5A + i) % 255 + 1 for i in range(size - 1))


class Sender:
    def __init__(self, sock):
        self.sock = sock
        self.seq = 0

    def nal(self, nal, timestamp, last):
        """Sends one NAL unit as RTP over interleaved channel 0 (FU-A above 1400 bytes)."""
        if len(nal) <= 1400:
            payloads = [nal]
        else:
            indicator = (nal[0] & 0xE0) | 28
            body = nal[1:]
            chunks = [body[i:i + 1400] for i in range(0, len(body), 1400)]
            payloads = []
            for i, chunk in enumerate(chunks):
                header = (nal[0] & 0x1F) | (0x80 if i == 0 else 0) | (0x40 if i == len(chunks) - 1 else 0)
                payloads.append(bytes([indicator, header]) + chunk)
        out = bytearray()
        for i, payload in enumerate(payloads):
            marker = 0x80 if last and i == len(payloads) - 1 else 0
            rtp = bytes([0x80, marker | 96]) + self.seq.to_bytes(2, "big") + \
                (timestamp & 0xFFFFFFFF).to_bytes(4, "big") + b"\x12\x34\x56\x78" + payload
            self.seq = (self.seq + 1) & 0xFFFF
            out += b"$\x00" + len(rtp).to_bytes(2, "big") + rtp
        self.sock.sendall(out)


def read_request(sock, buffer):
    while b"\r\n\r\n" not in buffer[0]:
        data = sock.recv(4096)
        if not data:
            return None
        buffer[0] += data
    head, buffer[0] = buffer[0].split(b"\r\n\r\n", 1)
    lines = head.decode("latin-1").split("\r\n")
    headers = {}
    for line in lines[1:]:
        key, _, value = line.partition(":")
        headers[key.strip().lower()] = value.strip()
    return lines[0].split(" ")[0], headers


def serve(conn, args, sps, pps, idr):
    buffer = [b""]
    sdp = ("v=0\r\no=- 0 0 IN IP4 127.0.0.1\r\ns=endless\r\nc=IN IP4 0.0.0.0\r\nt=0 0\r\n"
           "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"
           "a=fmtp:96 packetization-mode=1;sprop-parameter-sets=%s,%s\r\na=control:trackID=0\r\n" %
           (base64.b64encode(sps).decode(), base64.b64encode(pps).decode()))
    while True:
        request = read_request(conn, buffer)
        if request is None:
            return
        method, headers = request
        reply = "RTSP/1.0 200 OK\r\nCSeq: %s\r\n" % headers.get("cseq", "0")
        body = ""
        if method == "OPTIONS":
            reply += "Public: OPTIONS, DESCRIBE, SETUP, PLAY, TEARDOWN\r\n"
        elif method == "DESCRIBE":
            reply += "Content-Type: application/sdp\r\nContent-Base: rtsp://127.0.0.1:%d/endless/\r\n" % args.port
            body = sdp
        elif method == "SETUP":
            reply += "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\nSession: 1234;timeout=60\r\n"
        elif method == "PLAY":
            reply += "Session: 1234\r\n"
        reply += "Content-Length: %d\r\n\r\n%s" % (len(body), body)
        conn.sendall(reply.encode())
        if method == "PLAY":
            break
    # Whatever the client says from now on is read and ignored.
    threading.Thread(target=lambda: [None for _ in iter(lambda: conn.recv(4096), b"")], daemon=True).start()
    sender = Sender(conn)
    start = time.monotonic()
    tick = 0
    sender.nal(sps, tick, False)
    sender.nal(pps, tick, False)
    sender.nal(idr[0], tick, len(idr) == 1)  # the first slice only: the rest never comes
    slice_bytes = 50_000
    endless = filler(slice_bytes, 0x01)  # type-1 header comes below; first_mb_in_slice != 0
    endless = bytes([0x41, 0x5A]) + endless[2:]
    sent = 0
    while time.monotonic() - start < args.endless:
        tick += 3600
        sender.nal(endless, tick, False)
        sent += slice_bytes
        ahead = sent / (args.rate * 1e6) - (time.monotonic() - start)
        if ahead > 0:
            time.sleep(ahead)
    # Back to sense: a new IDR picture, then P pictures.
    frame = 0
    while time.monotonic() - start < args.total:
        tick += 3600
        if frame % 50 == 0:
            sender.nal(sps, tick, False)
            sender.nal(pps, tick, False)
            for i, nal in enumerate(idr):
                sender.nal(nal, tick, i == len(idr) - 1)
        else:
            sender.nal(bytes([0x41, 0x9A]) + filler(600, 0x11), tick, True)
        frame += 1
        time.sleep(0.04)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("port", type=int)
    parser.add_argument("--endless", type=float, default=8)
    parser.add_argument("--rate", type=float, default=10)
    parser.add_argument("--total", type=float, default=60)
    args = parser.parse_args()
    sps, pps, idr = encoded_picture()
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.port))
    listener.listen(4)
    print("listening on", args.port, flush=True)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn, args, sps, pps, idr), daemon=True).start()


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""A hostile RTSP source (interleaved TCP, 127.0.0.1) whose IDR picture never ends.

After PLAY: one IDR slice, then for --endless seconds slices whose first
macroblock is never 0, at --rate MB/s; then a fresh IDR picture and small P
pictures at 25 fps until --total seconds have passed.
Usage: endless_picture_server.py PORT [--endless S] [--rate MB_PER_S] [--total S]
"""
import argparse
import base64
import socket
import subprocess
import threading
import time


def encoded_picture():
    """SPS, PPS and IDR slice of one real 320x240 picture."""
    stream = subprocess.run(
        ["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc=size=320x240", "-frames:v", "1", "-pix_fmt",
         "yuv420p", "-c:v", "libx264", "-profile:v", "baseline", "-f", "h264", "-"],
        check=True, capture_output=True, timeout=30).stdout
    nals = {n[0] & 0x1F: n for n in (p.strip(b"\x00") for p in stream.split(b"\x00\x00\x01")) if n}
    return nals[7], nals[8], nals[5]


def send_nal(conn, state, nal, tick):
    """One NAL unit as RTP on interleaved channel 0, in FU-A fragments above 1400 bytes."""
    if len(nal) <= 1400:
        payloads = [nal]
    else:
        chunks = [nal[i:i + 1400] for i in range(1, len(nal), 1400)]
        payloads = [bytes([(nal[0] & 0xE0) | 28, (nal[0] & 0x1F) | (0x80 if i == 0 else 0) |
                           (0x40 if i == len(chunks) - 1 else 0)]) + c for i, c in enumerate(chunks)]
    out = bytearray()
    for payload in payloads:
        rtp = bytes([0x80, 96]) + state["seq"].to_bytes(2, "big") + (tick & 0xFFFFFFFF).to_bytes(4, "big") + \
            b"\x12\x34\x56\x78" + payload
        state["seq"] = (state["seq"] + 1) & 0xFFFF
        out += b"$\x00" + len(rtp).to_bytes(2, "big") + rtp
    conn.sendall(out)


def serve(conn, args, sps, pps, idr):
    sdp = ("v=0\r\no=- 0 0 IN IP4 127.0.0.1\r\ns=endless\r\nt=0 0\r\nm=video 0 RTP/AVP 96\r\n"
           "a=rtpmap:96 H264/90000\r\na=fmtp:96 packetization-mode=1;sprop-parameter-sets=%s,%s\r\n"
           "a=control:trackID=0\r\n" % (base64.b64encode(sps).decode(), base64.b64encode(pps).decode()))
    extra = {"DESCRIBE": "Content-Type: application/sdp\r\nContent-Base: rtsp://127.0.0.1:%d/endless/\r\n" % args.port,
             "SETUP": "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\nSession: 1234\r\n",
             "PLAY": "Session: 1234\r\n"}
    buffer = b""
    method = ""
    while method != "PLAY":
        while b"\r\n\r\n" not in buffer:
            data = conn.recv(4096)
            if not data:
                return
            buffer += data
        head, buffer = buffer.split(b"\r\n\r\n", 1)
        lines = head.decode("latin-1").split("\r\n")
        method = lines[0].split(" ")[0]
        cseq = next((l.split(":", 1)[1].strip() for l in lines if l.lower().startswith("cseq:")), "0")
        body = sdp if method == "DESCRIBE" else ""
        conn.sendall(("RTSP/1.0 200 OK\r\nCSeq: %s\r\n%sContent-Length: %d\r\n\r\n%s" %
                      (cseq, extra.get(method, ""), len(body), body)).encode())
    threading.Thread(target=lambda: [None for _ in iter(lambda: conn.recv(4096), b"")], daemon=True).start()
    state = {"seq": 0}
    start = time.monotonic()
    tick = 0
    for nal in (sps, pps, idr):
        send_nal(conn, state, nal, tick)
    endless = bytes([0x41, 0x5A]) + bytes((i % 250) + 1 for i in range(50_000))  # first_mb_in_slice != 0
    sent = 0
    while time.monotonic() - start < args.endless:
        tick += 3600
        send_nal(conn, state, endless, tick)
        sent += len(endless)
        time.sleep(max(0.0, sent / (args.rate * 1e6) - (time.monotonic() - start)))
    picture = bytes([0x41, 0x9A]) + bytes((i % 250) + 1 for i in range(600))  # first_mb_in_slice 0
    for frame in range(int((args.total - args.endless) * 25)):
        tick += 3600
        for nal in (sps, pps, idr) if frame % 50 == 0 else (picture,):
            send_nal(conn, state, nal, tick)
        time.sleep(0.04)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("port", type=int)
    parser.add_argument("--endless", type=float, default=8)
    parser.add_argument("--rate", type=float, default=10)
    parser.add_argument("--total", type=float, default=60)
    args = parser.parse_args()
    picture = encoded_picture()
    listener = socket.create_server(("127.0.0.1", args.port))
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn, args, *picture), daemon=True).start()


if __name__ == "__main__":
    main()

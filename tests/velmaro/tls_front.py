#!/usr/bin/env python3
"""A TLS front for the sender library's RTMPS tests (loopback only): ends TLS
with --cert/--key, writes each server name the client sent (SNI) as a line to
--sni-out, and forwards the plain bytes to --upstream both ways. Ends by
itself after --lifetime seconds."""
import argparse
import os
import socket
import ssl
import threading


def pump(source, target):
    try:
        while True:
            data = source.recv(65536)
            if not data:
                break
            target.sendall(data)
    except OSError:
        pass
    for s in (source, target):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def serve(conn, context, upstream_port):
    try:
        tls = context.wrap_socket(conn, server_side=True)
    except (ssl.SSLError, OSError):  # the client refused the certificate
        conn.close()
        return
    upstream = socket.create_connection(("127.0.0.1", upstream_port))
    threading.Thread(target=pump, args=(upstream, tls), daemon=True).start()
    pump(tls, upstream)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--upstream", type=int, required=True)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--sni-out", required=True)
    parser.add_argument("--lifetime", type=float, default=60)
    args = parser.parse_args()
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    lock = threading.Lock()

    def record_sni(_sock, name, _context):
        with lock, open(args.sni_out, "a") as out:
            out.write((name or "") + "\n")

    context.sni_callback = record_sni
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.port))
    listener.listen(8)
    threading.Timer(args.lifetime, lambda: os._exit(0)).start()
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn, context, args.upstream), daemon=True).start()


if __name__ == "__main__":
    main()

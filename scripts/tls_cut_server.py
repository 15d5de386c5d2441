#!/usr/bin/env python3
"""A TLS server for tests that ends its connections without close_notify.

Usage: tls_cut_server.py CERT KEY LENGTH SENT
Listens on 127.0.0.1, prints "READY <port>", and answers every request on every
connection with a response announcing LENGTH body bytes of which it sends SENT,
then closes the TCP connection without the TLS closing alert.
"""
import socket
import ssl
import sys


def serve(conn, length, sent):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(4096)
        if not chunk:
            return
        data += chunk
    head = b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n" % length
    conn.sendall(head + b"x" * sent)


def main():
    cert, key, length, sent = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cert, key)
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    print("READY %d" % listener.getsockname()[1], flush=True)
    while True:
        raw, _ = listener.accept()
        try:
            conn = ctx.wrap_socket(raw, server_side=True)
            serve(conn, length, sent)
            # Closing the descriptor under the TLS object sends no close_notify.
            raw_fd = conn.detach()
            socket.socket(fileno=raw_fd).close()
        except (ssl.SSLError, OSError):
            raw.close()


if __name__ == "__main__":
    main()

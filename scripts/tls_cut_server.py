#!/usr/bin/env python3
"""A TLS server for tests that ends its connections without close_notify, or
with close_notify alone.

Usage: tls_cut_server.py CERT KEY LENGTH SENT [notify]
Listens on 127.0.0.1, prints "READY <port>", and answers every request on every
connection with a response announcing LENGTH body bytes of which it sends SENT,
then closes the TCP connection without the TLS closing alert.
With "notify" the response announces no length (the close delimits it): the
server sends close_notify after SENT bytes and keeps the TCP connection open
until the client has answered with its own close_notify ("NOTIFY ANSWERED" on
stderr) and closed.
"""
import socket
import ssl
import sys


def read_request(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(4096)
        if not chunk:
            return False
        data += chunk
    return True


def serve(conn, length, sent):
    if not read_request(conn):
        return
    head = b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n" % length
    conn.sendall(head + b"x" * sent)


def serve_notify(conn, raw, sent):
    if not read_request(conn):
        return
    conn.sendall(b"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + b"x" * sent)
    # Sends close_notify and waits for the client's.
    conn.unwrap()
    print("NOTIFY ANSWERED", file=sys.stderr, flush=True)
    while raw.recv(4096):
        pass
    raw.close()


def main():
    cert, key, length, sent = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    notify = len(sys.argv) > 5 and sys.argv[5] == "notify"
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
            if notify:
                serve_notify(conn, raw, sent)
                continue
            serve(conn, length, sent)
            # Closing the descriptor under the TLS object sends no close_notify.
            raw_fd = conn.detach()
            socket.socket(fileno=raw_fd).close()
        except (ssl.SSLError, OSError):
            raw.close()


if __name__ == "__main__":
    main()

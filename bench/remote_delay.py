#!/usr/bin/env python3
"""A TCP relay on loopback that holds every chunk for a fixed time in each
direction, for measuring a round trip's cost where tc netem is missing.

Usage: remote_delay.py LISTEN_PORT TARGET_PORT ONE_WAY_SECONDS
Serves one connection, then ends.
"""
import socket
import sys
import threading
import time


def pump(source, target, delay):
    while True:
        try:
            chunk = source.recv(65536)
            # Acknowledged at once, as quelmar-cli does: the port server's
            # Nagle rule would otherwise hold the rest of a reply for our
            # delayed acknowledgement, and the relay would measure that.
            source.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)
        except OSError:
            chunk = b""
        due = time.monotonic() + delay
        # A busy wait: sleep() alone overshoots half a millisecond by more
        # than the delay itself.
        while time.monotonic() < due:
            pass
        if not chunk:
            try:
                target.shutdown(socket.SHUT_WR)
            except OSError:
                pass
            return
        try:
            target.sendall(chunk)
        except OSError:
            return


def main():
    listen_port, target_port, delay = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", listen_port))
    server.listen(1)
    client, _ = server.accept()
    upstream = socket.create_connection(("127.0.0.1", target_port))
    for s in (client, upstream):
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    threads = [threading.Thread(target=pump, args=(client, upstream, delay)),
               threading.Thread(target=pump, args=(upstream, client, delay))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


if __name__ == "__main__":
    main()

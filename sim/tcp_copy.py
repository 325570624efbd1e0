#!/usr/bin/env python3
"""An exact TCP transfer, for the demo and the end-to-end tests: every byte
of a file, checked at the far end.

    tcp_copy.py serve PORT            receives one transfer, answers its SHA-256
    tcp_copy.py send HOST PORT FILE   sends FILE, then compares the answer

The sender closes its direction when the file is out and waits for the
receiver's digest: when "send" succeeds, the receiving program has read every
byte (unlike a throughput tool, which may end its test with data in flight).
"""
import hashlib
import socket
import sys
import time


def serve(port):
    with socket.create_server(("0.0.0.0", port)) as listener:
        listener.settimeout(60)
        connection, _ = listener.accept()
        with connection:
            connection.settimeout(120)
            digest, total = hashlib.sha256(), 0
            while True:
                chunk = connection.recv(65536)
                if not chunk:
                    break
                digest.update(chunk)
                total += len(chunk)
            connection.sendall(f"{total} {digest.hexdigest()}\n".encode())
    return 0


def send(host, port, path):
    data = open(path, "rb").read()
    expected = f"{len(data)} {hashlib.sha256(data).hexdigest()}"
    for _ in range(50):  # the receiver may still be starting
        try:
            connection = socket.create_connection((host, port), timeout=5)
            break
        except OSError:
            time.sleep(0.1)
    else:
        print("tcp_copy: cannot connect", file=sys.stderr)
        return 1
    start = time.monotonic()
    with connection:
        connection.settimeout(120)
        connection.sendall(data)
        connection.shutdown(socket.SHUT_WR)
        answer = connection.makefile().readline().strip()
    seconds = time.monotonic() - start
    if answer != expected:
        print(f"tcp_copy: sent {expected}, the receiver got {answer or 'nothing'}", file=sys.stderr)
        return 1
    kbps = len(data) * 8 / seconds / 1000 if seconds > 0 else 0
    print(f"{len(data)} bytes intact in {seconds:.1f} s: {kbps:.0f} kbit/s")
    return 0


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "serve":
        sys.exit(serve(int(sys.argv[2])))
    if len(sys.argv) == 5 and sys.argv[1] == "send":
        sys.exit(send(sys.argv[2], int(sys.argv[3]), sys.argv[4]))
    print(__doc__, file=sys.stderr)
    sys.exit(2)

#!/usr/bin/env python3
"""A stand-in for the authentication helper of dial-in modem calls.

It connects to the server's authentication port, sends the records given
on its command line, then prints every record it receives within the time
allowed, one line each, and exits. Records are packed and read with
struct, big-endian, from the published layout of the link:

  header    size, type, session (32-bit words; size counts the header)
  voauth    140 bytes: header, user name (64 bytes), password (64 bytes)
  voacct     64 bytes: header, 12 unused bytes, octets out, octets in,
            packets out, packets in (64-bit each), session time, unused
  accept     16 bytes: header, 1
  ip         36 bytes: header, 0, remote address, netmask, gateway, DNS
            (IPv4, network order), MTU

Usage: auth_peer.py HOST:PORT [--expect N] [--timeout S] RECORD...
  voauth:SESSION:USER:PASSWORD
  voacct:SESSION:OCTETS_OUT:OCTETS_IN:PACKETS_OUT:PACKETS_IN:TIME
Printed: "accept SESSION VALUE", "ip SESSION REMOTE MASK GATEWAY DNS MTU",
"other SIZE TYPE SESSION".
"""
import argparse
import socket
import struct
import sys
import time

HEADER = struct.Struct(">IIi")
VOAUTH = struct.Struct(">IIi64s64s")
VOACCT = struct.Struct(">IIi12sQQQQII")
ACCEPT = struct.Struct(">IIiI")
IP = struct.Struct(">IIiI4s4s4s4sI")


def pack(text):
    kind, *fields = text.split(":")
    if kind == "voauth":
        session, user, password = fields
        return VOAUTH.pack(VOAUTH.size, 1, int(session), user.encode(), password.encode())
    if kind == "voacct":
        session, *counters = (int(f) for f in fields)
        return VOACCT.pack(VOACCT.size, 4, session, b"", *counters[:4], counters[4], 0)
    raise ValueError("unknown record " + kind)


def describe(record):
    size, kind, session = HEADER.unpack_from(record)
    if kind == 2 and size == ACCEPT.size:
        return "accept %d %d" % (session, ACCEPT.unpack(record)[3])
    if kind == 3 and size == IP.size:
        fields = IP.unpack(record)
        addresses = [socket.inet_ntoa(a) for a in fields[4:8]]
        return "ip %d %s %d" % (session, " ".join(addresses), fields[8])
    return "other %d %d %d" % (size, kind, session)


def read_exactly(sock, size, deadline):
    data = b""
    while len(data) < size:
        left = deadline - time.monotonic()
        if left <= 0:
            return None
        sock.settimeout(left)
        try:
            chunk = sock.recv(size - len(data))
        except socket.timeout:
            return None
        if not chunk:
            return None
        data += chunk
    return data


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("address")
    parser.add_argument("--expect", type=int, default=0)
    parser.add_argument("--timeout", type=float, default=5.0)
    parser.add_argument("records", nargs="*")
    args = parser.parse_intermixed_args()
    host, port = args.address.rsplit(":", 1)
    sock = socket.create_connection((host, int(port)), timeout=args.timeout)
    for text in args.records:
        sock.sendall(pack(text))
    print("sent %d" % len(args.records), flush=True)
    deadline = time.monotonic() + args.timeout
    for _ in range(args.expect):
        head = read_exactly(sock, 4, deadline)
        if head is None:
            break
        size = struct.unpack(">I", head)[0]
        rest = read_exactly(sock, size - 4, deadline)
        if rest is None:
            break
        print(describe(head + rest), flush=True)
    sock.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
# pyserial's own RFC 2217 server (serial.rfc2217.PortManager, Debian's python3-serial) in front
# of one device, as a peer the tests did not write: one client at a time on 127.0.0.1:PORT, the
# device opened for each client and closed after it, so that nothing holds it in between.
#   rfc2217-server.py DEVICE PORT
import socket
import sys

import serial
import serial.rfc2217


class Device(serial.Serial):
    # A pseudo-terminal has no modem lines, which the manager reports to the client.
    cts = dsr = ri = cd = False


class Connection:
    def __init__(self, client):
        self.write = client.sendall


server = socket.create_server(("127.0.0.1", int(sys.argv[2])))
while True:
    client, _ = server.accept()
    client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    with Device(sys.argv[1], 9600) as device, client:
        manager = serial.rfc2217.PortManager(device, Connection(client))
        try:
            while data := client.recv(1024):
                device.write(b"".join(manager.filter(data)))
        except OSError:
            pass

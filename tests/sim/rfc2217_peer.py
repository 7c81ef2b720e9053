"""Drives velmora-sim through pyserial's RFC 2217 client, as an independent peer.

Usage: rfc2217_peer.py PORT BOOT_PROGRAM_HEX
Prints one line per step: "<step> <hex of what came back>".
"""
import sys
import time

import serial

port, program = sys.argv[1], bytes.fromhex(sys.argv[2])


def show(step, data):
    print(step, data.hex(), flush=True)


def frame(ftype, data):
    return bytes([ftype, len(data), ftype ^ len(data)]) + bytes(data)


def service(msg):
    check = 0
    for b in msg:
        check ^= b
    return frame(0x14, bytes(msg) + bytes([check]))


s = serial.serial_for_url('rfc2217://127.0.0.1:%s' % port, baudrate=19200, bytesize=8,
                          parity=serial.PARITY_EVEN, stopbits=1, timeout=0.5)
s.dtr = True
time.sleep(0.06)
s.write(b'\x55')
show('sync', s.read(1))
s.dtr = False
check = 0
for b in program:
    check ^= b
s.write(bytes([len(program)]) + program + bytes([check]))
show('boot', s.read(1))
s.parity = serial.PARITY_NONE
s.baudrate = 57600
time.sleep(0.1)
s.write(frame(2, [0x14]))
show('ping', s.read(5))
s.write(frame(5, [0x3F]))
show('mode', s.read(6))
# 0xFF in both directions: the data must survive telnet's escaping.
s.write(service([0x01, 0x64, 0x00, 0x04, 0x00, 0x01]))
show('create', s.read(5))
s.write(service([0x02, 0x64, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0xFF]))
show('write', s.read(5))
s.write(service([0x03, 0x64, 0x00]))
show('close', s.read(5))
s.write(service([0x04, 0x64, 0x00, 0x00, 0x00, 0x04, 0x00]))
show('read', s.read(9))
# At 19200 the handset's answers are noise to this port.
s.baudrate = 19200
s.write(frame(2, [0x14]))
show('wrongbaud', s.read(5))
s.baudrate = 57600
# Half a frame, then the client vanishes.
s.write(bytes([0x14, 0x07, 0x13, 0x01]))
s.close()

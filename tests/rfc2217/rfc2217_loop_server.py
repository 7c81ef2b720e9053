#!/usr/bin/python3
"""RFC 2217 server around a loop:// port, for the client's tests.

Listens on 127.0.0.1 (port chosen by the system) and prints "PORT <n>". Serves one client at a
time; what the client writes comes back from the loop. Commands on stdin, one a line:
  state  -> prints "STATE baud=<n> bytesize=<n> parity=<N|E|O|M|S> stopbits=<n> dtr=<0|1> rts=<0|1>"
  drop   -> closes the client's connection, prints "DROPPED"
  quit   -> ends
"""
import socket
import sys
import threading

import serial
import serial.rfc2217


class Connection:
    def __init__(self, sock):
        self.sock = sock
        self.lock = threading.Lock()

    def write(self, data):
        with self.lock:
            try:
                self.sock.sendall(data)
            except OSError:
                pass


def main():
    port = serial.serial_for_url('loop://', timeout=0.05)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(('127.0.0.1', 0))
    listener.listen(1)
    current = {'sock': None}

    def serve():
        while True:
            sock, _ = listener.accept()
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            connection = Connection(sock)
            manager = serial.rfc2217.PortManager(port, connection)
            current['sock'] = sock
            alive = [True]

            def loop_to_network():
                while alive[0]:
                    data = port.read(port.in_waiting or 1)
                    if data:
                        connection.write(b''.join(manager.escape(data)))

            reader = threading.Thread(target=loop_to_network, daemon=True)
            reader.start()
            try:
                while True:
                    data = sock.recv(4096)
                    if not data:
                        break
                    port.write(b''.join(manager.filter(data)))
            except OSError:
                pass
            alive[0] = False
            reader.join()
            sock.close()

    threading.Thread(target=serve, daemon=True).start()
    print('PORT %d' % listener.getsockname()[1], flush=True)
    for line in sys.stdin:
        command = line.strip()
        if command == 'state':
            print('STATE baud=%d bytesize=%d parity=%s stopbits=%s dtr=%d rts=%d' % (
                port.baudrate, port.bytesize, port.parity, port.stopbits, port.dtr, port.rts),
                flush=True)
        elif command == 'drop':
            sock = current['sock']
            if sock is not None:
                try:
                    sock.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
            print('DROPPED', flush=True)
        elif command == 'quit':
            break


if __name__ == '__main__':
    main()

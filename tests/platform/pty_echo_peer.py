"""The far end of a COM port for the Windows serial tests: opens a pseudo-terminal pair, prints
the slave's path, and echoes every byte that arrives on it until killed."""
import os
import select
import sys
import termios
import tty

master, slave = os.openpty()
tty.setraw(slave)
name = os.ttyname(slave)
print(name, flush=True)
# The slave stays open here too, so the pair lives while the tested program opens and closes it.
while True:
    ready, _, _ = select.select([master], [], [], 1.0)
    if not ready:
        continue
    try:
        data = os.read(master, 4096)
    except OSError:
        continue
    if data:
        os.write(master, data)

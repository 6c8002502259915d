#!/usr/bin/env python3
"""Two pseudo-terminals joined as a null-modem cable: what is written to one is read from the
other. Prints the two device paths on one line, then carries bytes until it is ended. Under
Wine each path becomes a COM port, so that tessel-sim.exe and tessel.exe can talk as they
would through a virtual null-modem pair on Windows."""
import os
import select
import signal
import sys
import tty

ends = []
for _ in range(2):
    master, slave = os.openpty()
    # Raw, so that no byte is echoed or changed before the far end has set its own mode; the
    # slave stays open here, so that a program closing its end does not hang the pair up.
    tty.setraw(slave)
    ends.append((master, slave, os.ttyname(slave)))
print(ends[0][2], ends[1][2], flush=True)
signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
masters = [ends[0][0], ends[1][0]]
while True:
    ready, _, _ = select.select(masters, [], [])
    for m in ready:
        try:
            data = os.read(m, 4096)
        except OSError:
            continue
        other = masters[1] if m == masters[0] else masters[0]
        while data:
            data = data[os.write(other, data):]

#!/usr/bin/python3
"""Asks X11 windows to close the way a window manager's close button does
(a WM_DELETE_WINDOW message), so the program shuts down as it does for a
person. xdotool's windowclose destroys the window instead, which a program
never sees as a close.

    xclose.py WINDOW_ID [WINDOW_ID ...]      (DISPLAY must be set)
"""
import sys

from Xlib import X, display, protocol


def main(ids):
    d = display.Display()
    protocols = d.intern_atom("WM_PROTOCOLS")
    delete = d.intern_atom("WM_DELETE_WINDOW")
    for wid in ids:
        window = d.create_resource_object("window", int(wid, 0))
        event = protocol.event.ClientMessage(
            window=window, client_type=protocols,
            data=(32, [delete, X.CurrentTime, 0, 0, 0]))
        window.send_event(event, event_mask=X.NoEventMask)
    d.flush()
    d.close()


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    main(sys.argv[1:])

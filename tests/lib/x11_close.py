#!/usr/bin/env python3
"""Asks an X11 window to close the way a window manager's close button does:
a WM_DELETE_WINDOW client message (ICCCM 4.2.8.1). Destroying the window or
killing its client instead would not let the program end on its own.

    x11_close.py WINDOW_ID       (uses $DISPLAY)

or, imported, close_window(window, display=None).
"""
import ctypes
import ctypes.util
import sys

CLIENT_MESSAGE = 33
NO_EVENT_MASK = 0
CURRENT_TIME = 0


class XClientMessageEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int),
                ("serial", ctypes.c_ulong),
                ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p),
                ("window", ctypes.c_ulong),
                ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int),
                ("data", ctypes.c_long * 5)]


class XEvent(ctypes.Union):
    _fields_ = [("xclient", XClientMessageEvent), ("pad", ctypes.c_long * 24)]


def _xlib():
    xlib = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
    xlib.XOpenDisplay.restype = ctypes.c_void_p
    xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
    xlib.XInternAtom.restype = ctypes.c_ulong
    xlib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    xlib.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                                ctypes.POINTER(XEvent)]
    xlib.XFlush.argtypes = [ctypes.c_void_p]
    xlib.XCloseDisplay.argtypes = [ctypes.c_void_p]
    return xlib


def close_window(window, display=None):
    """Sends WM_DELETE_WINDOW to `window` (an X window id) on `display` (a
    display name such as ":1"; None is $DISPLAY). Returns whether XSendEvent
    succeeded; raises OSError if the display cannot be opened."""
    xlib = _xlib()
    connection = xlib.XOpenDisplay(display.encode() if display is not None else None)
    if not connection:
        raise OSError("cannot open the display%s" % (" " + display if display else ""))
    event = XEvent()
    event.xclient.type = CLIENT_MESSAGE
    event.xclient.window = window
    event.xclient.message_type = xlib.XInternAtom(connection, b"WM_PROTOCOLS", False)
    event.xclient.format = 32
    event.xclient.data[0] = xlib.XInternAtom(connection, b"WM_DELETE_WINDOW", False)
    event.xclient.data[1] = CURRENT_TIME
    sent = xlib.XSendEvent(connection, window, False, NO_EVENT_MASK, ctypes.byref(event))
    xlib.XFlush(connection)
    xlib.XCloseDisplay(connection)
    return bool(sent)


def main():
    window = int(sys.argv[1], 0)
    try:
        sent = close_window(window)
    except OSError:
        sys.exit("x11_close: cannot open the display")
    if not sent:
        sys.exit("x11_close: XSendEvent failed")


if __name__ == "__main__":
    main()

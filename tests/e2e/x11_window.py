#!/usr/bin/python3
"""What the end-to-end test does to windows that xdotool cannot, through libX11.

  x11_window.py close WINDOW    presses its close button: a WM_DELETE_WINDOW message, as
      a window manager sends (xdotool's windowclose destroys the window instead)
"""
import ctypes
import sys

ulong, c_int, pointer = ctypes.c_ulong, ctypes.c_int, ctypes.c_void_p

xlib = ctypes.cdll.LoadLibrary("libX11.so.6")
xlib.XOpenDisplay.restype = pointer
xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
xlib.XInternAtom.restype = ulong
xlib.XInternAtom.argtypes = [pointer, ctypes.c_char_p, c_int]
xlib.XSendEvent.argtypes = [pointer, ulong, c_int, ctypes.c_long, pointer]
xlib.XSync.argtypes = [pointer, c_int]


class ClientMessage(ctypes.Structure):
    _fields_ = [("type", c_int), ("serial", ulong), ("send_event", c_int), ("display", pointer),
                ("window", ulong), ("message_type", ulong), ("format", c_int),
                ("data", ctypes.c_long * 5), ("pad", ctypes.c_long * 12)]


def close(window):
    display = xlib.XOpenDisplay(None) or sys.exit("x11_window.py: cannot open the display")
    atom = lambda name: xlib.XInternAtom(display, name, 0)
    event = ClientMessage(type=33, window=window, message_type=atom(b"WM_PROTOCOLS"), format=32)
    event.data[0] = atom(b"WM_DELETE_WINDOW")
    sent = xlib.XSendEvent(display, window, 0, 0, ctypes.byref(event))
    xlib.XSync(display, 0)
    return 0 if sent else 1


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] != "close":
        sys.exit(__doc__)
    sys.exit(close(int(sys.argv[2], 0)))

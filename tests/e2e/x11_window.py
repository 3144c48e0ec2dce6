#!/usr/bin/python3
"""What the end-to-end test does to windows that xdotool cannot, through libX11.

  x11_window.py close WINDOW    presses its close button: a WM_DELETE_WINDOW message, as
      a window manager sends (xdotool's windowclose destroys the window instead)
  x11_window.py digest WINDOW   prints a digest of the pixels the window shows
  x11_window.py blink WINDOW STEADY_DIGEST SECONDS   exits 1 unless the window
      alternates between the steady image and one other every 500 ms
"""
import ctypes
import hashlib
import sys
import time

ulong, c_int, c_uint, pointer = ctypes.c_ulong, ctypes.c_int, ctypes.c_uint, ctypes.c_void_p


class Image(ctypes.Structure):  # the leading fields of XImage
    _fields_ = [("size", c_int * 4), ("data", pointer), ("layout", c_int * 6)]


xlib = ctypes.cdll.LoadLibrary("libX11.so.6")
xlib.XOpenDisplay.restype = pointer
xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
xlib.XInternAtom.restype = ulong
xlib.XInternAtom.argtypes = [pointer, ctypes.c_char_p, c_int]
xlib.XSendEvent.argtypes = [pointer, ulong, c_int, ctypes.c_long, pointer]
xlib.XGetGeometry.argtypes = [pointer, ulong] + [pointer] * 7
xlib.XGetImage.restype = ctypes.POINTER(Image)
xlib.XFree.argtypes = [pointer]
xlib.XGetImage.argtypes = [pointer, ulong, c_int, c_int, c_uint, c_uint, ulong, c_int]
xlib.XSync.argtypes = [pointer, c_int]
display = xlib.XOpenDisplay(None) or sys.exit("x11_window.py: cannot open the display")


class ClientMessage(ctypes.Structure):
    _fields_ = [("type", c_int), ("serial", ulong), ("send_event", c_int), ("display", pointer),
                ("window", ulong), ("message_type", ulong), ("format", c_int),
                ("data", ctypes.c_long * 5), ("pad", ctypes.c_long * 12)]


def close(window):
    atom = lambda name: xlib.XInternAtom(display, name, 0)
    event = ClientMessage(type=33, window=window, message_type=atom(b"WM_PROTOCOLS"), format=32)
    event.data[0] = atom(b"WM_DELETE_WINDOW")
    sent = xlib.XSendEvent(display, window, 0, 0, ctypes.byref(event))
    xlib.XSync(display, 0)
    return 0 if sent else 1


def digest(window):
    geometry = [ulong(), c_int(), c_int(), c_uint(), c_uint(), c_uint(), c_uint()]  # root, x, y, w, h...
    image = xlib.XGetGeometry(display, window, *map(ctypes.byref, geometry)) and xlib.XGetImage(
        display, window, 0, 0, geometry[3], geometry[4], 0xFFFFFFFF, 2)
    if not image:
        sys.exit("x11_window.py: window %#x cannot be read (gone, or not viewable?)" % window)
    bytes_per_line = image.contents.layout[5]
    pixels = ctypes.string_at(image.contents.data, bytes_per_line * geometry[4].value)
    # XDestroyImage is a macro: the image's two blocks are freed one by one.
    xlib.XFree(image.contents.data)
    xlib.XFree(image)
    return hashlib.sha1(pixels).hexdigest()[:12]


def blink(window, steady, seconds):
    samples = []
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        samples.append((time.monotonic(), digest(window)))
        time.sleep(0.025)
    changes = [t for (t, d), (_, before) in zip(samples[1:], samples) if d != before]
    gaps = sorted(round((b - a) * 1000) for a, b in zip(changes, changes[1:]))
    images = {d for _, d in samples}
    print("images seen: %s (steady %s); ms between changes: %s" % (images, steady, gaps))
    # The median gap: on a loaded machine one tick may come late and the next
    # on time, which is still a 500 ms blink.
    return 0 if (len(images) == 2 and steady in images and len(changes) >= 4
                 and abs(gaps[len(gaps) // 2] - 500) <= 200) else 1


if __name__ == "__main__":
    command, arguments = sys.argv[1] if len(sys.argv) > 2 else "", sys.argv[2:]
    if command == "close" and len(arguments) == 1:
        sys.exit(close(int(arguments[0], 0)))
    elif command == "digest" and len(arguments) == 1:
        print(digest(int(arguments[0], 0)))
    elif command == "blink" and len(arguments) == 3:
        sys.exit(blink(int(arguments[0], 0), arguments[1], float(arguments[2])))
    else:
        sys.exit(__doc__)

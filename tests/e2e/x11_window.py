#!/usr/bin/python3
"""What the end-to-end test does to windows that xdotool cannot, through
libX11 on the display named by DISPLAY. WINDOW is a decimal or 0x... id.

  x11_window.py close WINDOW
      presses the window's close button as a window manager does: sends it the
      WM_PROTOCOLS client message with WM_DELETE_WINDOW (the test display has
      no window manager, and xdotool's windowclose destroys the window instead)
  x11_window.py digest WINDOW
      prints a digest of the pixels the window shows
  x11_window.py settle START_FILE SECONDS
      measures how long copies take to settle into the tray (the top-level
      "Kestrane" window unmapped, the icon embedded and viewable). Creates
      START_FILE.ready once it watches the display, then waits for START_FILE:
      the start time (nanoseconds since the epoch) and the copies' pids on one
      line. Prints, per pid, the milliseconds from the start to the first
      sight of it settled, or -1 after SECONDS. Started before the copies, so
      its own start-up is not measured, and one light process polling, so
      that the measuring does not slow the start it measures
  x11_window.py blink WINDOW STEADY_DIGEST SECONDS
      samples the window every 25 ms and checks that it alternates between the
      steady image and one other image every 500 ms; prints what it saw and
      exits 1 when it does not blink so
"""
import ctypes
import ctypes.util
import hashlib
import os
import sys
import time

CLIENT_MESSAGE = 33
NO_EVENT_MASK = 0
Z_PIXMAP = 2
ALL_PLANES = 0xFFFFFFFF

BLINK_PERIOD_MS = 500
# Sampling and a loaded machine shift each change a little; a stuck or
# doubled phase falls well outside.
BLINK_TOLERANCE_MS = 200
MINIMUM_CHANGES = 4


class ClientMessage(ctypes.Structure):
    _fields_ = [
        ("type", ctypes.c_int),
        ("serial", ctypes.c_ulong),
        ("send_event", ctypes.c_int),
        ("display", ctypes.c_void_p),
        ("window", ctypes.c_ulong),
        ("message_type", ctypes.c_ulong),
        ("format", ctypes.c_int),
        ("data", ctypes.c_long * 5),
    ]


class Event(ctypes.Union):
    # XEvent is padded to 24 longs; XSendEvent copies that much.
    _fields_ = [("client", ClientMessage), ("pad", ctypes.c_long * 24)]


class Image(ctypes.Structure):
    # The leading fields of XImage, up to the ones read here.
    _fields_ = [
        ("width", ctypes.c_int),
        ("height", ctypes.c_int),
        ("xoffset", ctypes.c_int),
        ("format", ctypes.c_int),
        ("data", ctypes.c_void_p),
        ("byte_order", ctypes.c_int),
        ("bitmap_unit", ctypes.c_int),
        ("bitmap_bit_order", ctypes.c_int),
        ("bitmap_pad", ctypes.c_int),
        ("depth", ctypes.c_int),
        ("bytes_per_line", ctypes.c_int),
    ]


class Attributes(ctypes.Structure):
    # XWindowAttributes.
    _fields_ = [
        ("x", ctypes.c_int),
        ("y", ctypes.c_int),
        ("width", ctypes.c_int),
        ("height", ctypes.c_int),
        ("border_width", ctypes.c_int),
        ("depth", ctypes.c_int),
        ("visual", ctypes.c_void_p),
        ("root", ctypes.c_ulong),
        ("window_class", ctypes.c_int),
        ("bit_gravity", ctypes.c_int),
        ("win_gravity", ctypes.c_int),
        ("backing_store", ctypes.c_int),
        ("backing_planes", ctypes.c_ulong),
        ("backing_pixel", ctypes.c_ulong),
        ("save_under", ctypes.c_int),
        ("colormap", ctypes.c_ulong),
        ("map_installed", ctypes.c_int),
        ("map_state", ctypes.c_int),
        ("all_event_masks", ctypes.c_long),
        ("your_event_mask", ctypes.c_long),
        ("do_not_propagate_mask", ctypes.c_long),
        ("override_redirect", ctypes.c_int),
        ("screen", ctypes.c_void_p),
    ]


IS_VIEWABLE = 2
XA_CARDINAL = 6
ERROR_HANDLER = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)


class Display:
    def __init__(self):
        self.xlib = ctypes.cdll.LoadLibrary(ctypes.util.find_library("X11") or "libX11.so.6")
        x = self.xlib
        x.XOpenDisplay.restype = ctypes.c_void_p
        x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x.XInternAtom.restype = ctypes.c_ulong
        x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                                 ctypes.POINTER(Event)]
        x.XGetWindowAttributes.argtypes = [ctypes.c_void_p, ctypes.c_ulong,
                                           ctypes.POINTER(Attributes)]
        x.XGetImage.restype = ctypes.POINTER(Image)
        x.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                                ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
        x.XFree.argtypes = [ctypes.c_void_p]
        x.XDefaultRootWindow.restype = ctypes.c_ulong
        x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        x.XQueryTree.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong),
                                 ctypes.POINTER(ctypes.c_ulong),
                                 ctypes.POINTER(ctypes.POINTER(ctypes.c_ulong)),
                                 ctypes.POINTER(ctypes.c_uint)]
        x.XGetWindowProperty.argtypes = [
            ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_long, ctypes.c_long,
            ctypes.c_int, ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong),
            ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_ulong),
            ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_void_p)]
        x.XFetchName.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_char_p)]
        x.XSetErrorHandler.argtypes = [ERROR_HANDLER]
        x.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
        x.XCloseDisplay.argtypes = [ctypes.c_void_p]
        self.handle = x.XOpenDisplay(None)
        if not self.handle:
            sys.exit("x11_window.py: cannot open the display")
        self.pid_atom = x.XInternAtom(self.handle, b"_NET_WM_PID", 0)

    def ignore_errors(self):
        # Windows come and go while the tree is walked: a vanished one is no failure.
        self.error_handler = ERROR_HANDLER(lambda display, event: 0)
        self.xlib.XSetErrorHandler(self.error_handler)

    def children(self, window):
        root, parent = ctypes.c_ulong(), ctypes.c_ulong()
        children, count = ctypes.POINTER(ctypes.c_ulong)(), ctypes.c_uint()
        if not self.xlib.XQueryTree(self.handle, window, ctypes.byref(root), ctypes.byref(parent),
                                    ctypes.byref(children), ctypes.byref(count)):
            return []
        found = [children[i] for i in range(count.value)]
        if children:
            self.xlib.XFree(children)
        return found

    def pid(self, window):
        kind, size = ctypes.c_ulong(), ctypes.c_int()
        count, after, data = ctypes.c_ulong(), ctypes.c_ulong(), ctypes.c_void_p()
        status = self.xlib.XGetWindowProperty(
            self.handle, window, self.pid_atom, 0, 1, 0, XA_CARDINAL, ctypes.byref(kind),
            ctypes.byref(size), ctypes.byref(count), ctypes.byref(after), ctypes.byref(data))
        if status != 0 or not data:
            return None
        value = ctypes.cast(data, ctypes.POINTER(ctypes.c_ulong))[0] if count.value else None
        self.xlib.XFree(data)
        return value

    def name(self, window):
        text = ctypes.c_char_p()
        if not self.xlib.XFetchName(self.handle, window, ctypes.byref(text)) or not text.value:
            return ""
        value = text.value.decode(errors="replace")
        self.xlib.XFree(text)
        return value

    def viewable(self, window):
        attributes = Attributes()
        if not self.xlib.XGetWindowAttributes(self.handle, window, ctypes.byref(attributes)):
            return False
        return attributes.map_state == IS_VIEWABLE

    def windows_by_pid(self):
        """(window, is top-level) pairs of every window with a _NET_WM_PID, by pid."""
        found = {}
        root = self.xlib.XDefaultRootWindow(self.handle)
        pending = [(child, True) for child in self.children(root)]
        while pending:
            window, top_level = pending.pop()
            pid = self.pid(window)
            if pid is not None:
                found.setdefault(pid, []).append((window, top_level))
            pending.extend((child, False) for child in self.children(window))
        return found

    def settled(self, windows):
        main = [w for w, top in windows if top and self.name(w) == "Kestrane"]
        icons = [w for w, top in windows if not top]
        return (len(main) == 1 and not self.viewable(main[0]) and len(icons) == 1
                and self.viewable(icons[0]))

    def close_window(self, window):
        x = self.xlib
        event = Event()
        event.client.type = CLIENT_MESSAGE
        event.client.window = window
        event.client.message_type = x.XInternAtom(self.handle, b"WM_PROTOCOLS", 0)
        event.client.format = 32
        event.client.data[0] = x.XInternAtom(self.handle, b"WM_DELETE_WINDOW", 0)
        event.client.data[1] = 0  # CurrentTime
        sent = x.XSendEvent(self.handle, window, 0, NO_EVENT_MASK, ctypes.byref(event))
        x.XSync(self.handle, 0)
        return bool(sent)

    def digest(self, window):
        x = self.xlib
        attributes = Attributes()
        if not x.XGetWindowAttributes(self.handle, window, ctypes.byref(attributes)):
            sys.exit("x11_window.py: no window %#x" % window)
        image = x.XGetImage(self.handle, window, 0, 0, attributes.width, attributes.height,
                            ALL_PLANES, Z_PIXMAP)
        if not image:
            sys.exit("x11_window.py: window %#x cannot be read (not viewable?)" % window)
        size = image.contents.bytes_per_line * image.contents.height
        pixels = ctypes.string_at(image.contents.data, size)
        # XDestroyImage is a macro; the image's two blocks are freed one by one.
        x.XFree(image.contents.data)
        x.XFree(image)
        return hashlib.sha1(pixels).hexdigest()[:12]


def blink(display, window, steady, seconds):
    samples = []
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        samples.append((time.monotonic(), display.digest(window)))
        time.sleep(0.025)
    images = sorted({digest for _, digest in samples})
    changes = [t for (t, d), (_, before) in zip(samples[1:], samples) if d != before]
    gaps = [round((b - a) * 1000) for a, b in zip(changes, changes[1:])]
    print("images seen: %s (steady %s); changes: %d; ms between changes: %s"
          % (images, steady, len(changes), gaps))
    if len(images) != 2 or steady not in images:
        print("the icon does not alternate between the steady image and one other")
        return 1
    if len(changes) < MINIMUM_CHANGES:
        print("the icon changed fewer than %d times" % MINIMUM_CHANGES)
        return 1
    # The median, not every gap: on a loaded machine (or under sanitizers) one
    # tick may come late and the next on time, which is still a 500 ms blink.
    median = sorted(gaps)[len(gaps) // 2]
    if abs(median - BLINK_PERIOD_MS) > BLINK_TOLERANCE_MS:
        print("the icon does not change every %d ms" % BLINK_PERIOD_MS)
        return 1
    return 0


def settle(display, start_file, seconds):
    display.ignore_errors()
    display.windows_by_pid()
    open(start_file + ".ready", "w").close()
    give_up = time.monotonic() + 60
    while not os.path.exists(start_file):
        if time.monotonic() > give_up:
            sys.exit("x11_window.py: no start was announced")
        time.sleep(0.005)
    with open(start_file) as start:
        numbers = [int(word) for word in start.read().split()]
    started_ns, pids = numbers[0], numbers[1:]
    settled = {}
    deadline = time.monotonic() + seconds
    while len(settled) < len(pids) and time.monotonic() < deadline:
        windows = display.windows_by_pid()
        now = time.time_ns()
        for pid in pids:
            if pid not in settled and display.settled(windows.get(pid, [])):
                settled[pid] = (now - started_ns) // 1000000
        time.sleep(0.02)
    print(" ".join(str(settled.get(pid, -1)) for pid in pids))
    return 0 if len(settled) == len(pids) else 1


def main(arguments):
    if len(arguments) < 2:
        sys.exit(__doc__)
    command = arguments[0]
    display = Display()
    if command == "settle" and len(arguments) == 3:
        return settle(display, arguments[1], float(arguments[2]))
    window = int(arguments[1], 0)
    if command == "close" and len(arguments) == 2:
        return 0 if display.close_window(window) else 1
    if command == "digest" and len(arguments) == 2:
        print(display.digest(window))
        return 0
    if command == "blink" and len(arguments) == 4:
        return blink(display, window, arguments[2], float(arguments[3]))
    sys.exit(__doc__)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

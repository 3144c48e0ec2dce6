"""What a screen reader learns of a running copy, through AT-SPI.
  screen_reader.py window PID TITLE   the window of process PID whose name
      matches the regex TITLE: "ROLE: NAME", then one such line per control a
      user can reach in it (those not showing left out)
  screen_reader.py announced TEXT READY   waits up to 10 s for an object of
      role notification to show with TEXT in its name; touches READY once it
      listens. Exit status 0 when it came."""
import re
import sys

import pyatspi
from gi.repository import GLib


def window(pid, title):
    for app in pyatspi.Registry.getDesktop(0):
        if app is None or app.get_process_id() != pid:
            continue
        for top in app:
            if re.search(title, top.name):
                print(f"{top.getRoleName()}: {top.name}")
                for control in top:
                    if control.getState().contains(pyatspi.STATE_VISIBLE):
                        print(f"{control.getRoleName()}: {control.name}")
                return 0
    return 1


def announced(text, ready):
    came = []

    def on_event(event):
        source = event.source
        if event.detail1 == 1 and source.getRole() == pyatspi.ROLE_NOTIFICATION and text in source.name:
            came.append(source.name)
            pyatspi.Registry.stop()

    pyatspi.Registry.registerEventListener(on_event, "object:state-changed:showing")
    # The program learns of the new listener from the registry a moment later.
    GLib.timeout_add(1000, lambda: open(ready, "w").close())
    GLib.timeout_add_seconds(10, pyatspi.Registry.stop)
    pyatspi.Registry.start()
    print("\n".join(came) or "nothing announced")
    return 0 if came else 1


if __name__ == "__main__":
    if sys.argv[1] == "window":
        sys.exit(window(int(sys.argv[2]), sys.argv[3]))
    sys.exit(announced(sys.argv[2], sys.argv[3]))

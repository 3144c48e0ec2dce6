#!/usr/bin/python3
"""The automation client of the end-to-end test, on the session bus it is given.

  automation_client.py PIDFILE GOFILE

Asks the bus for "Tavrin.Application" (the bus starts the program through its
activation file), writes the pid of the copy that serves the name to PIDFILE
once the object exists, holds the object until GOFILE appears, then releases
it and exits. Exits 1, saying why, when a step fails.
"""
import os
import sys
import time

import dbus

NAME = "Tavrin.Application"
CLASS_PATH = "/Tavrin/Application"
HOLD_LIMIT_SECONDS = 120


def fail(text):
    print("automation client: " + text, file=sys.stderr)
    sys.exit(1)


def main(pid_file, go_file):
    bus = dbus.SessionBus()
    try:
        factory = bus.get_object(NAME, CLASS_PATH, introspect=False)
        path = factory.CreateInstance(dbus_interface=NAME + ".ClassFactory")
    except dbus.DBusException as error:
        fail("the create call failed: %s %s" % (error.get_dbus_name(), error.get_dbus_message()))
    driver = bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")
    pid = driver.GetConnectionUnixProcessID(factory.bus_name, dbus_interface="org.freedesktop.DBus")
    with open(pid_file + ".tmp", "w") as out:
        print(int(pid), file=out)
    os.rename(pid_file + ".tmp", pid_file)

    deadline = time.monotonic() + HOLD_LIMIT_SECONDS
    while not os.path.exists(go_file):
        if time.monotonic() > deadline:
            fail("nobody asked for the release")
        time.sleep(0.05)
    instance = bus.get_object(factory.bus_name, path, introspect=False)
    instance.Release(dbus_interface=NAME + ".Object")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])

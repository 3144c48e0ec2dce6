#!/usr/bin/python3
"""An automation client on the session bus it is given.

  automation_client.py PIDFILE GOFILE

Creates the object through the name "Tavrin.Application" (the bus starts the
program through its activation file), writes the pid of the copy serving it
to PIDFILE, holds the object until GOFILE appears (at most 120 s), then
releases it. Killed before that, it leaves the bus holding the object.
"""
import os
import sys
import time

import dbus

NAME = "Tavrin.Application"

if len(sys.argv) != 3:
    sys.exit(__doc__)
pid_file, go_file = sys.argv[1:]
bus = dbus.SessionBus()
try:
    factory = bus.get_object(NAME, "/Tavrin/Application", introspect=False)
    path = factory.CreateInstance(dbus_interface=NAME + ".ClassFactory")
except dbus.DBusException as error:
    sys.exit("the create call failed: %s %s" % (error.get_dbus_name(), error.get_dbus_message()))
driver = bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")
pid = driver.GetConnectionUnixProcessID(factory.bus_name, dbus_interface="org.freedesktop.DBus")
with open(pid_file + ".new", "w") as out:
    print(int(pid), file=out)
os.rename(pid_file + ".new", pid_file)
deadline = time.monotonic() + 120
while not os.path.exists(go_file):
    if time.monotonic() > deadline:
        sys.exit("nobody asked for the release")
    time.sleep(0.05)
bus.get_object(factory.bus_name, path, introspect=False).Release(dbus_interface=NAME + ".Object")

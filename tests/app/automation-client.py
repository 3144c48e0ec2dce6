#!/usr/bin/python3
"""An automation client on the session bus, for automation-in-namespace.sh.

    automation-client.py release|leave|hold|refused [PID_FILE]

Creates the object through the bus name (which may start the program), checks
that the bus started the program for automation, that the dispatch interface
has no members and that the name was given up, prints the program's pid, then:
  release  calls Release and exits;
  leave    exits holding the object (its connection closes);
  hold     keeps the object until it is killed;
  refused  expects the create call to fail and prints the bus's error.
The pid of a program that the bus starts is also appended to PID_FILE at once,
so that the test can end it whatever happens. Exits 1 when a check fails.
"""
import sys
import time

import dbus

NAME = "Tavrin.Application"


def fail(text):
    print("FAIL: " + text, file=sys.stderr)
    sys.exit(1)


def main(mode, pid_file):
    bus = dbus.SessionBus()
    if mode == "refused":
        try:
            bus.get_object(NAME, "/Tavrin/Application", introspect=False)
        except dbus.DBusException as error:
            print(error.get_dbus_name(), error.get_dbus_message())
            return
        fail("the create request reached a running class object")

    factory = bus.get_object(NAME, "/Tavrin/Application", introspect=False)
    owner = factory.bus_name
    driver = bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")
    pid = driver.GetConnectionUnixProcessID(owner, dbus_interface="org.freedesktop.DBus")
    if pid_file:
        with open(pid_file, "a") as pids:
            print(int(pid), file=pids)
    with open("/proc/%d/cmdline" % pid, "rb") as command:
        arguments = command.read().split(b"\0")
    if b"-Automation" not in arguments:
        fail("the bus started something else: %r" % arguments)

    path = factory.CreateInstance(dbus_interface="Tavrin.Application.ClassFactory")
    if bus.name_has_owner(NAME):
        fail("the bus name is still held after the first create")
    instance = bus.get_object(owner, path, introspect=False)
    try:
        instance.Quit(dbus_interface="Tavrin.Application.Dispatch")
        fail("a call to the dispatch interface succeeded")
    except dbus.DBusException as error:
        if error.get_dbus_name() != "org.freedesktop.DBus.Error.UnknownMethod":
            fail("the dispatch call failed with " + error.get_dbus_name())
    print(int(pid), flush=True)

    if mode == "release":
        instance.Release(dbus_interface="Tavrin.Application.Object")
    elif mode == "hold":
        time.sleep(60)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2] if len(sys.argv) > 2 else None)

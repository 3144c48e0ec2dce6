#!/usr/bin/python3
"""A StatusNotifierItem notification area on the session bus, as KDE Plasma's or GNOME's with
AppIndicator is: the watcher, with a host. Writes to LOG "item SERVICE PATH" for each item that
registers, and "icon DIGEST" for its first icon and each new one.
  status_notifier_host.py LOG"""
import hashlib
import sys

from gi.repository import Gio, GLib

WATCHER = Gio.DBusNodeInfo.new_for_xml(
    "<node><interface name='org.kde.StatusNotifierWatcher'><method name='RegisterStatusNotifierItem'>"
    "<arg type='s' direction='in'/></method><property name='IsStatusNotifierHostRegistered' "
    "type='b' access='read'/></interface></node>").interfaces[0]
ITEM = "org.kde.StatusNotifierItem"
bus = Gio.bus_get_sync(Gio.BusType.SESSION)
log = open(sys.argv[1], "a", buffering=1)


def record_icon(service, path):  # no blocking call: the item asks the watcher while it answers
    def record(_, answer):
        pixels = bus.call_finish(answer).get_data_as_bytes().get_data()
        print("icon", hashlib.sha1(pixels).hexdigest()[:12], file=log)
    bus.call(service, path, "org.freedesktop.DBus.Properties", "Get",
             GLib.Variant("(ss)", (ITEM, "IconPixmap")), None, 0, 5000, None, record)


def register(connection, sender, path, interface, method, arguments, invocation):
    invocation.return_value(None)
    named = arguments[0]  # the item's service, or its path on the caller's connection
    service, item = (sender, named) if named.startswith("/") else (named, "/StatusNotifierItem")
    print("item", service, item, file=log)
    bus.signal_subscribe(service, ITEM, "NewIcon", item, None, 0, lambda *_: record_icon(service, item))
    record_icon(service, item)


bus.register_object("/StatusNotifierWatcher", WATCHER, register, lambda *_: GLib.Variant("b", True), None)
Gio.bus_own_name_on_connection(bus, "org.kde.StatusNotifierWatcher", 0,
                               lambda *_: print("watching", file=log), None)
GLib.MainLoop().run()

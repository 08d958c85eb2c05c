"""A small StatusNotifierWatcher, the service through which a desktop's panel
learns about tray icons: it accepts registrations on the session bus and
prints one line per event ("ready", "registered SERVICE", "gone SERVICE") so
a test can follow the program's tray icon.

Usage: /usr/bin/python3 sni_watcher.py   (DBUS_SESSION_BUS_ADDRESS set)
"""
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

WATCHER = "org.kde.StatusNotifierWatcher"


def say(text):
    print(text, flush=True)


class Watcher(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, "/StatusNotifierWatcher")
        self.bus = bus
        self.items = []
        bus.add_signal_receiver(self.owner_changed, "NameOwnerChanged",
                                "org.freedesktop.DBus")

    @dbus.service.method(WATCHER, in_signature="s", out_signature="", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender=None):
        name = service if service.startswith(":") or "." in service else sender
        self.items.append(name)
        self.StatusNotifierItemRegistered(name)
        say("registered " + name)

    @dbus.service.method(WATCHER, in_signature="s", out_signature="")
    def RegisterStatusNotifierHost(self, service):
        pass

    @dbus.service.signal(WATCHER, signature="s")
    def StatusNotifierItemRegistered(self, service):
        pass

    @dbus.service.signal(WATCHER, signature="s")
    def StatusNotifierItemUnregistered(self, service):
        pass

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, prop):
        return self.GetAll(interface)[prop]

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return {"RegisteredStatusNotifierItems": dbus.Array(self.items, signature="s"),
                "IsStatusNotifierHostRegistered": True,
                "ProtocolVersion": dbus.Int32(0)}

    def owner_changed(self, name, old, new):
        for item in list(self.items):
            if not new and (item == name or item == old):
                self.items.remove(item)
                self.StatusNotifierItemUnregistered(item)
                say("gone " + item)


def main():
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    Watcher(bus)
    dbus.service.BusName(WATCHER, bus)
    say("ready")
    GLib.MainLoop().run()


if __name__ == "__main__":
    sys.exit(main())

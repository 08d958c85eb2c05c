"""A private D-Bus daemon standing in for the system bus, with
python-dbusmock's NetworkManager on it, for tests of the real programs."""
import os
import subprocess
import tempfile
import time

import dbus

from .loopback import end_process

BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path={folder}/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
  </policy>
</busconfig>
"""

NM = "org.freedesktop.NetworkManager"
MOCK = "org.freedesktop.DBus.Mock"


class NetworkManagerOnPrivateBus:
    """Starts dbus-daemon and the mock; stop() ends both."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="vantelo-bus-")
        config = os.path.join(self.folder, "bus.conf")
        with open(config, "w") as f:
            f.write(BUS_CONFIG.format(folder=self.folder))
        self.daemon = subprocess.Popen(
            ["dbus-daemon", "--config-file=" + config, "--nofork", "--print-address=1"],
            stdout=subprocess.PIPE, text=True)
        self.address = self.daemon.stdout.readline().strip()
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=self.address)
        self.mock = subprocess.Popen(
            ["/usr/bin/python3", "-m", "dbusmock", "--system", "--template", "networkmanager"],
            env=env, stdout=subprocess.DEVNULL)
        self.bus = dbus.bus.BusConnection(self.address)
        for _ in range(250):
            if self.bus.name_has_owner(NM):
                break
            time.sleep(0.02)
        else:
            raise RuntimeError("NetworkManager mock did not start")
        self.main = dbus.Interface(self.bus.get_object(NM, "/org/freedesktop"), MOCK)
        self.settings = dbus.Interface(self.bus.get_object(NM, "/org/freedesktop"),
                                       NM + ".Settings")

    def env(self):
        return {"DBUS_SYSTEM_BUS_ADDRESS": self.address}

    def add_device(self, name, interface):
        return self.main.AddEthernetDevice(name, interface, 100)

    def add_profile(self, name, kind):
        return self.settings.SettingsAddConnection(
            {"connection": {"id": name, "type": kind, "uuid": "uuid-" + name.replace(" ", "-")}})

    def activate(self, device, profile, name, state=2):
        return self.main.AddActiveConnection([device], profile, "/", name, dbus.UInt32(state))

    def deactivate(self, device, active):
        self.main.RemoveActiveConnection(device, active)

    def stop(self):
        for proc in (self.mock, self.daemon):
            end_process(proc)
        self.daemon.stdout.close()
        subprocess.run(["rm", "-rf", self.folder])

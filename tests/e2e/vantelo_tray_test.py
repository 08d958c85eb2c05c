"""The real vantelo program's notification-area icon, read as a desktop's
panel reads it: a private X server and session bus with a small
StatusNotifierWatcher on it (Qt registers its icon there as a
StatusNotifierItem with a menu over D-Bus).

Usage: /usr/bin/python3 vantelo_tray_test.py BUILD_FOLDER
"""
import os
import subprocess
import sys
import tempfile
import time
import unittest

import dbus

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "testkit"))
from vantelo_testkit import SNI_WATCHER  # noqa: E402
from vantelo_testkit.desktop_session import DesktopSession  # noqa: E402
from vantelo_testkit.loopback import end_process, free_port  # noqa: E402
from vantelo_testkit.smtp_peers import wait_until  # noqa: E402

BUILD = None
ITEM = "org.kde.StatusNotifierItem"
MENU = "com.canonical.dbusmenu"


class TrayIconOnThePanel(unittest.TestCase):
    def setUp(self):
        self.desktop = DesktopSession()
        self.env = dict(os.environ, **self.desktop.env())
        self.folder = tempfile.mkdtemp(prefix="vantelo-tray-")
        self.watcher = None
        self.app = None

    def tearDown(self):
        for proc in (self.app, self.watcher):
            if proc:
                end_process(proc)
        if self.watcher:
            self.watcher.stdout.close()
        self.desktop.stop()
        subprocess.run(["rm", "-rf", self.folder])

    def start_vantelo(self, minimized):
        subprocess.run([os.path.join(BUILD, "vantelo-initdb"), self.folder], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(os.path.join(self.folder, "config", "config.ini"), "w") as f:
            f.write("[dial]\nsmtpport=%d\n[general]\nstartminimized=%s\n"
                    % (free_port(), "1" if minimized else "0"))
        env = dict(self.env, QT_QPA_PLATFORM="xcb", HOME=self.folder,
                   XDG_CONFIG_HOME=os.path.join(self.folder, "xdg"),
                   DBUS_SYSTEM_BUS_ADDRESS="unix:path=/nonexistent")
        self.app = subprocess.Popen([os.path.join(BUILD, "vantelo")], cwd=self.folder, env=env,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def main_window(self):
        """The X window id of the main window: the top-level window of class
        vantelo titled "Vantelo" (Qt's own 1x1 helper window carries the
        title too, but no class)."""
        tree = subprocess.run(["xwininfo", "-display", self.desktop.display, "-root", "-tree"],
                              capture_output=True, text=True).stdout
        ids = [line.split()[0] for line in tree.splitlines() if '"Vantelo": ("vantelo"' in line]
        return ids[0] if ids else None

    def map_state(self):
        """The main window's state on the X server: IsViewable, IsUnMapped..."""
        window = self.main_window()
        if not window:
            return None
        info = subprocess.run(["xwininfo", "-display", self.desktop.display, "-id", window],
                              capture_output=True, text=True).stdout
        for line in info.splitlines():
            if "Map State:" in line:
                return line.split(":", 1)[1].strip()
        return None

    def test_the_icon_its_tip_and_its_menu(self):
        self.watcher = subprocess.Popen(
            ["/usr/bin/python3", SNI_WATCHER],
            env=self.env, stdout=subprocess.PIPE, text=True)
        self.assertEqual(self.watcher.stdout.readline().strip(), "ready")
        self.start_vantelo(minimized=True)
        line = self.watcher.stdout.readline().strip()
        self.assertTrue(line.startswith("registered "), line)
        service = line.split(" ", 1)[1]

        bus = dbus.bus.BusConnection(self.desktop.bus_address)
        item = bus.get_object(service, "/StatusNotifierItem")
        props = dbus.Interface(item, dbus.PROPERTIES_IFACE)
        tooltip = props.Get(ITEM, "ToolTip")
        self.assertEqual(str(tooltip[2]), "Relaymark")

        # A minimised start: only the icon, no window.
        time.sleep(2)
        self.assertNotEqual(self.map_state(), "IsViewable")

        menu = dbus.Interface(bus.get_object(service, props.Get(ITEM, "Menu")), MENU)
        _, layout = menu.GetLayout(0, -1, dbus.Array([], signature="s"))
        entries = [(int(child[0]), str(child[1].get("label", ""))) for child in layout[2]
                   if child[1].get("visible", True)]
        self.assertEqual([label for _, label in entries], ["go to homepage", "restore", "exit"])
        ids = dict((label, ident) for ident, label in entries)

        menu.Event(ids["restore"], "clicked", dbus.Int32(0, variant_level=1), dbus.UInt32(0))
        self.assertEqual(wait_until(lambda: self.map_state() == "IsViewable"), True)

        # exit ends the program, and the icon leaves with it.
        menu.Event(ids["exit"], "clicked", dbus.Int32(0, variant_level=1), dbus.UInt32(0))
        self.assertEqual(self.app.wait(timeout=10), 0)
        self.assertEqual(self.watcher.stdout.readline().strip(), "gone " + service)

    def test_a_click_on_the_icon_restores_the_window(self):
        self.watcher = subprocess.Popen(
            ["/usr/bin/python3", SNI_WATCHER],
            env=self.env, stdout=subprocess.PIPE, text=True)
        self.assertEqual(self.watcher.stdout.readline().strip(), "ready")
        self.start_vantelo(minimized=True)
        service = self.watcher.stdout.readline().strip().split(" ", 1)[1]
        bus = dbus.bus.BusConnection(self.desktop.bus_address)
        item = dbus.Interface(bus.get_object(service, "/StatusNotifierItem"), ITEM)
        time.sleep(1.5)  # the deferred start has left the window hidden
        self.assertNotEqual(self.map_state(), "IsViewable")
        # On this panel one click (Activate) opens the window, as its users expect.
        item.Activate(dbus.Int32(10), dbus.Int32(10))
        self.assertEqual(wait_until(lambda: self.map_state() == "IsViewable"), True)

    def test_without_a_notification_area_a_minimised_start_stays_in_reach(self):
        # No watcher on the bus and no tray on the X server.
        self.start_vantelo(minimized=True)
        # The window is there, minimised (in a task bar, where one runs).
        self.assertEqual(wait_until(lambda: self.map_state() == "IsViewable", 10), True)
        state = subprocess.run(["xprop", "-display", self.desktop.display, "-id",
                                self.main_window(), "_NET_WM_STATE"], capture_output=True, text=True)
        self.assertIn("_NET_WM_STATE_HIDDEN", state.stdout)


if __name__ == "__main__":
    BUILD = os.path.abspath(sys.argv.pop(1))
    unittest.main()

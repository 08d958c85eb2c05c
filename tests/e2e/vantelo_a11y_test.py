"""Every window of the real vantelo program read and driven through the
accessibility interface, the way a screen reader or an automated desktop
test sees it: on a private X server and session bus with the accessibility
bus, the NetworkManager mock on a private system bus, and two real SMTP
servers.

Usage: /usr/bin/python3 vantelo_a11y_test.py BUILD_FOLDER
"""
import os
import sqlite3
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "testkit"))
from vantelo_testkit.desktop_session import DesktopSession  # noqa: E402
from vantelo_testkit.loopback import end_process, free_port  # noqa: E402
from vantelo_testkit.private_bus import NetworkManagerOnPrivateBus  # noqa: E402
from vantelo_testkit.smtp_peers import greeted_by, send, start_smtp, wait_until  # noqa: E402

BUILD = None
NAMED_ROLES = ("push button", "text", "combo box", "check box")


class ScreenReaderView(unittest.TestCase):
    def setUp(self):
        self.a, self.mail_a, self.port_a = start_smtp("server-a")
        self.b, self.mail_b, self.port_b = start_smtp("server-b")
        self.nm = NetworkManagerOnPrivateBus()
        self.desktop = DesktopSession(accessibility=True)
        self.app = None
        self.folder = tempfile.mkdtemp(prefix="vantelo-a11y-")

    def tearDown(self):
        if self.app:
            end_process(self.app, timeout=20)
        self.desktop.stop()
        self.nm.stop()
        self.a.stop()
        self.b.stop()
        subprocess.run(["rm", "-rf", self.folder])

    def start_vantelo(self, listen):
        subprocess.run([os.path.join(BUILD, "vantelo-initdb"), self.folder], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        db = sqlite3.connect(os.path.join(self.folder, "config", "log.mdb"))
        db.execute("INSERT INTO smtp VALUES ('Work VPN', '127.0.0.1', ?)", (str(self.port_a),))
        db.commit()
        db.close()
        with open(os.path.join(self.folder, "config", "config.ini"), "w") as f:
            f.write("[dial]\nsmtpport=%d\n" % listen)
        env = dict(os.environ, QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
                   HOME=self.folder, XDG_CONFIG_HOME=os.path.join(self.folder, "xdg"),
                   **self.desktop.env(), **self.nm.env())
        env.pop("QT_ACCESSIBILITY", None)
        self.app = subprocess.Popen([os.path.join(BUILD, "vantelo")], cwd=self.folder, env=env,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def test_every_control_is_named_and_the_route_flow_works_by_actions(self):
        device = self.nm.add_device("tun0", "tun0")
        self.nm.add_profile("Home DSL", "pppoe")
        vpn = self.nm.add_profile("Work VPN", "vpn")
        self.nm.activate(device, vpn, "1")
        listen = free_port()
        self.start_vantelo(listen)

        # The accessibility client reads this process's desktop and bus.
        os.environ.update(self.desktop.env())
        import pyatspi
        from gi.repository import Atspi, GLib

        def application():
            desktop = pyatspi.Registry.getDesktop(0)
            for app in desktop:
                if app is not None and app.name == "Vantelo":
                    return app
            return None

        app = wait_until(application, 20)
        self.assertIsNotNone(app, "Vantelo never appeared on the accessibility bus")

        def window(name):
            return wait_until(lambda: next(
                (w for w in app if w is not None and w.name == name
                 and w.getState().contains(pyatspi.STATE_SHOWING)), None), 10)

        def find(root, role, name=None):
            return pyatspi.findDescendant(
                root, lambda x: x is not None and x.getRoleName() == role
                and (name is None or x.name == name))

        def showing(acc):
            return acc.getState().contains(pyatspi.STATE_SHOWING)

        def press(acc):
            # A press that opens a modal window is answered only when that
            # window closes: do not wait for the answer.
            Atspi.set_timeout(800, 20000)
            try:
                acc.queryAction().doAction(0)
            except GLib.GError:
                pass
            finally:
                Atspi.set_timeout(25000, 20000)

        def labelled_by(acc):
            return [r.getTarget(i).name for r in acc.getRelationSet()
                    if r.getRelationType() == pyatspi.RELATION_LABELLED_BY
                    for i in range(r.getNTargets())]

        def unnamed(root):
            found = []

            def walk(acc):
                for child in acc:
                    if child is None or not showing(child):
                        continue
                    if child.getRoleName() in NAMED_ROLES and not child.name.strip():
                        found.append(child.getRoleName())
                    walk(child)
            walk(root)
            return found

        main = window("Vantelo")
        self.assertIsNotNone(main, "the main window was not shown")
        self.assertTrue(wait_until(lambda: greeted_by(listen) == "server-a"))
        self.assertEqual(unnamed(main), [])
        for caption in ("Refresh", "Config", "Help", "Exit"):
            self.assertIsNotNone(find(main, "push button", caption), caption)

        # The route list reads as a table: headers, then each row's cells.
        table = find(main, "tree", "list of SMTP server")
        headers = [c.name for c in table if c is not None and c.getRoleName() == "table column header"]
        self.assertEqual(headers, ["Dial-up entry", "SMTP Server", "Port", "Status"])
        t = table.queryTable()
        rows = wait_until(lambda: [[t.getAccessibleAt(r, c).name for c in range(4)]
                                   for r in range(t.nRows)] if t.nRows == 2 else None)
        self.assertEqual(rows, [["Home DSL", "", "", ""],
                                ["Work VPN", "127.0.0.1", str(self.port_a), "Active"]])

        # Config: pick the VPN, point it at server B, save, accept, close.
        press(find(main, "push button", "Config"))
        dialog = window("Configuration")
        self.assertIsNotNone(dialog, "the configuration dialog did not open")
        self.assertEqual(unnamed(dialog), [])
        fields = [f for f in pyatspi.findAllDescendants(dialog, lambda x: x is not None
                                                        and x.getRoleName() == "text")]
        self.assertEqual([(f.name, f.description) for f in fields[:2]],
                         [("SMTP server :", "route of the selected entry"),
                          ("port :", "route of the selected entry")])
        self.assertEqual([(f.name, f.description) for f in fields[2:4]],
                         [("SMTP server :", "default route"), ("port :", "default route")])
        # A combo box reads as its current entry, labelled by the caption
        # beside it.
        combo = find(dialog, "combo box")
        self.assertEqual(combo.name, "Home DSL")
        self.assertEqual(labelled_by(combo)[0], "entry name :")
        items = find(combo, "list")
        names = [items[i].name for i in range(items.childCount)]
        self.assertEqual(names, ["Home DSL", "Work VPN"])
        # The toolkit's combo boxes offer no action that picks an entry, so
        # the pick is what a keyboard user does: from the port field, Tab to
        # the entry box (the dialog's order), then arrow down.
        server, port = fields[0], fields[1]
        port.queryAction().doAction(0)  # SetFocus
        self.assertTrue(wait_until(lambda: port.getState().contains(pyatspi.STATE_FOCUSED)))
        Atspi.generate_keyboard_event(0xFF09, None, Atspi.KeySynthType.SYM)  # Tab
        self.assertTrue(wait_until(lambda: combo.getState().contains(pyatspi.STATE_FOCUSED)))
        Atspi.generate_keyboard_event(0xFF54, None, Atspi.KeySynthType.SYM)  # Down
        self.assertTrue(wait_until(lambda: combo.name == "Work VPN"))
        self.assertTrue(wait_until(lambda: port.queryText().getText(0, -1) == str(self.port_a)),
                        "picking the entry did not show its route")
        server.queryEditableText().setTextContents("127.0.0.1")
        port.queryEditableText().setTextContents(str(self.port_b))
        press(find(dialog, "push button", "save "))
        message = wait_until(lambda: next(
            (w for w in app if w is not None and showing(w) and find(w, "push button", "OK")), None))
        self.assertIsNotNone(message, "no message after save")
        self.assertIsNotNone(find(message, "label",
                                  "The setting will be activated after you click refresh button"))
        press(find(message, "push button", "OK"))
        press(find(dialog, "push button", "close"))
        self.assertTrue(wait_until(lambda: not showing(dialog)))

        notice = find(main, "label", "*New configuration is not active until you refresh")
        self.assertTrue(wait_until(lambda: showing(notice)), "the notice is not readable")
        press(find(main, "push button", "Refresh"))
        self.assertTrue(wait_until(lambda: greeted_by(listen) == "server-b"))
        self.assertEqual(send(listen, "after refresh")[0], 0)
        self.assertTrue(wait_until(lambda: self.mail_b.subjects == ["after refresh"]))

        # The other windows read as well: the tip window and the about window.
        menu_item = find(main, "menu item", "tip of the day")
        press(menu_item)
        tip = window("Tip of the day")
        self.assertIsNotNone(tip)
        self.assertEqual(unnamed(tip), [])
        for caption in ("<< Previous tip", "Next tip      >>", "Close"):
            self.assertIsNotNone(find(tip, "push button", caption), caption)
        # "about" names both the menu and its last-but-one command.
        commands = pyatspi.findAllDescendants(
            main, lambda x: x is not None and x.getRoleName() == "menu item" and x.name == "about"
            and x.parent.getRoleName() == "popup menu")
        press(commands[0])
        about = window("about")
        self.assertIsNotNone(about)
        self.assertEqual(unnamed(about), [])
        self.assertIsNotNone(find(about, "label", "Vantelo"))
        self.assertIsNotNone(find(about, "label", "1.3 (build 4)"))


if __name__ == "__main__":
    BUILD = os.path.abspath(sys.argv.pop(1))
    unittest.main()

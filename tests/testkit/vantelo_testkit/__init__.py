"""What the program's script tests share: loopback ports and processes, SMTP
peers, private buses and desktops. sni_watcher.py is a program of its own,
started by the tray test."""
import os

SNI_WATCHER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sni_watcher.py")

#!/usr/bin/python3
"""A desktop application that has just copied something: owns an X selection
and offers the text under the usual text targets plus any extra targets named
(a password manager's concealing mark, say). Prints "owned" once it owns the
selection; exits when another client takes it over, or on SIGTERM.

usage: clip_owner.py [--selection CLIPBOARD|PRIMARY] [--target NAME]... (--text TEXT | --file PATH)
"""
import argparse
import signal
import sys

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
from gi.repository import Gdk, GLib, Gtk  # noqa: E402

TEXT_TARGETS = ["UTF8_STRING", "text/plain;charset=utf-8", "STRING", "TEXT", "text/plain"]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--selection", default="CLIPBOARD")
    ap.add_argument("--target", action="append", default=[])
    ap.add_argument("--text")
    ap.add_argument("--file")
    args = ap.parse_args()
    if args.file is not None:
        with open(args.file, "rb") as f:
            data = f.read()
    else:
        data = (args.text or "").encode("utf-8")

    widget = Gtk.Invisible()
    widget.realize()
    selection = Gdk.Atom.intern(args.selection, False)
    targets = TEXT_TARGETS + args.target
    for info, name in enumerate(targets):
        Gtk.selection_add_target(widget, selection, Gdk.Atom.intern(name, False), info)

    def on_get(_widget, selection_data, info, _time):
        name = targets[info]
        if info < len(TEXT_TARGETS):
            selection_data.set(Gdk.Atom.intern(name, False), 8, data)
        else:
            selection_data.set(Gdk.Atom.intern(name, False), 8, b"1")

    widget.connect("selection-get", on_get)
    widget.connect("selection-clear-event", lambda *_: Gtk.main_quit())
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, Gtk.main_quit)
    if not Gtk.selection_owner_set(widget, selection, Gdk.CURRENT_TIME):
        print("not owned", flush=True)
        return 1
    print("owned", flush=True)
    Gtk.main()
    return 0


if __name__ == "__main__":
    sys.exit(main())

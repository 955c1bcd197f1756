#!/usr/bin/python3
"""Stand-ins for desktop D-Bus services on a private bus, for tests.

--logind FILE   org.freedesktop.login1: ListInhibitors answers the inhibitors
                in FILE (a JSON list of [what, who, why, mode, uid, pid]),
                read again at every call so a test can change them.
--screensaver   org.freedesktop.ScreenSaver: prints one line per call,
                "Inhibit <cookie> <application> <reason>" or "UnInhibit <cookie>".
Prints "ready" once the name is owned.
"""
import argparse
import json
import signal
import sys

from gi.repository import Gio, GLib

LOGIND_XML = """<node><interface name="org.freedesktop.login1.Manager">
<method name="ListInhibitors"><arg type="a(ssssuu)" direction="out"/></method>
</interface></node>"""
SCREENSAVER_XML = """<node><interface name="org.freedesktop.ScreenSaver">
<method name="Inhibit"><arg type="s" direction="in"/><arg type="s" direction="in"/>
<arg type="u" direction="out"/></method>
<method name="UnInhibit"><arg type="u" direction="in"/></method>
</interface></node>"""


def main():
    sys.stdout.reconfigure(encoding="utf-8")
    ap = argparse.ArgumentParser()
    ap.add_argument("--address", required=True)
    ap.add_argument("--logind")
    ap.add_argument("--screensaver", action="store_true")
    args = ap.parse_args()

    if args.logind:
        name, path, xml = "org.freedesktop.login1", "/org/freedesktop/login1", LOGIND_XML
    else:
        name, path, xml = "org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver", SCREENSAVER_XML
    flags = Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION
    conn = Gio.DBusConnection.new_for_address_sync(args.address, flags, None, None)
    cookies = iter(range(7001, 1 << 31))

    def on_call(_conn, _sender, _path, _iface, method, params, invocation):
        if method == "ListInhibitors":
            with open(args.logind, encoding="utf-8") as f:
                items = [tuple(i) for i in json.load(f)]
            invocation.return_value(GLib.Variant("(a(ssssuu))", (items,)))
        elif method == "Inhibit":
            app, reason = params.unpack()
            cookie = next(cookies)
            print(f"Inhibit {cookie} {app} {reason}", flush=True)
            invocation.return_value(GLib.Variant("(u)", (cookie,)))
        elif method == "UnInhibit":
            print(f"UnInhibit {params.unpack()[0]}", flush=True)
            invocation.return_value(None)

    info = Gio.DBusNodeInfo.new_for_xml(xml).interfaces[0]
    conn.register_object(path, info, on_call, None, None)
    loop = GLib.MainLoop()
    Gio.bus_own_name_on_connection(conn, name, Gio.BusNameOwnerFlags.NONE,
                                   lambda *_: print("ready", flush=True), lambda *_: loop.quit())
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
# A StatusNotifierWatcher of the tests' own on the session bus it is given:
# prints "registered <bus name> <object path>" for each item that registers.
import sys

from gi.repository import Gio, GLib

XML = """
<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
  </interface>
</node>
"""
items = []


def call(conn, sender, path, iface, method, params, invocation):
    if method == "RegisterStatusNotifierItem":
        arg = params.unpack()[0]
        # Items pass their object path, or a bus name for the default path.
        obj = arg if arg.startswith("/") else "/StatusNotifierItem"
        name = sender if arg.startswith("/") else arg
        items.append(name + obj)
        print("registered", name, obj, flush=True)
        conn.emit_signal(None, "/StatusNotifierWatcher", "org.kde.StatusNotifierWatcher",
                         "StatusNotifierItemRegistered", GLib.Variant("(s)", (name + obj,)))
    invocation.return_value(None)


def prop(conn, sender, path, iface, name):
    if name == "RegisteredStatusNotifierItems":
        return GLib.Variant("as", items)
    if name == "IsStatusNotifierHostRegistered":
        return GLib.Variant("b", True)
    return GLib.Variant("i", 0)


conn = Gio.bus_get_sync(Gio.BusType.SESSION, None)
info = Gio.DBusNodeInfo.new_for_xml(XML).interfaces[0]
conn.register_object("/StatusNotifierWatcher", info, call, prop, None)
Gio.bus_own_name_on_connection(conn, "org.kde.StatusNotifierWatcher", Gio.BusNameOwnerFlags.NONE,
                               lambda *a: print("watching", flush=True), lambda *a: sys.exit(1))
GLib.MainLoop().run()

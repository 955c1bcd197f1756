#!/usr/bin/python3
# Prints, as one JSON object, the widgets of the first window of the
# application named argv[1] as AT-SPI shows them: role, name, whether
# enabled, checked or showing, and the screen rectangle. Waits (up to
# argv[2] seconds) for the window to appear.
import json
import sys
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402

app_name, limit = sys.argv[1], float(sys.argv[2]) if len(sys.argv) > 2 else 30


def walk(node, out):
    try:
        role = node.get_role_name()
        states = node.get_state_set()
        ext = node.get_extents(Atspi.CoordType.SCREEN)
        out.append({
            "role": role,
            "name": node.get_name(),
            "enabled": states.contains(Atspi.StateType.SENSITIVE),
            "checked": states.contains(Atspi.StateType.CHECKED),
            "showing": states.contains(Atspi.StateType.SHOWING),
            "rect": [ext.x, ext.y, ext.width, ext.height],
        })
        for i in range(node.get_child_count()):
            walk(node.get_child_at_index(i), out)
    except Exception as e:  # a widget that went away mid-walk
        out.append({"role": "error", "name": str(e)})


deadline = time.time() + limit
while True:
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app is None or app.get_name() != app_name:
            continue
        for j in range(app.get_child_count()):
            win = app.get_child_at_index(j)
            if win is not None and win.get_role_name() == "frame":
                widgets = []
                walk(win, widgets)
                print(json.dumps({"title": win.get_name(), "widgets": widgets}))
                sys.exit(0)
    if time.time() > deadline:
        print(json.dumps({"error": "no window of " + app_name}))
        sys.exit(1)
    time.sleep(0.2)

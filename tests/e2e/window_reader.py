"""The program's window as a screen reader sees it over AT-SPI, and real input through xdotool."""
import subprocess
import sys
import time

import pyatspi
from gi.repository import GLib


def wait_for(what, probe, seconds=15):
    """probe()'s first true answer within `seconds`; the test fails with `what` otherwise."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        # The accessibility library learns of new applications and changes through events,
        # which arrive only while the main loop runs.
        while GLib.MainContext.default().iteration(False):
            pass
        found = probe()
        if found:
            return found
        time.sleep(0.1)
    sys.exit(f"FAIL: {what}")


def everything(node):
    """The node and all below it, depth first."""
    yield node
    for i in range(node.childCount):
        child = node.getChildAtIndex(i)
        if child is not None:
            yield from everything(child)


def first(node, role):
    return next((n for n in everything(node) if n.getRoleName() == role), None)


def main_frame(pid):
    """The first frame of the program with process id `pid`, once it is on the bus."""
    def application():
        desktop = pyatspi.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            app = desktop.getChildAtIndex(i)
            if app is not None and app.get_process_id() == pid and app.childCount > 0:
                return app
        return None
    app = wait_for("the program never showed up on the accessibility bus", application)
    frame = wait_for("the program has no frame", lambda: first(app, "frame"))
    # On the screen, where clicks can reach it.
    wait_for("the frame is not shown", lambda: frame.getState().contains(pyatspi.STATE_SHOWING)
             and frame.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)[2] > 0)
    return frame


def named(frame):
    return {node.name: node for node in everything(frame) if node.name}


def centre(node):
    x, y, width, height = node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    return x + width // 2, y + height // 2


def click(node, button=1, times=1):
    """A real click (or double-click) in the middle of `node`."""
    x, y = centre(node)
    subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", "--repeat", str(times),
                    "--delay", "80", str(button)], check=True)


def keys(*names):
    subprocess.run(["xdotool", "key", "--delay", "150", *names], check=True)


def table_of(frame):
    return wait_for("no table", lambda: next(
        (n for n in everything(frame) if n.getRoleName() in ("table", "tree table")), None))


def cells(table, row):
    t = table.queryTable()
    return [t.getAccessibleAt(row, c).name for c in range(t.nColumns)]


def status_text(frame):
    """What the status bar reads, its panes joined."""
    bar = first(frame, "status bar")
    return bar.name if bar is not None else ""


def query_done(frame):
    """Waits until the query that fills the list is over (input is held off while it runs)."""
    wait_for("the query never ended",
             lambda: status_text(frame).startswith("状态：搜索完成"), 30)

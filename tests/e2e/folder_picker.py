"""Alt+D on the program with pid argv[1] (home folder argv[2]), then the picker through AT-SPI:
it must open on the music folder; the home folder's 歌曲 is chosen with real clicks."""
import os
import sys

import pyatspi

from window_reader import click, everything, first, keys, main_frame, named, wait_for

pid, home = int(sys.argv[1]), sys.argv[2]
frame = main_frame(pid)
click(wait_for("no search box", lambda: first(frame, "text")))  # the keys go to the window
keys("alt+d")


def picker():
    app = frame.parent
    for i in range(app.childCount):
        child = app.getChildAtIndex(i)
        if child is not None and child.getRoleName() == "file chooser":
            return child
    return None


def toggled(node):
    return node.getState().contains(pyatspi.STATE_CHECKED)


dialog = wait_for("the picker never opened", picker)
where = wait_for("the picker shows no folder", lambda: next(
    (n.name for n in everything(dialog) if n.getRoleName() == "toggle button" and toggled(n)
     and n.name not in ("Create Folder",)), None))
if where != "Music":
    sys.exit(f"FAIL: the picker opened on {where!r}, not on the music folder")
wait_for("the music folder's contents are not shown", lambda: "in-music" in named(dialog))
print("folder picker: opened on the music folder")

# Up to the home folder through the path bar, then 歌曲 and Open.
home_button = named(dialog)[os.path.basename(home)]
click(home_button)
song_folder = wait_for("歌曲 is not listed in the home folder", lambda: next(
    (n for n in everything(dialog) if n.getRoleName() == "table cell" and n.name == "歌曲"), None))
click(song_folder)
click(named(dialog)["Open"])
wait_for("the picker did not close", lambda: picker() is None)
wait_for("the folder was not shown as the save folder",
         lambda: any(name.endswith("/歌曲/") for name in named(frame)))
print("folder picker: 歌曲 chosen")

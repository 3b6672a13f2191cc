"""The player on the session bus and the download's desktop notice, for the program with pid
argv[1] (catalogue argv[2], save folder argv[3], the notice service's call log argv[4], the file
the desktop's opener writes what it opened to argv[5])."""
import json
import os
import sys
import urllib.request

from gi.repository import Gio, GLib

from window_reader import (cells, click, everything, keys, main_frame, named, query_done, table_of,
                           wait_for)

pid, service, save, notices, opened = int(sys.argv[1]), *sys.argv[2:6]
NAME, PATH = "org.mpris.MediaPlayer2.tunova", "/org/mpris/MediaPlayer2"
PLAYER = "org.mpris.MediaPlayer2.Player"
bus = Gio.bus_get_sync(Gio.BusType.SESSION)


def on_bus():
    reply = bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus",
                          "org.freedesktop.DBus", "NameHasOwner", GLib.Variant("(s)", (NAME,)),
                          None, Gio.DBusCallFlags.NONE, 2000, None)
    return reply.unpack()[0]


def get(interface, name):
    reply = bus.call_sync(NAME, PATH, "org.freedesktop.DBus.Properties", "Get",
                          GLib.Variant("(ss)", (interface, name)), None,
                          Gio.DBusCallFlags.NONE, 2000, None)
    return reply.unpack()[0]


def call(method):
    bus.call_sync(NAME, PATH, PLAYER, method, None, None, Gio.DBusCallFlags.NONE, 2000, None)


def status_becomes(want):
    wait_for(f"PlaybackStatus never became {want} (it is {get(PLAYER, 'PlaybackStatus')})",
             lambda: get(PLAYER, "PlaybackStatus") == want, 10)


frame = main_frame(pid)
click(named(frame)["热门"])
with urllib.request.urlopen(f"{service}/zamrilo/music/collection/songs?id=850&offset=0") as r:
    song = json.load(r)["data"][0]
table = table_of(frame)
query_done(frame)
if on_bus():
    sys.exit("FAIL: the player is on the bus before its window exists")

# A double-click on the first row plays it.
click(table.queryTable().getAccessibleAt(0, 1), times=2)
wait_for("the player never came on the session bus", on_bus)
if get("org.mpris.MediaPlayer2", "Identity") != "Tunova":
    sys.exit("FAIL: the player does not call itself Tunova")
if get("org.mpris.MediaPlayer2", "DesktopEntry") != "org.tunova.Tunova":
    sys.exit("FAIL: the player names another desktop entry")
status_becomes("Playing")
meta = get(PLAYER, "Metadata")
if meta.get("xesam:title") != song["title"] or meta.get("xesam:artist") != [song["author"]]:
    sys.exit(f"FAIL: the bus says it plays {meta}, the row is {cells(table, 0)}")
if meta.get("xesam:url") != song["play_url"]["url_list"][0]:
    sys.exit(f"FAIL: the bus names the address {meta.get('xesam:url')}")
print(f"desktop: playing {meta['xesam:title']} by {meta['xesam:artist'][0]} "
      f"({meta['mpris:trackid']})")
call("Pause")
status_becomes("Paused")
call("PlayPause")
status_becomes("Playing")

# The player window's controls have names a reader speaks; a real click on 停止 there is what
# the bus then reports.
player = wait_for("no player window on the accessibility bus", lambda: next(
    (f for f in (frame.parent.getChildAtIndex(i) for i in range(frame.parent.childCount))
     if f is not None and f != frame and f.getRoleName() == "frame"), None))
controls = {n.name: n.getRoleName() for n in everything(player)
            if n.getRoleName() in ("push button", "slider")}
want = {"播放/暂停": "push button", "停止": "push button", "播放位置": "slider", "音量": "slider"}
if controls != want:
    sys.exit(f"FAIL: the player's controls read {controls}")
click(named(player)["停止"])
status_becomes("Stopped")
call("Play")
status_becomes("Playing")
call("Stop")
status_becomes("Stopped")
print("desktop: the player's controls are named; Pause, PlayPause, Play and Stop from the bus "
      "were obeyed, and the bus reported a click on 停止")

# 下载 from the row's menu: the finished song raises a desktop notice naming it.
click(table.queryTable().getAccessibleAt(0, 1), button=3)
keys("Down", "Down", "Return")
wait_for("the song was never saved",
         lambda: any(f.endswith(".mp3") for f in os.listdir(save)), 30)


def notice():
    with open(notices, encoding="utf-8", errors="replace") as log:
        return next((line for line in log if " Notify " in line and "下载完成" in line), None)


seen = wait_for("no desktop notice of the finished download", notice, 10)
if song["title"] not in seen:
    sys.exit(f"FAIL: the notice does not name the song: {seen}")
print(f"desktop: notice {seen.strip()}")

# The notice's action, chosen on the desktop (the recording service's first notice has id 1),
# opens the save folder.
action = seen.split("[")[1].split(",")[0].strip('" ')
bus.call_sync("org.freedesktop.Notifications", "/org/freedesktop/Notifications",
              "org.freedesktop.DBus.Mock", "EmitSignal",
              GLib.Variant("(sssav)", ("org.freedesktop.Notifications", "ActionInvoked", "us",
                                       [GLib.Variant("u", 1), GLib.Variant("s", action)])),
              None, Gio.DBusCallFlags.NONE, 2000, None)
wait_for("the notice's action opened nothing", lambda: os.path.exists(opened), 10)
with open(opened, encoding="utf-8") as f:
    target = f.read()
if os.path.realpath(target) != os.path.realpath(save):
    sys.exit(f"FAIL: the notice's action opened {target!r}, not the save folder")
print(f"desktop: the notice's action opened {target}")

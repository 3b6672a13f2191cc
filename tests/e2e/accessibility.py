"""Reads the main window of the program (pid argv[1]) through AT-SPI, as a screen reader does,
and clicks 热门 for real. argv[2] is the catalogue service, asked for the rows to expect."""
import json
import sys
import urllib.request

import pyatspi

from window_reader import (cells, click, everything, first, keys, main_frame, named, status_text,
                           table_of, wait_for)

pid, service = int(sys.argv[1]), sys.argv[2]
TAGS = ["热门", "飙演技", "民族风", "流行", "怀旧", "浪漫", "伤感"]

frame = main_frame(pid)
print(f"accessibility: frame {frame.name!r}")

names = named(frame)
missing = [tag for tag in TAGS if tag not in names]
if missing:
    sys.exit(f"FAIL: no control named {missing}; names seen: {sorted(names)}")
for tag in TAGS:
    if names[tag].getRoleName() != "link":
        sys.exit(f"FAIL: {tag} is a {names[tag].getRoleName()}, not a link")
if "设置目录" not in names:
    sys.exit("FAIL: 设置目录 has no name")

table = table_of(frame)
headers = [table.queryTable().getColumnHeader(c).name
           for c in range(table.queryTable().nColumns)]
if headers != ["序号", "音乐标题", "歌手", "时长", "下载地址"]:
    sys.exit(f"FAIL: the table's column headers are {headers}")
if table.queryTable().nRows != 0:
    sys.exit("FAIL: the table has rows before any query")

click(names["热门"])  # where the screen reader says it is

with urllib.request.urlopen(f"{service}/zamrilo/music/collection/songs?id=850&offset=0") as r:
    songs = json.load(r)["data"]
wait_for("the table never held the first page", lambda: table.queryTable().nRows >= len(songs))
for row, song in enumerate(songs):
    got = cells(table, row)
    want = [got[0], song["title"], song["author"], got[3], song["play_url"]["url_list"][0]]
    if got != want:
        sys.exit(f"FAIL: row {row} reads {got}, expected {want}")
print(f"accessibility: the table reads {table.queryTable().nRows} rows; row 1: {cells(table, 0)}")


# The query's outcome follows 状态： in the first pane.
status = wait_for("the status bar does not read the query's outcome",
                  lambda: status_text(frame) if status_text(frame).split("  ")[0] != "状态：" else None)
if not status.startswith("状态：") or "下载速度：" not in status:
    sys.exit(f"FAIL: the status bar reads {status!r}")
print(f"accessibility: the status bar reads {status!r}")

# From the keyboard alone: Tab reaches the list after the search box and 搜索, arrows move the
# selection, and Shift+F10 opens the song's menu, which the reader also reads.
click(first(frame, "text"))
keys("Tab", "Tab")
wait_for("Tab from the search box never reached the list",
         lambda: table.getState().contains(pyatspi.STATE_FOCUSED), 5)
keys("Down")
wait_for("Down did not select the second row", lambda: table.queryTable().isRowSelected(1), 5)
keys("shift+F10")


def menu_items():
    app = frame.parent
    items = [n.name for n in everything(app)
             if n.getRoleName() == "menu item" and n.getState().contains(pyatspi.STATE_SHOWING)]
    return items or None


items = wait_for("Shift+F10 opened no menu the reader can read", menu_items, 5)
if items != ["播放", "下载", "复制下载地址"]:
    sys.exit(f"FAIL: the menu reads {items}")
keys("Escape")
print(f"accessibility: from the keyboard the list's menu reads {items}")
print("accessibility: the window is readable")

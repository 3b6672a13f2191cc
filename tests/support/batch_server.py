# A catalogue stand-in with many songs, for tests of tunova-cli's batch downloads.
#   python3 batch_server.py LOG_FILE SONG_DIR COUNT
# Every search and tag lists songs 1..COUNT, titled 歌曲K by 歌手, 20 to a page; /song/K.mp3
# serves song K (also written to SONG_DIR/K.mp3 for the test to compare with) with an ETag,
# honouring Range and If-Range and HEAD. Every media request is appended to LOG_FILE as
# "GET K range=... if-range=..." or "HEAD K". /stats answers "max M active A": the most media
# transfers that were open at once since the last reset, and those open now. /control takes
# rate=BYTES_PER_SECOND per transfer (0: as fast as it can), missing=K (song K answers 404;
# 0: none) and reset=1 (the maximum starts again). Binds 127.0.0.1 on a free port and prints
# "listening PORT" once it accepts connections.
import http.server
import os
import random
import sys
import threading
import time
import urllib.parse

log_path, song_dir, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
songs = {}
for k in range(1, count + 1):
    rnd = random.Random(k)
    songs[k] = b"ID3" + rnd.randbytes(120000 + 7919 * k)
    with open(os.path.join(song_dir, "%d.mp3" % k), "wb") as f:
        f.write(songs[k])
state = {"rate": 0, "missing": 0, "max": 0, "active": 0}
lock = threading.Lock()


def log(line):
    with lock, open(log_path, "a") as f:
        f.write(line + "\n")


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def log_message(self, *args):
        pass

    def reply(self, status, body, kind="text/plain", extra=()):
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def song(self):
        name = self.path.split("?")[0].rsplit("/", 1)[-1]
        k = int(name.split(".")[0]) if name.split(".")[0].isdigit() else 0
        return k if k in songs and k != state["missing"] else 0

    def do_HEAD(self):
        k = self.song()
        log("HEAD %d" % k)
        if not k:
            return self.reply(404, b"gone")
        self.reply(200, songs[k], "audio/mpeg", [("ETag", '"s%d"' % k)])

    def do_GET(self):
        url = urllib.parse.urlparse(self.path)
        query = urllib.parse.parse_qs(url.query)
        if url.path.startswith("/zamrilo/"):
            return self.page(int(query.get("offset", ["0"])[0]))
        if url.path == "/stats":
            with lock:
                body = "max %d active %d" % (state["max"], state["active"])
            return self.reply(200, body.encode())
        if url.path == "/control":
            with lock:
                for key in ("rate", "missing"):
                    if key in query:
                        state[key] = int(query[key][0])
                if "reset" in query:
                    state["max"] = state["active"]
            return self.reply(200, b"ok")
        self.media()

    def page(self, offset):
        rows = []
        for k in range(offset + 1, min(offset + 20, count) + 1):
            rows.append('{"title":"歌曲%d","author":"歌手","duration":%d,"play_url":{"url_list":'
                        '["http://127.0.0.1:%d/song/%d.mp3"]}}' % (k, 60 + k, port, k))
        self.reply(200, ('{"data":[%s]}' % ",".join(rows)).encode(), "application/json")

    def media(self):
        k = self.song()
        rng, if_range = self.headers.get("Range", ""), self.headers.get("If-Range", "")
        log("GET %d range=%s if-range=%s" % (k, rng, if_range))
        if not k:
            return self.reply(404, b"gone")
        song, etag = songs[k], '"s%d"' % k
        start = 0
        if rng.startswith("bytes=") and if_range in ("", etag):
            start = int(rng[6:].split("-")[0])
        with lock:
            state["active"] += 1
            state["max"] = max(state["max"], state["active"])
        try:
            self.send_response(206 if start else 200)
            self.send_header("Content-Type", "audio/mpeg")
            self.send_header("ETag", etag)
            self.send_header("Content-Length", str(len(song) - start))
            if start:
                self.send_header("Content-Range",
                                 "bytes %d-%d/%d" % (start, len(song) - 1, len(song)))
            self.end_headers()
            at = start
            while at < len(song):
                rate = state["rate"]
                step = max(1, rate // 20) if rate else len(song)
                self.wfile.write(song[at:at + step])
                at += step
                if rate and at < len(song):
                    time.sleep(0.05)
        except OSError:
            pass
        finally:
            with lock:
                state["active"] -= 1


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
port = server.server_address[1]
print("listening %d" % port, flush=True)
server.serve_forever()

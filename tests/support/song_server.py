# A catalogue stand-in with one song, for tests of downloads across programs.
#   python3 song_server.py PORT LOG_FILE SONG_FILE [BYTES_PER_SECOND]
# Search pages list the song (one row); /song.mp3 serves SONG_FILE with an ETag, honouring
# Range and If-Range, at most BYTES_PER_SECOND per connection (0: as fast as it can). Every
# media request is appended to LOG_FILE as "GET range=... if-range=...". PORT 0 takes a free
# one; prints "listening PORT" once it accepts connections. Binds 127.0.0.1 only; stops when
# killed.
import socket
import sys
import threading
import time

port, log_path, song_path = int(sys.argv[1]), sys.argv[2], sys.argv[3]
rate = int(sys.argv[4]) if len(sys.argv) > 4 else 0
song = open(song_path, "rb").read()
etag = '"song-%d"' % len(song)
lock = threading.Lock()


def log(line):
    with lock, open(log_path, "a") as f:
        f.write(line + "\n")


def handle(c):
    try:
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = c.recv(65536)
            if not chunk:
                return
            data += chunk
        head = data.split(b"\r\n\r\n")[0].decode("latin-1")
        lines = head.split("\r\n")
        target = lines[0].split(" ")[1]
        headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(":")
            headers[name.strip().lower()] = value.strip()
        if target.startswith("/zamrilo/"):
            body = ('{"data":[{"title":"慢歌","author":"歌手","duration":3,'
                    '"play_url":{"url_list":["http://127.0.0.1:%d/song.mp3"]}}]}' % port)
            if "offset=0" not in target:
                body = '{"data":[]}'
            body = body.encode()
            c.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: %d\r\n"
                      b"Connection: close\r\n\r\n" % len(body) + body)
            return
        rng = headers.get("range", "")
        log("GET range=%s if-range=%s" % (rng, headers.get("if-range", "")))
        start = 0
        if rng.startswith("bytes=") and headers.get("if-range", etag) == etag:
            start = int(rng[6:].split("-")[0])
        if start:
            status = "206 Partial Content"
            extra = "Content-Range: bytes %d-%d/%d\r\n" % (start, len(song) - 1, len(song))
        else:
            status, extra = "200 OK", ""
        c.sendall(("HTTP/1.1 %s\r\nContent-Type: audio/mpeg\r\nETag: %s\r\nContent-Length: %d\r\n"
                   "%sConnection: close\r\n\r\n" % (status, etag, len(song) - start, extra)).encode())
        step = max(1, rate // 20) if rate else len(song)
        for at in range(start, len(song), step):
            c.sendall(song[at:at + step])
            if rate:
                time.sleep(0.05)
    except OSError:
        pass
    finally:
        c.close()


s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", port))
port = s.getsockname()[1]
s.listen(16)
print("listening %d" % port, flush=True)
while True:
    conn, _ = s.accept()
    threading.Thread(target=handle, args=(conn,), daemon=True).start()

"""nimbo-share-server as a child process, and the small HTTP tools the
Python server tests share (standard library only)."""
import http.client
import json
import os
import random
import signal
import socket
import sqlite3
import struct
import subprocess
import tempfile
import time
import zlib

HOST = "127.0.0.1"


def png_bytes(size, seed):
    """A real PNG of about `size` bytes (noise compresses badly)."""
    rng = random.Random(seed)
    width = max(8, int((size / 3) ** 0.5))
    raw = b"".join(b"\0" + rng.randbytes(width * 3) for _ in range(width))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, width, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 0)) + chunk(b"IEND", b""))


def make_mp4(path, seconds=1, size="160x120", seed=0):
    """An H.264 MP4 from ffmpeg's test source; None when ffmpeg fails."""
    cmd = ["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
           f"testsrc2=size={size}:rate=25,noise=alls={seed % 50 + 1}:allf=t", "-t", str(seconds),
           "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", path]
    if subprocess.run(cmd, stdin=subprocess.DEVNULL).returncode != 0:
        return None
    with open(path, "rb") as f:
        return f.read()


class Server:
    """One server process on a free loopback port with its own data folder."""

    def __init__(self, binary, data, extra=(), log=None):
        self.binary, self.data, self.extra = binary, data, list(extra)
        self.log = log or data.rstrip("/") + ".log"
        self.proc, self.port = None, 0

    def start(self, timeout=10):
        fd, port_file = tempfile.mkstemp(prefix="nimbo-port-")
        os.close(fd)
        os.unlink(port_file)
        with open(self.log, "ab") as log:
            self.proc = subprocess.Popen([self.binary, "--listen", HOST + ":0", "--data", self.data,
                                          "--port-file", port_file] + self.extra,
                                         stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        until = time.monotonic() + timeout
        try:
            while time.monotonic() < until and self.proc.poll() is None:
                text = open(port_file).read().strip() if os.path.exists(port_file) else ""
                if text and request(int(text), "GET", "/terms", timeout=2)[0] == 200:
                    self.port = int(text)
                    return
                time.sleep(0.02)
        finally:
            if os.path.exists(port_file):
                os.unlink(port_file)
        raise RuntimeError(f"the server did not answer in time (exit status {self.proc.poll()})")

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def kill(self, sig=signal.SIGKILL):
        if self.proc is not None:
            if self.proc.poll() is None:
                self.proc.send_signal(sig)
            self.proc.wait()
            self.proc = None

    def stop(self):
        self.kill(signal.SIGTERM)

    def rss_kib(self):
        with open(f"/proc/{self.proc.pid}/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


def request(port, method, path, body=None, headers=None, source=HOST, timeout=10, conn=None):
    """(status, headers dict in lower case, body); status -1 when the exchange failed."""
    own = conn is None
    if own:
        conn = http.client.HTTPConnection(HOST, port, timeout=timeout, source_address=(source, 0))
    try:
        conn.request(method, path, body=body, headers=headers or {})
        r = conn.getresponse()
        data = r.read()
        return r.status, {k.lower(): v for k, v in r.getheaders()}, data
    except (OSError, http.client.HTTPException):
        conn.close()
        return -1, {}, b""
    finally:
        if own:
            conn.close()


def raw_exchange(port, data, source=HOST, timeout=5.0):
    """Sends `data` on a fresh connection; everything read until the server
    closes it or `timeout` passes (b"" when the server only closed)."""
    s = socket.create_connection((HOST, port), timeout=timeout, source_address=(source, 0))
    out = b""
    try:
        try:
            s.sendall(data)
        except OSError:
            pass  # the server may close before it has read everything
        until = time.monotonic() + timeout
        while time.monotonic() < until:
            s.settimeout(max(0.01, until - time.monotonic()))
            try:
                chunk = s.recv(65536)
            except OSError:  # a time-out too
                break
            if not chunk:
                break
            out += chunk
    finally:
        s.close()
    return out


def raw_status(answer):
    return int(answer[9:12]) if answer.startswith(b"HTTP/1.1 ") else 0


def register(port, source=HOST):
    status, _, body = request(port, "POST", "/api/register", body=b"", source=source)
    if status != 200:
        raise RuntimeError(f"register answered {status}")
    return json.loads(body)["token"]


def path_of(url):
    return url[url.index("/", 8):]


def bearer(token, content_type=None):
    headers = {"Authorization": "Bearer " + token}
    if content_type:
        headers["Content-Type"] = content_type
    return headers


def upload_image(port, token, png, source=HOST):
    """(status, the path of the image's page or None)."""
    status, _, body = request(port, "POST", "/api/upload", body=png, source=source, headers=bearer(token, "image/png"))
    return status, path_of(json.loads(body)["url"]) if status == 201 else None


def create_slot(port, token, source=HOST):
    """(status, the paths of a fresh upload link and of the recording's page, or Nones)."""
    status, _, body = request(port, "POST", "/api/recordings/create", body=b"", source=source, headers=bearer(token))
    if status != 201:
        return status, None, None
    slot = json.loads(body)
    return status, path_of(slot["uploadUrl"]), path_of(slot["shareUrl"])


def _query(data, *statements):
    db = sqlite3.connect(f"file:{os.path.join(data, 'share.db')}?mode=ro", uri=True, timeout=10)
    try:
        return [db.execute(q).fetchall() for q in statements]
    finally:
        db.close()


def db_rows(data):
    """(images {slug: size}, recordings {slug: (state, size)}) read-only."""
    images, recordings = _query(data, "SELECT slug, size FROM images", "SELECT slug, state, size FROM recordings")
    return dict(images), {slug: (state, size) for slug, state, size in recordings}


def integrity(data):
    return _query(data, "PRAGMA integrity_check")[0][0][0]


def missing_files(data, images, recordings):
    """Rows (from db_rows) whose file is missing or of another size."""
    ready = {s: size for s, (state, size) in recordings.items() if state == "ready"}
    problems = []
    for kind, folder, ext, rows in (("image", "images", ".png", images), ("recording", "videos", ".mp4", ready)):
        for slug, size in rows.items():
            p = os.path.join(data, folder, slug + ext)
            if not os.path.exists(p):
                problems.append(f"{kind} row {slug} without its file")
            elif os.path.getsize(p) != size:
                problems.append(f"{kind} {slug} is {os.path.getsize(p)} bytes, row says {size}")
    return problems


def stray_files(data, images, recordings, posters_in_progress=False):
    """Files in images/ and videos/ that no row accounts for; a poster being
    written beside its recording passes when `posters_in_progress`."""
    ready = {s for s, (state, _) in recordings.items() if state == "ready"}
    problems = [f"images/{name} has no row" for name in os.listdir(os.path.join(data, "images"))
                if not (name.endswith(".png") and name[:-4] in images)]
    for name in os.listdir(os.path.join(data, "videos")):
        if posters_in_progress and name.endswith(".tmp") and name[:22] in ready and name[22:27] == ".jpg.":
            continue
        if not (name[-4:] in (".mp4", ".jpg") and name[:-4] in ready):
            problems.append(f"videos/{name} belongs to no ready recording")
    return problems


def folder_mismatches(data):
    """What on disk the database does not account for, and rows whose file is
    missing or of another size: a list of descriptions (empty when they agree)."""
    images, recordings = db_rows(data)
    return missing_files(data, images, recordings) + stray_files(data, images, recordings)

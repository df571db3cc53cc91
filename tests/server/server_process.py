"""nimbo-share-server as a child process, and the HTTP tools the Python server tests share (standard library only)."""
import contextlib
import http.client
import json
import os
import random
import signal
import socket
import sqlite3
import struct
import subprocess
import time
import zlib
from pathlib import Path

HOST = "127.0.0.1"
problems = []  # what the test found wrong


def check(cond, text):
    if not cond:
        problems.append(text)
    return cond


def png_bytes(size, seed):
    """A real PNG of about `size` bytes (noise compresses badly)."""
    rng = random.Random(seed)
    width = max(8, int((size / 3) ** 0.5))
    raw = b"".join(b"\0" + rng.randbytes(width * 3) for _ in range(width))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, width, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 0)) + chunk(b"IEND", b""))


def make_mp4(path, seconds=1, size="160x120", seed=0):
    """An H.264 MP4 from ffmpeg's test source; None when ffmpeg fails."""
    source = f"testsrc2=size={size}:rate=25,noise=alls={seed % 50 + 1}:allf=t"
    return Path(path).read_bytes() if subprocess.run(
        ["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", source, "-t", str(seconds), "-c:v", "libx264", "-preset",
         "ultrafast", "-pix_fmt", "yuv420p", path], stdin=subprocess.DEVNULL).returncode == 0 else None


class Server:
    """One server process on a free loopback port with its own data folder."""

    def __init__(self, binary, data, extra=(), log=None):
        self.binary, self.data, self.extra = binary, data, list(extra)
        self.log = log or data.rstrip("/") + ".log"
        self.proc, self.port = None, 0

    def start(self, timeout=10):
        port_file = self.data.rstrip("/") + ".port"
        with open(self.log, "ab") as log:
            self.proc = subprocess.Popen([self.binary, "--listen", HOST + ":0", "--data", self.data, "--port-file",
                                          port_file] + self.extra, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        until = time.monotonic() + timeout
        while time.monotonic() < until and self.proc.poll() is None:
            text = Path(port_file).read_text().strip() if os.path.exists(port_file) else ""
            if text and request(int(text), "GET", "/terms", timeout=2)[0] == 200:
                self.port = int(text)
                return os.unlink(port_file)
            time.sleep(0.02)
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
    c = conn or http.client.HTTPConnection(HOST, port, timeout=timeout, source_address=(source, 0))
    try:
        c.request(method, path, body=body, headers=headers or {})
        r = c.getresponse()
        return r.status, {k.lower(): v for k, v in r.getheaders()}, r.read()
    except (OSError, http.client.HTTPException):
        c.close()
        return -1, {}, b""
    finally:
        if conn is None:
            c.close()


def raw_exchange(port, data, source=HOST, timeout=5.0):
    """Sends `data` on a fresh connection; what comes back until the server closes it (or a read times out)."""
    out = b""
    with socket.create_connection((HOST, port), timeout=timeout, source_address=(source, 0)) as s:
        with contextlib.suppress(OSError):
            s.sendall(data)  # the server may answer and close before it has read everything
        with contextlib.suppress(OSError):  # a time-out too
            while chunk := s.recv(65536):
                out += chunk
    return out


def raw_status(answer):
    return int(answer[9:12]) if answer.startswith(b"HTTP/1.1 ") else 0


def bearer(token, content_type=None):
    return {"Authorization": "Bearer " + token, **({"Content-Type": content_type} if content_type else {})}


def path_of(url):
    return url[url.index("/", 8):]


def register(port, source=HOST):
    status, _, body = request(port, "POST", "/api/register", body=b"", source=source)
    if status != 200:
        raise RuntimeError(f"register answered {status}")
    return json.loads(body)["token"]


def upload_image(port, token, png, source=HOST):
    """(status, the path of the image's page or None)."""
    status, _, body = request(port, "POST", "/api/upload", body=png, source=source, headers=bearer(token, "image/png"))
    return status, path_of(json.loads(body)["url"]) if status == 201 else None


def create_slot(port, token, source=HOST):
    """(status, the paths of a fresh upload link and of its recording's page, or Nones)."""
    status, _, body = request(port, "POST", "/api/recordings/create", body=b"", source=source, headers=bearer(token))
    if status != 201:
        return status, None, None
    slot = json.loads(body)
    return status, path_of(slot["uploadUrl"]), path_of(slot["shareUrl"])


def partial_files(data):
    return len(os.listdir(os.path.join(data, "incoming")))


def _query(data, statement):
    db = sqlite3.connect(f"file:{os.path.join(data, 'share.db')}?mode=ro", uri=True, timeout=10)
    try:
        return db.execute(statement).fetchall()
    finally:
        db.close()


def db_rows(data):
    """(images {slug: size}, recordings {slug: (state, size)}) read-only."""
    return (dict(_query(data, "SELECT slug, size FROM images")),
            {slug: (state, size) for slug, state, size in _query(data, "SELECT slug, state, size FROM recordings")})


def integrity(data):
    return _query(data, "PRAGMA integrity_check")[0][0]


def folder_mismatches(data, posters_in_progress=False):
    """(rows whose file is missing or of another size, files in images/ and videos/ that no row accounts for); a
    poster being written beside its recording passes when `posters_in_progress`."""
    images, recordings = db_rows(data)
    ready = {s: size for s, (state, size) in recordings.items() if state == "ready"}
    missing, stray = [], []
    for folder, rows, exts in (("images", images, (".png",)), ("videos", ready, (".mp4", ".jpg"))):
        for slug, size in rows.items():
            p = os.path.join(data, folder, slug + exts[0])
            if (found := os.path.getsize(p) if os.path.exists(p) else "no file") != size:
                missing.append(f"{folder}/{slug}{exts[0]}: {found}, its row says {size} bytes")
        for name in os.listdir(os.path.join(data, folder)):
            writing = posters_in_progress and name.endswith(".tmp") and name[22:27] == ".jpg." and name[:22] in ready
            if not (name[-4:] in exts and name[:-4] in rows) and not writing:
                stray.append(f"{folder}/{name} has no row")
    return missing, stray

#!/usr/bin/env python3
"""The share server under attack, on loopback: slow heads, oversized heads and
bodies, ten thousand wrong tokens, forged and replayed upload links, path
tricks on every route, uploads cut off half-way and a full disk. A good client
(from 127.0.0.2, since limits are kept per address) must be served all along,
nothing may be answered 5xx, and the data folder must hold exactly what the
database names.

usage: attack_test.py PATH/TO/nimbo-share-server
"""
import http.client
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from server_process import (HOST, Server, db_rows, folder_mismatches, integrity, make_mp4, path_of,  # noqa: E402
                            png_bytes, raw_exchange, raw_status, register, request)

GOOD = "127.0.0.2"  # the legitimate client's own address
ATTACKER = "127.0.0.1"


class Counts:
    def __init__(self):
        self.lock = threading.Lock()
        self.sent = self.refused = self.served = self.slow = self.errors5xx = self.failed = 0
        self.problems = []

    def note(self, status, what, disk_full=False):
        """Counts an answer; 5xx is a fault, but for a full disk's 507."""
        with self.lock:
            self.sent += 1
            if 200 <= status < 400:
                self.served += 1
            elif 400 <= status < 500 or status in (0, -1) or (disk_full and status == 507):
                # 0: closed with no answer, -1: connection refused or cut; both are refusals
                self.refused += 1
            elif status >= 500:
                self.errors5xx += 1
                self.problems.append(f"{what}: answered {status}")

    def fail(self, text):
        with self.lock:
            self.problems.append(text)


counts = Counts()


def check(cond, text):
    if not cond:
        counts.fail(text)
    return cond


def good_upload(port, token, seed, size=20000):
    """Uploads an image as the good client and reads it back; the seconds it took."""
    png = png_bytes(size, seed)
    started = time.monotonic()
    status, _, body = request(port, "POST", "/api/upload", body=png, source=GOOD,
                              headers={"Authorization": "Bearer " + token, "Content-Type": "image/png"})
    counts.note(status, "good upload")
    if not check(status == 201, f"good client's upload answered {status}"):
        return time.monotonic() - started, None
    link = path_of(json.loads(body)["url"])
    status, _, got = request(port, "GET", link + ".png", source=GOOD)
    counts.note(status, "good read-back")
    check(status == 200 and got == png, f"good client's image {link} came back {status}, {len(got)} bytes")
    return time.monotonic() - started, link


def partial_files(data):
    return len(os.listdir(os.path.join(data, "incoming")))


# --- slow heads -------------------------------------------------------------

def slow_loris(port, token, connections=300, duration=16.0):
    """Many connections trickling their head a byte at a time (and some that
    send nothing) while the good client keeps uploading. Before, every worker
    waited on one of them and nobody else was served."""
    head = (b"GET /terms HTTP/1.1\r\nHost: 127.0.0.1\r\n" + b"".join(b"X-Slow-%d: %s\r\n" % (i, b"z" * 40)
                                                                     for i in range(40)) + b"\r\n")
    socks = []
    for i in range(connections):
        s = socket.socket()
        s.setblocking(True)
        s.settimeout(5)
        s.bind((ATTACKER, 0))
        s.connect((HOST, port))
        s.setblocking(False)
        socks.append([s, 0, None])  # socket, bytes sent, when the server ended it
    counts.slow += connections
    started = time.monotonic()
    stop = threading.Event()

    def trickle():
        while not stop.is_set():
            for index, entry in enumerate(socks):
                s, sent, ended = entry
                if ended is not None:
                    continue
                try:
                    data = s.recv(4096)  # an answer or the end of the connection
                    entry[2] = time.monotonic()
                    counts.note(raw_status(data), "slow connection")
                    # A head begun and never finished is answered 408; a silent connection just closed.
                    check(index % 5 == 0 or raw_status(data) == 408,
                          f"a slow head was answered {raw_status(data)}, not 408")
                    continue
                except BlockingIOError:
                    pass
                except OSError:
                    entry[2] = time.monotonic()
                    counts.note(-1, "slow connection")
                    continue
                # a fifth of them send nothing at all
                if index % 5 != 0 and sent < len(head) - 1:
                    try:
                        s.send(head[sent:sent + 1])
                        entry[1] += 1
                    except OSError:
                        entry[2] = time.monotonic()
                        counts.note(-1, "slow connection")
            time.sleep(0.3)

    t = threading.Thread(target=trickle)
    t.start()
    worst = 0.0
    rounds = 0
    while time.monotonic() - started < duration:
        took, _ = good_upload(port, token, 1000 + rounds)
        status, _, _ = request(port, "GET", "/terms", source=GOOD, timeout=10)
        counts.note(status, "good page")
        check(status == 200, f"good client's page during slow heads answered {status}")
        worst = max(worst, took)
        rounds += 1
        time.sleep(0.2)
    stop.set()
    t.join()
    still_open = sum(1 for s in socks if s[2] is None)
    lasted = max((s[2] - started for s in socks if s[2] is not None), default=0)
    for s in socks:
        s[0].close()
    check(worst < 2.0, f"the good client waited {worst:.2f}s for an upload during slow heads")
    check(rounds >= 10, f"the good client got only {rounds} rounds in during slow heads")
    # A head may take 10 s from its first byte; a silent connection 5 s.
    check(still_open == 0, f"{still_open} slow connections were still open after {duration:.0f}s")
    print(f"slow heads: {connections} connections ended by the server within {lasted:.1f}s; the good client did "
          f"{rounds} uploads, the slowest in {worst * 1000:.0f} ms")


# --- oversized heads and bodies ---------------------------------------------

def oversized(server, port):
    any_refusal = {0} | set(range(400, 500))
    # (what, request, the answers allowed): a head may be 16 KB in all.
    cases = [
        ("request line of 20 KB", b"GET /" + b"a" * 20000 + b" HTTP/1.1\r\nHost: x\r\n\r\n", {414}),
        ("request line of 9 KB", b"GET /" + b"a" * 9000 + b" HTTP/1.1\r\nHost: x\r\n\r\n", any_refusal),
        ("one header of 30 KB", b"GET /terms HTTP/1.1\r\nHost: x\r\nX-Big: " + b"b" * 30000 + b"\r\n\r\n", {431}),
        ("3000 headers", b"GET /terms HTTP/1.1\r\nHost: x\r\n" + b"X-H: v\r\n" * 3000 + b"\r\n", {431}),
        ("head with no blank line", b"GET /terms HTTP/1.1\r\n" + b"X-H: vvvvvvvvvvvvvvvvvvvv\r\n" * 1000, {431}),
        ("a NUL in the request line", b"GET /te\0rms HTTP/1.1\r\nHost: x\r\n\r\n", any_refusal),
        ("a request line of garbage", os.urandom(3000).replace(b"\r\n", b"xx") + b"\r\n\r\n", any_refusal),
        ("a header of 8 KB, under the limit",
         b"GET /terms HTTP/1.1\r\nHost: x\r\nX-Big: " + b"b" * 8000 + b"\r\nConnection: close\r\n\r\n", {200}),
    ]
    for what, data, allowed in cases:
        answer = raw_exchange(port, data, timeout=5)
        status = raw_status(answer)
        counts.note(status, what)
        check(status in allowed, f"{what}: answered {status}")
    # 64 MB of request line, and of body on a route that takes none: neither
    # may be held in memory.
    before = server.rss_kib()
    big = raw_exchange(port, b"GET /" + b"a" * (64 << 20), timeout=10)
    counts.note(raw_status(big), "64 MB request line")
    check(raw_status(big) in (0, 414, 431), f"64 MB request line: answered {raw_status(big)}")
    body = raw_exchange(port, b"POST /api/register HTTP/1.1\r\nHost: x\r\nContent-Length: 67108864\r\n\r\n" +
                        b"x" * (64 << 20), timeout=10)
    counts.note(raw_status(body), "64 MB body on /api/register")
    check(raw_status(body) == 413, f"64 MB body on /api/register: answered {raw_status(body)}")
    grew = server.rss_kib() - before
    check(grew < 32 * 1024, f"the server grew by {grew} KiB taking oversized heads and bodies")
    check(server.alive(), "the server died on oversized heads")
    print(f"oversized heads and bodies: refused; the server grew by {grew} KiB")


# --- wrong tokens -----------------------------------------------------------

def wrong_tokens(port, token, total=10000, threads=4):
    statuses = {}
    lock = threading.Lock()
    png = png_bytes(2000, 7)
    per_thread = total // threads
    started = time.monotonic()

    def attacker(n):
        conn = http.client.HTTPConnection(HOST, port, timeout=10, source_address=(ATTACKER, 0))
        for i in range(per_thread):
            bad = {"Authorization": f"Bearer wrong-{n}-{i}"}
            if i % 10 == 0:
                bad["Content-Type"] = "image/png"
                status, headers, _ = request(port, "POST", "/api/upload", body=png, headers=bad, conn=conn)
            else:
                status, headers, _ = request(port, "POST", "/api/recordings/create", body=b"", headers=bad,
                                             conn=conn)
            if status == -1:  # the connection was closed after a refusal: once more on a new one
                conn = http.client.HTTPConnection(HOST, port, timeout=10, source_address=(ATTACKER, 0))
                status, headers, _ = request(port, "POST", "/api/recordings/create", body=b"", headers=bad,
                                             conn=conn)
            counts.note(status, "wrong token")
            with lock:
                statuses[status] = statuses.get(status, 0) + 1
            if status == 429 and not headers.get("retry-after", "").isdigit():
                counts.fail("429 without a Retry-After in seconds")
        conn.close()

    workers = [threading.Thread(target=attacker, args=(n,)) for n in range(threads)]
    for w in workers:
        w.start()
    good = 0
    while any(w.is_alive() for w in workers):
        took, link = good_upload(port, token, 5000 + good)
        good += link is not None
        time.sleep(0.05)
    for w in workers:
        w.join()
    elapsed = time.monotonic() - started
    # 30 at once, then one a second.
    allowed = 30 + int(elapsed) + 2
    check(statuses.get(401, 0) <= allowed, f"{statuses.get(401, 0)} wrong tokens got 401 in {elapsed:.0f}s "
                                           f"(the limit allows {allowed})")
    check(statuses.get(429, 0) >= total - allowed, f"only {statuses.get(429, 0)} of {total} answered 429")
    check(set(statuses) <= {401, 429}, f"wrong tokens got {statuses}")
    check(good >= 5, f"the good client got only {good} uploads through while tokens were guessed")
    # The attacker's own right token is held back too: the address is what is limited.
    status, _, _ = request(port, "POST", "/api/recordings/create", body=b"", source=ATTACKER,
                           headers={"Authorization": "Bearer " + token})
    counts.note(status, "right token from the limited address")
    check(status == 429, f"a right token from the limited address answered {status}")
    print(f"wrong tokens: {total} sent in {elapsed:.1f}s: {statuses.get(401, 0)} answered 401, "
          f"{statuses.get(429, 0)} answered 429; the good client did {good} uploads meanwhile")


# --- forged and replayed upload links ---------------------------------------

def create_slot(port, token):
    status, _, body = request(port, "POST", "/api/recordings/create", body=b"", source=GOOD,
                              headers={"Authorization": "Bearer " + token})
    counts.note(status, "create slot")
    if not check(status == 201, f"creating an upload slot answered {status}"):
        raise SystemExit(1)
    slot = json.loads(body)
    return path_of(slot["uploadUrl"]), path_of(slot["shareUrl"])


def put(port, path, data, content_type="video/mp4"):
    status, _, _ = request(port, "PUT", path, body=data, source=GOOD, headers={"Content-Type": content_type})
    counts.note(status, "PUT " + path[:40])
    return status


def signatures(port, token, mp4, expired_link):
    url, share = create_slot(port, token)
    other_url, _ = create_slot(port, token)
    m = re.fullmatch(r"(/upload/[A-Za-z0-9_-]{22})\?expires=(\d+)&sig=([0-9a-f]{64})", url)
    check(m is not None, f"unexpected upload link {url}")
    base, expires, sig = m.groups()
    other_base, _, other_sig = re.fullmatch(r"(/upload/[A-Za-z0-9_-]{22})\?expires=(\d+)&sig=([0-9a-f]{64})",
                                            other_url).groups()
    flipped = sig[:-1] + ("0" if sig[-1] != "0" else "1")
    forged = [
        ("one digit changed", f"{base}?expires={expires}&sig={flipped}"),
        ("upper case", f"{base}?expires={expires}&sig={sig.upper()}"),
        ("a later expiry", f"{base}?expires={int(expires) + 86400}&sig={sig}"),
        ("expiry with a leading zero", f"{base}?expires=0{expires}&sig={sig}"),
        ("another slot's signature", f"{base}?expires={expires}&sig={other_sig}"),
        ("this signature on another slot", f"{other_base}?expires={expires}&sig={sig}"),
        ("no signature", f"{base}?expires={expires}"),
        ("an empty signature", f"{base}?expires={expires}&sig="),
        ("a short signature", f"{base}?expires={expires}&sig={sig[:32]}"),
        ("no expiry", f"{base}?sig={sig}"),
        ("signature first, forged after", f"{base}?sig={flipped}&expires={expires}&sig={sig}"),
        ("an encoded slash in the slug", base[:-1] + "%2F" + f"?expires={expires}&sig={sig}"),
    ]
    for what, path in forged:
        status = put(port, path, mp4)
        check(status in (403, 404), f"forged upload link ({what}) answered {status}")
    status = put(port, expired_link, mp4)
    check(status == 403, f"an expired upload link answered {status}")
    # Refused attempts did not use the link up.
    status = put(port, url, mp4)
    check(status == 200, f"the genuine upload link answered {status} after forged attempts")
    status, _, got = request(port, "GET", share + ".mp4", source=GOOD)
    counts.note(status, "read back recording")
    check(status == 200 and got == mp4, f"the recording came back {status}, {len(got)} bytes")
    # Single use: a replay is refused and changes nothing.
    status = put(port, url, png_bytes(3000, 9), content_type="video/mp4")
    check(status == 409, f"a replayed upload link answered {status}")
    status, _, got = request(port, "GET", share + ".mp4", source=GOOD)
    check(status == 200 and got == mp4, "the recording changed after a replayed upload")
    # A link whose upload failed is used up as well.
    url2, share2 = create_slot(port, token)
    check(put(port, url2, b"not an mp4 at all", content_type="video/mp4") == 415, "junk video not refused")
    check(put(port, url2, mp4) == 409, "a link whose upload failed could be used again")
    status, _, _ = request(port, "GET", share2 + ".mp4", source=GOOD)
    check(status == 404, f"a failed upload's recording answered {status}")
    # Two racing uses of one link: exactly one wins.
    url3, share3 = create_slot(port, token)
    results = []
    racers = [threading.Thread(target=lambda: results.append(put(port, url3, mp4))) for _ in range(8)]
    for r in racers:
        r.start()
    for r in racers:
        r.join()
    check(sorted(results) == [200] + [409] * 7, f"eight racing uses of one link answered {sorted(results)}")
    # Other methods on the upload route find nothing.
    for method in ("GET", "POST", "DELETE"):
        status, _, _ = request(port, method, url3, body=b"" if method != "GET" else None, source=GOOD)
        counts.note(status, method + " on an upload link")
        check(status in (404, 405), f"{method} on an upload link answered {status}")
    print(f"upload links: {len(forged) + 1} forged or expired refused, replays refused, one of eight racers won")


# --- path tricks ------------------------------------------------------------

def path_tricks(port, data, known_png_link, known_video_link):
    secrets = [open(os.path.join(data, name), "rb").read() for name in ("secret", "identity")]
    forbidden = [s for s in secrets if s] + [b"SQLite format 3", b"root:x:0:0"]
    slug = known_png_link.rsplit("/", 1)[1]
    tricks = ["../share.db", "..%2fshare.db", "%2e%2e/share.db", "%2e%2e%2fshare.db", "%2E%2E%2F%2E%2E%2Fetc%2Fpasswd",
              "..%252fshare.db", "%c0%ae%c0%ae/share.db", "%c0%ae%c0%ae%c0%afshare.db", "%e0%80%ae%e0%80%ae/secret",
              "..\\share.db", "..%5cshare.db", "%00", "share.db%00.png", slug + "%00.png", slug + ".png%00",
              slug + "/../../secret", slug + ".png/../../identity", slug + "%2f..%2f..%2fsecret", "/etc/passwd",
              "%2fetc%2fpasswd", "//etc/passwd", "A" * 5000, "A" * 22 + ".png" + "B" * 5000, slug + ".PNG",
              slug + ".png;.html", slug + "%2epng", "." * 22 + ".png", "-" * 22 + ".mp4", "%41" * 22 + ".png",
              "../images/" + slug + ".png", "../videos", "../incoming", "~/.ssh/id_rsa", slug + "\t.png"]
    prefixes = ["/", "/i/", "/v/", "/upload/", "/api/", "/api/identity/", "/api/upload/", "/terms/", "/privacy/"]
    tried = [(method, (prefix + trick).encode("latin-1")) for prefix in prefixes for trick in tricks
             for method in ("GET", "HEAD")]
    # Raw bytes the HTTP client library would not send: a NUL, overlong
    # UTF-8, an absolute URL, a relative one.
    tried += [("GET", target) for target in [
        b"/i/\0/../../secret", b"/i/\xc0\xae\xc0\xae/secret", b"/../../../etc/passwd", b"http://127.0.0.1/i/../secret",
        b"i/../secret", b"*", b"/i/" + slug.encode() + b"\0.png", b"/api/identity?nonce=" + b"a" * 6000,
        b"/api/identity?nonce=../../secret"]]
    for method, target in tried:
        head = method.encode() + b" " + target + b" HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"
        answer = raw_exchange(port, head, timeout=5)
        status = raw_status(answer)
        what = f"{method} {target[:80]!r}"
        counts.note(status, what)
        check(status < 500, f"{what} answered {status}")
        for f in forbidden:
            check(f not in answer, f"{what} served something from outside the shares")
    # Uploads aimed at a path: the slug is the server's to choose.
    for target in ["/api/upload/../../x", "/upload/../../secret?expires=1&sig=00", "/upload/" + "A" * 5000]:
        status, _, _ = request(port, "POST" if target.startswith("/api") else "PUT", target, body=b"\x89PNG\r\n\x1a\n",
                               source=GOOD)
        counts.note(status, target[:40])
        check(status in (400, 403, 404, 405), f"upload to {target[:60]} answered {status}")
    # What the tricks should not have broken: the genuine links still work.
    for link in (known_png_link + ".png", known_video_link + ".mp4"):
        status, _, _ = request(port, "GET", link, source=GOOD)
        check(status == 200, f"{link} answered {status} after the path tricks")
    print(f"path tricks: {len(tried)} requests, none served anything outside the shares")


# --- uploads cut off ---------------------------------------------------------

def cut_off(port, token, mp4):
    """Bodies declared whole, cut off before their end by the connection
    closing. Before, what had arrived was kept and linked as if it were the
    upload."""
    images_before, _ = db_rows(server.data)
    png = png_bytes(300000, 11)
    auth = f"Authorization: Bearer {token}\r\n".encode()

    def send_and_close(head, body, pause=0.0):
        s = socket.create_connection((HOST, port), timeout=5, source_address=(GOOD, 0))
        try:
            s.sendall(head + body)
            if pause:
                time.sleep(pause)
        finally:
            s.close()
        counts.note(0, "cut-off upload")

    jobs = []
    for i in range(12):
        declared = len(png)
        head = (b"POST /api/upload HTTP/1.1\r\nHost: x\r\nContent-Type: image/png\r\n" + auth +
                b"Content-Length: %d\r\n\r\n" % declared)
        jobs.append((head, png[: 1000 + i * 20000], 0.3 if i % 3 == 0 else 0.0))
    for i in range(6):
        head = (b"POST /api/upload HTTP/1.1\r\nHost: x\r\nContent-Type: image/png\r\n" + auth +
                b"Transfer-Encoding: chunked\r\n\r\n")
        body = b"".join(b"%x\r\n%s\r\n" % (4096, png[k * 4096:(k + 1) * 4096]) for k in range(i + 1))
        if i % 2:
            body += b"1000\r\n" + png[:100]  # a chunk cut off in its middle
        jobs.append((head, body, 0.0))
    # Recordings cut off half-way through their upload link.
    slots = []
    for i in range(4):
        url, share = create_slot(port, token)
        slots.append(share)
        head = (f"PUT {url} HTTP/1.1\r\nHost: x\r\nContent-Type: video/mp4\r\n"
                f"Content-Length: {len(mp4)}\r\n\r\n").encode()
        jobs.append((head, mp4[: len(mp4) // (i + 2)], 0.0))
    threads = [threading.Thread(target=send_and_close, args=job) for job in jobs]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    # The server has seen every connection end once nothing is being received.
    until = time.monotonic() + 10
    while partial_files(server.data) and time.monotonic() < until:
        time.sleep(0.1)
    time.sleep(1.0)
    images_after, recordings = db_rows(server.data)
    check(images_after == images_before, f"{len(images_after) - len(images_before)} cut-off images were stored")
    for share in slots:
        state = recordings[share.rsplit("/", 1)[1]][0]
        check(state == "failed", f"a cut-off recording's slot is {state}")
        status, _, _ = request(port, "GET", share + ".mp4", source=GOOD)
        counts.note(status, "cut-off recording")
        check(status == 404, f"a cut-off recording answered {status}")
    check(partial_files(server.data) == 0, f"{partial_files(server.data)} partial files after cut-off uploads")
    for p in folder_mismatches(server.data):
        counts.fail("after cut-off uploads: " + p)
    stored = len(images_after) - len(images_before) + sum(recordings[x.rsplit("/", 1)[1]][0] == "ready" for x in slots)
    print(f"cut-off uploads: {len(jobs)} sent, {stored} stored")


# --- a full disk -------------------------------------------------------------

def full_disk(binary, mp4):
    if os.geteuid() != 0:
        print("full disk: skipped (mounting a size-limited folder needs root)")
        return
    root = tempfile.mkdtemp(prefix="nimbo-full-disk-")
    mounted = False
    disk_server = None
    try:
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", root]).returncode != 0:
            print("full disk: skipped (tmpfs cannot be mounted here)")
            return
        mounted = True
        data = os.path.join(root, "data")
        disk_server = Server(binary, data)
        disk_server.log.close()
        disk_server.log = open(os.devnull, "wb")
        disk_server.start()
        port = disk_server.port
        token = register(port, source=GOOD)
        existing = png_bytes(200000, 21)
        status, _, body = request(port, "POST", "/api/upload", body=existing, source=GOOD,
                                  headers={"Authorization": "Bearer " + token, "Content-Type": "image/png"})
        counts.note(status, "upload before the disk fills")
        check(status == 201, f"an upload before the disk filled answered {status}")
        existing_link = path_of(json.loads(body)["url"]) + ".png"
        # Fill the disk but for about 100 KB.
        free = shutil.disk_usage(root).free
        with open(os.path.join(root, "filler"), "wb") as f:
            f.write(b"\0" * max(0, free - 100 * 1024))
        refused = 0
        for i, size in enumerate([400000, 1500000, 150000]):
            status, _, _ = request(port, "POST", "/api/upload", body=png_bytes(size, 30 + i), source=GOOD,
                                   headers={"Authorization": "Bearer " + token, "Content-Type": "image/png"})
            counts.note(status, "upload to a full disk", disk_full=True)
            check(status in (413, 507), f"an image of {size} bytes on a full disk answered {status}")
            refused += status >= 400
        url, share = create_slot(port, token)
        big = mp4 * max(1, 1500000 // len(mp4))
        status, _, _ = request(port, "PUT", url, body=big, source=GOOD, headers={"Content-Type": "video/mp4"})
        counts.note(status, "recording to a full disk", disk_full=True)
        check(status in (413, 507), f"a recording on a full disk answered {status}")
        refused += status >= 400
        check(partial_files(data) == 0, f"{partial_files(data)} partial files on the full disk")
        for p in folder_mismatches(data):
            counts.fail("full disk: " + p)
        status, _, got = request(port, "GET", existing_link, source=GOOD)
        counts.note(status, "existing share on a full disk")
        check(status == 200 and got == existing, f"an existing share on a full disk answered {status}")
        # Space again: a small upload goes through.
        os.unlink(os.path.join(root, "filler"))
        small = png_bytes(50000, 40)
        status, _, body = request(port, "POST", "/api/upload", body=small, source=GOOD,
                                  headers={"Authorization": "Bearer " + token, "Content-Type": "image/png"})
        counts.note(status, "upload after space was freed")
        check(status == 201, f"an upload after space was freed answered {status}")
        if status == 201:
            status, _, got = request(port, "GET", path_of(json.loads(body)["url"]) + ".png", source=GOOD)
            check(status == 200 and got == small, "the upload after space was freed did not come back whole")
        check(disk_server.alive(), "the server died on a full disk")
        for p in folder_mismatches(data):
            counts.fail("after the full disk: " + p)
        print(f"full disk: {refused} uploads that did not fit refused, existing share served, "
              f"small upload accepted once space was freed")
    finally:
        if disk_server:
            disk_server.stop()
        if mounted:
            subprocess.run(["umount", root])
        shutil.rmtree(root, ignore_errors=True)


def main():
    global server
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    binary = os.path.abspath(sys.argv[1])
    started = time.monotonic()
    partial = -1
    work = tempfile.mkdtemp(prefix="nimbo-attack-")
    server = Server(binary, os.path.join(work, "data"), ["--upload-ttl", "4"])
    try:
        server.start()
        port = server.port
        mp4 = make_mp4(os.path.join(work, "clip.mp4"))
        if not check(mp4 is not None, "ffmpeg could not make a test recording"):
            raise SystemExit(1)
        token = register(port, source=GOOD)
        _, png_link = good_upload(port, token, 1)
        url, video_link = create_slot(port, token)
        check(put(port, url, mp4) == 200, "the first recording was not stored")
        expiring, _ = create_slot(port, token)  # used after it expired, below

        slow_loris(port, token)
        oversized(server, port)
        signatures(port, token, mp4, expiring)
        path_tricks(port, server.data, png_link, video_link)
        cut_off(port, token, mp4)
        wrong_tokens(port, token)
        full_disk(binary, mp4)

        status, _, _ = request(port, "GET", "/terms", source=GOOD)
        check(status == 200, f"the server answered {status} at the end")
        check(server.alive(), "the server died")
        check(integrity(server.data) == "ok", "the database failed its integrity check")
        for p in folder_mismatches(server.data):
            counts.fail("at the end: " + p)
        partial = partial_files(server.data)
        check(partial == 0, f"{partial} partial files at the end")
    finally:
        server.stop()
        server.log.close()
        if counts.problems:
            with open(os.path.join(work, "data.log"), "rb") as f:
                sys.stderr.write(f.read().decode(errors="replace")[-4000:])
        shutil.rmtree(work, ignore_errors=True)
    print(f"attack: requests sent {counts.sent}, refused {counts.refused}, served {counts.served}, "
          f"slow connections {counts.slow}, 5xx {counts.errors5xx}, partial files {partial} "
          f"({time.monotonic() - started:.0f}s)")
    for p in counts.problems[:50]:
        print("FAIL:", p)
    return 1 if counts.problems else 0


if __name__ == "__main__":
    sys.exit(main())

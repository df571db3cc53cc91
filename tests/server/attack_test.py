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
from server_process import (HOST, Server, bearer, create_slot, db_rows, folder_mismatches, integrity,  # noqa: E402
                            make_mp4, png_bytes, raw_exchange, raw_status, register, request, upload_image)

GOOD = "127.0.0.2"  # the legitimate client's own address
ATTACKER = "127.0.0.1"


class Counts:
    """The answers seen; any 5xx is a fault, but for a full disk's 507."""

    def __init__(self):
        self.lock = threading.Lock()
        self.sent = self.errors5xx = 0
        self.problems = []

    def note(self, status, what, disk_full=False):
        with self.lock:
            self.sent += 1
            if status >= 500 and not (disk_full and status == 507):
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


def expect(status, allowed, what, disk_full=False):
    """Counts an answer and checks it is one of `allowed`."""
    counts.note(status, what, disk_full)
    return check(status in allowed, f"{what}: answered {status}")


def good_upload(port, token, seed, size=20000):
    """Uploads an image as the good client and reads it back; the seconds it took and its page."""
    png = png_bytes(size, seed)
    started = time.monotonic()
    status, link = upload_image(port, token, png, source=GOOD)
    if expect(status, {201}, "the good client's upload"):
        status, _, got = request(port, "GET", link + ".png", source=GOOD)
        counts.note(status, "good read-back")
        check(status == 200 and got == png, f"the good client's image {link} came back {status}, {len(got)} bytes")
    return time.monotonic() - started, link


def partial_files(data):
    return len(os.listdir(os.path.join(data, "incoming")))


def folder_agrees(data, when):
    """The data folder holds exactly what the database names, and nothing half received."""
    check(partial_files(data) == 0, f"{partial_files(data)} partial files {when}")
    for p in folder_mismatches(data):
        counts.fail(f"{when}: {p}")


# --- slow heads -------------------------------------------------------------

def slow_loris(port, token, connections=300, duration=16.0):
    """Many connections trickling their head a byte at a time (and a fifth
    that send nothing) while the good client keeps uploading. Before, every
    worker waited on one of them and nobody else was served."""
    head = (b"GET /terms HTTP/1.1\r\nHost: 127.0.0.1\r\n" + b"".join(b"X-Slow-%d: %s\r\n" % (i, b"z" * 40)
                                                                     for i in range(40)) + b"\r\n")
    socks = []  # [socket, bytes sent, when the server ended it]
    for _ in range(connections):
        s = socket.create_connection((HOST, port), timeout=5, source_address=(ATTACKER, 0))
        s.setblocking(False)
        socks.append([s, 0, None])
    started = time.monotonic()
    stop = threading.Event()

    def ended(entry, status):
        entry[2] = time.monotonic()
        counts.note(status, "slow connection")

    def trickle():
        while not stop.is_set():
            for index, entry in enumerate(socks):
                s, sent, gone = entry
                if gone is not None:
                    continue
                try:
                    data = s.recv(4096)  # an answer or the end of the connection
                    ended(entry, raw_status(data))
                    # A head begun and never finished is answered 408; a silent connection just closed.
                    check(index % 5 == 0 or raw_status(data) == 408, f"a slow head was answered {raw_status(data)}")
                    continue
                except BlockingIOError:
                    pass
                except OSError:
                    ended(entry, -1)
                    continue
                if index % 5 != 0 and sent < len(head) - 1:
                    try:
                        entry[1] += s.send(head[sent:sent + 1])
                    except OSError:
                        ended(entry, -1)
            time.sleep(0.3)

    t = threading.Thread(target=trickle)
    t.start()
    worst = 0.0
    rounds = 0
    while time.monotonic() - started < duration:
        took, _ = good_upload(port, token, 1000 + rounds)
        expect(request(port, "GET", "/terms", source=GOOD)[0], {200}, "the good client's page during slow heads")
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
        expect(raw_status(raw_exchange(port, data, timeout=5)), allowed, what)
    # 64 MB of request line, and of body on a route that takes none: neither
    # may be held in memory.
    before = server.rss_kib()
    expect(raw_status(raw_exchange(port, b"GET /" + b"a" * (64 << 20), timeout=10)), {0, 414, 431},
           "64 MB request line")
    expect(raw_status(raw_exchange(port, b"POST /api/register HTTP/1.1\r\nHost: x\r\nContent-Length: 67108864\r\n\r\n" +
                                   b"x" * (64 << 20), timeout=10)), {413}, "64 MB body on /api/register")
    grew = server.rss_kib() - before
    check(grew < 32 * 1024, f"the server grew by {grew} KiB taking oversized heads and bodies")
    check(server.alive(), "the server died on oversized heads")
    print(f"oversized heads and bodies: refused; the server grew by {grew} KiB")


# --- wrong tokens -----------------------------------------------------------

def wrong_tokens(port, token, total=10000, threads=4):
    statuses = {}
    lock = threading.Lock()
    png = png_bytes(2000, 7)
    started = time.monotonic()

    def attacker(n):
        conn = http.client.HTTPConnection(HOST, port, timeout=10, source_address=(ATTACKER, 0))
        for i in range(total // threads):
            bad = f"wrong-{n}-{i}"
            if i % 10 == 0:
                status, headers, _ = request(port, "POST", "/api/upload", body=png, headers=bearer(bad, "image/png"),
                                             conn=conn)
            else:
                status, headers, _ = request(port, "POST", "/api/recordings/create", body=b"", headers=bearer(bad),
                                             conn=conn)
            if status == -1:  # the connection was closed after a refusal: once more, on a new one
                status, headers, _ = request(port, "POST", "/api/recordings/create", body=b"", headers=bearer(bad),
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
        good += good_upload(port, token, 5000 + good)[1] is not None
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
    expect(request(port, "POST", "/api/recordings/create", body=b"", source=ATTACKER, headers=bearer(token))[0],
           {429}, "a right token from the limited address")
    print(f"wrong tokens: {total} sent in {elapsed:.1f}s: {statuses.get(401, 0)} answered 401, "
          f"{statuses.get(429, 0)} answered 429; the good client did {good} uploads meanwhile")


# --- forged and replayed upload links ---------------------------------------

def slot(port, token):
    status, url, share = create_slot(port, token, source=GOOD)
    if not expect(status, {201}, "creating an upload slot"):
        raise SystemExit(1)
    return url, share


def put(port, path, data):
    return request(port, "PUT", path, body=data, source=GOOD, headers={"Content-Type": "video/mp4"})[0]


def recording_is(port, share, mp4):
    status, _, got = request(port, "GET", share + ".mp4", source=GOOD)
    counts.note(status, "read back recording")
    return status == 200 and got == mp4


def signatures(port, token, mp4, expired_link):
    def parts(link):  # (base, expires, sig)
        return re.fullmatch(r"(/upload/[A-Za-z0-9_-]{22})\?expires=(\d+)&sig=([0-9a-f]{64})", link).groups()

    url, share = slot(port, token)
    base, expires, sig = parts(url)
    other_base, _, other_sig = parts(slot(port, token)[0])
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
        expect(put(port, path, mp4), {403, 404}, f"a forged upload link ({what})")
    expect(put(port, expired_link, mp4), {403}, "an expired upload link")
    # Refused attempts did not use the link up; a replay is refused and changes nothing.
    expect(put(port, url, mp4), {200}, "the genuine upload link after forged ones")
    check(recording_is(port, share, mp4), "the recording did not come back whole")
    expect(put(port, url, png_bytes(3000, 9)), {409}, "a replayed upload link")
    check(recording_is(port, share, mp4), "the recording changed after a replayed upload")
    # A link whose upload failed is used up as well.
    url, share = slot(port, token)
    expect(put(port, url, b"not an mp4 at all"), {415}, "a junk recording")
    expect(put(port, url, mp4), {409}, "a link whose upload failed, used again")
    expect(request(port, "GET", share + ".mp4", source=GOOD)[0], {404}, "a failed upload's recording")
    # Two racing uses of one link: exactly one wins.
    url, _ = slot(port, token)
    results = []
    racers = [threading.Thread(target=lambda: results.append(put(port, url, mp4))) for _ in range(8)]
    for r in racers:
        r.start()
    for r in racers:
        r.join()
    check(sorted(results) == [200] + [409] * 7, f"eight racing uses of one link answered {sorted(results)}")
    # Other methods on the upload route find nothing.
    for method in ("GET", "POST", "DELETE"):
        expect(request(port, method, url, body=b"" if method != "GET" else None, source=GOOD)[0], {404, 405},
               method + " on an upload link")
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
        answer = raw_exchange(port, method.encode() + b" " + target + b" HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        what = f"{method} {target[:80]!r}"
        expect(raw_status(answer), range(500), what)
        check(not any(f in answer for f in forbidden), f"{what} served something from outside the shares")
    # Uploads aimed at a path: the slug is the server's to choose.
    for target in ["/api/upload/../../x", "/upload/../../secret?expires=1&sig=00", "/upload/" + "A" * 5000]:
        status, _, _ = request(port, "POST" if target.startswith("/api") else "PUT", target, body=b"\x89PNG\r\n\x1a\n",
                               source=GOOD)
        expect(status, {400, 403, 404, 405}, "upload to " + target[:60])
    # What the tricks should not have broken: the genuine links still work.
    for link in (known_png_link + ".png", known_video_link + ".mp4"):
        expect(request(port, "GET", link, source=GOOD)[0], {200}, link + " after the path tricks")
    print(f"path tricks: {len(tried)} requests, none served anything outside the shares")


# --- uploads cut off ---------------------------------------------------------

def cut_off(server, token, mp4):
    """Bodies declared whole, cut off before their end by the connection
    closing. Before, what had arrived was kept and linked as if it were the
    upload."""
    port, data = server.port, server.data
    images_before, _ = db_rows(data)
    png = png_bytes(300000, 11)
    upload = f"POST /api/upload HTTP/1.1\r\nHost: x\r\nContent-Type: image/png\r\nAuthorization: Bearer {token}\r\n"

    def send_and_close(head, body, pause=0.0):
        with socket.create_connection((HOST, port), timeout=5, source_address=(GOOD, 0)) as s:
            s.sendall(head.encode() + body)
            time.sleep(pause)
        counts.note(0, "cut-off upload")

    jobs = [(upload + f"Content-Length: {len(png)}\r\n\r\n", png[:1000 + i * 20000], 0.3 if i % 3 == 0 else 0.0)
            for i in range(12)]
    for i in range(6):  # chunked, every other one cut off in the middle of a chunk
        body = b"".join(b"%x\r\n%s\r\n" % (4096, png[k * 4096:(k + 1) * 4096]) for k in range(i + 1))
        jobs.append((upload + "Transfer-Encoding: chunked\r\n\r\n", body + (b"1000\r\n" + png[:100] if i % 2 else b"")))
    # Recordings cut off half-way through their upload link.
    slots = []
    for i in range(4):
        url, share = slot(port, token)
        slots.append(share.rsplit("/", 1)[1])
        jobs.append((f"PUT {url} HTTP/1.1\r\nHost: x\r\nContent-Type: video/mp4\r\nContent-Length: {len(mp4)}\r\n\r\n",
                     mp4[:len(mp4) // (i + 2)]))
    threads = [threading.Thread(target=send_and_close, args=job) for job in jobs]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    # The server has seen every connection end once nothing is being received.
    until = time.monotonic() + 10
    while partial_files(data) and time.monotonic() < until:
        time.sleep(0.1)
    time.sleep(1.0)
    images_after, recordings = db_rows(data)
    check(images_after == images_before, f"{len(images_after) - len(images_before)} cut-off images were stored")
    for s in slots:
        check(recordings[s][0] == "failed", f"a cut-off recording's slot is {recordings[s][0]}")
        expect(request(port, "GET", f"/v/{s}.mp4", source=GOOD)[0], {404}, "a cut-off recording")
    folder_agrees(data, "after cut-off uploads")
    print(f"cut-off uploads: {len(jobs)} sent")


# --- a full disk -------------------------------------------------------------

def full_disk(binary, mp4):
    if os.geteuid() != 0:
        print("full disk: skipped (mounting a size-limited folder needs root)")
        return
    root = tempfile.mkdtemp(prefix="nimbo-full-disk-")
    mounted = False
    disk_server = Server(binary, os.path.join(root, "data"), log=os.devnull)
    try:
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", root]).returncode != 0:
            print("full disk: skipped (tmpfs cannot be mounted here)")
            return
        mounted = True
        disk_server.start()
        port, data = disk_server.port, disk_server.data
        token = register(port, source=GOOD)
        existing = png_bytes(200000, 21)
        status, existing_link = upload_image(port, token, existing, source=GOOD)
        if not expect(status, {201}, "an upload before the disk filled"):
            return
        # Fill the disk but for about 100 KB.
        with open(os.path.join(root, "filler"), "wb") as f:
            f.write(b"\0" * max(0, shutil.disk_usage(root).free - 100 * 1024))
        for i, size in enumerate([400000, 1500000, 150000]):
            expect(upload_image(port, token, png_bytes(size, 30 + i), source=GOOD)[0], {413, 507},
                   f"an image of {size} bytes on a full disk", disk_full=True)
        url, _ = slot(port, token)
        expect(put(port, url, mp4 * max(1, 1500000 // len(mp4))), {413, 507}, "a recording on a full disk",
               disk_full=True)
        folder_agrees(data, "on the full disk")
        status, _, got = request(port, "GET", existing_link + ".png", source=GOOD)
        check(status == 200 and got == existing, f"an existing share on a full disk answered {status}")
        # Space again: a small upload goes through.
        os.unlink(os.path.join(root, "filler"))
        small = png_bytes(50000, 40)
        status, link = upload_image(port, token, small, source=GOOD)
        if expect(status, {201}, "an upload after space was freed"):
            status, _, got = request(port, "GET", link + ".png", source=GOOD)
            check(status == 200 and got == small, "the upload after space was freed did not come back whole")
        check(disk_server.alive(), "the server died on a full disk")
        folder_agrees(data, "after the full disk")
        print("full disk: uploads that did not fit refused, existing share served, small upload accepted once space "
              "was freed")
    finally:
        disk_server.stop()
        if mounted:
            subprocess.run(["umount", root])
        shutil.rmtree(root, ignore_errors=True)


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    binary = os.path.abspath(sys.argv[1])
    started = time.monotonic()
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
        url, video_link = slot(port, token)
        expect(put(port, url, mp4), {200}, "the first recording")
        expiring, _ = slot(port, token)  # used after it expired, below

        slow_loris(port, token)
        oversized(server, port)
        signatures(port, token, mp4, expiring)
        path_tricks(port, server.data, png_link, video_link)
        cut_off(server, token, mp4)
        wrong_tokens(port, token)
        full_disk(binary, mp4)

        expect(request(port, "GET", "/terms", source=GOOD)[0], {200}, "the server at the end")
        check(server.alive(), "the server died")
        check(integrity(server.data) == "ok", "the database failed its integrity check")
        folder_agrees(server.data, "at the end")
    finally:
        server.stop()
        if counts.problems:
            with open(server.log, "rb") as f:
                sys.stderr.write(f.read().decode(errors="replace")[-4000:])
        shutil.rmtree(work, ignore_errors=True)
    print(f"attack: requests sent {counts.sent}, 5xx {counts.errors5xx} ({time.monotonic() - started:.0f}s)")
    for p in counts.problems[:50]:
        print("FAIL:", p)
    return 1 if counts.problems else 0


if __name__ == "__main__":
    sys.exit(main())

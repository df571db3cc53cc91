#!/usr/bin/env python3
"""The share server under attack on loopback: slow and oversized heads, ten thousand wrong tokens, forged and replayed
upload links, path tricks on every route, uploads cut off half-way and a full disk. A good client (from 127.0.0.2, as
limits are kept per address) must be served all along, nothing may answer 5xx, and the data folder must hold exactly
what the database names.

usage: attack_test.py PATH/TO/nimbo-share-server
"""
import collections
import http.client
import itertools
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
from server_process import (HOST, Server, bearer, check, create_slot, db_rows, folder_mismatches,  # noqa: E402
                            integrity, make_mp4, partial_files, png_bytes, problems, raw_exchange, raw_status,
                            register, request, upload_image)

GOOD, ATTACKER = "127.0.0.2", "127.0.0.1"  # the legitimate client's own address, and the attacker's
ANY = range(-1, 500)  # any answer but a 5xx
answers = itertools.count()


def expect(status, allowed, what, disk_full=False):
    """Counts an answer and checks it is one of `allowed`; a 5xx never is, but for a full disk's 507."""
    next(answers)
    return check(status in allowed and (status < 500 or disk_full and status == 507), f"{what}: answered {status}")


def good_upload(port, token, seed):
    """Uploads an image as the good client and reads it back; the seconds it took and its page."""
    png, started = png_bytes(20000, seed), time.monotonic()
    status, link = upload_image(port, token, png, source=GOOD)
    if expect(status, {201}, "the good client's upload"):
        status, _, got = request(port, "GET", link + ".png", source=GOOD)
        check(expect(status, {200}, "the good client's read-back") and got == png,
              f"the good client's image {link} came back with {len(got)} bytes")
    return time.monotonic() - started, link


def folder_agrees(data, when):
    """The data folder holds exactly what the database names, and nothing half received."""
    check(partial_files(data) == 0, f"{partial_files(data)} partial files {when}")
    problems.extend(f"{when}: {p}" for p in sum(folder_mismatches(data), []))


def slow_loris(port, token, connections=300, duration=16.0):
    """Many connections trickling their head a byte at a time (a fifth sending nothing) while the good client keeps
    uploading. Every worker used to wait on one of them, and nobody else was served."""
    head = (b"GET /terms HTTP/1.1\r\nHost: 127.0.0.1\r\n" + b"".join(b"X-Slow-%d: %s\r\n" % (i, b"z" * 40)
                                                                     for i in range(40)) + b"\r\n")
    socks = []  # [socket, bytes sent, when the server ended it]
    for _ in range(connections):
        s = socket.create_connection((HOST, port), timeout=5, source_address=(ATTACKER, 0))
        s.setblocking(False)
        socks.append([s, 0, None])
    started, stop = time.monotonic(), threading.Event()

    def trickle():
        while not stop.is_set():
            for index, entry in enumerate(socks):
                s, done, gone = entry
                if gone is not None:
                    continue
                try:
                    status = raw_status(s.recv(4096))  # an answer or the end of the connection
                    # A head begun and never finished is answered 408; a silent connection just closed.
                    check(index % 5 == 0 or status == 408, f"a slow head was answered {status}")
                except BlockingIOError:
                    try:
                        if index % 5 != 0 and done < len(head) - 1:
                            entry[1] += s.send(head[done:done + 1])
                        continue
                    except OSError:
                        status = -1
                except OSError:
                    status = -1
                entry[2] = time.monotonic()
                expect(status, ANY, "a slow connection")
            time.sleep(0.3)

    t = threading.Thread(target=trickle)
    t.start()
    worst, rounds = 0.0, 0
    while time.monotonic() - started < duration:
        worst = max(worst, good_upload(port, token, 1000 + rounds)[0])
        expect(request(port, "GET", "/terms", source=GOOD)[0], {200}, "the good client's page during slow heads")
        rounds += 1
        time.sleep(0.2)
    stop.set()
    t.join()
    still_open = sum(s[2] is None for s in socks)
    lasted = max((s[2] - started for s in socks if s[2] is not None), default=0)
    for s in socks:
        s[0].close()
    check(worst < 2.0, f"the good client waited {worst:.2f}s for an upload during slow heads")
    check(rounds >= 10, f"the good client got only {rounds} rounds in during slow heads")
    # A head may take 10 s from its first byte; a silent connection 5 s.
    check(still_open == 0, f"{still_open} slow connections were still open after {duration:.0f}s")
    print(f"slow heads: {connections} connections ended within {lasted:.1f}s; the good client's slowest of {rounds} "
          f"uploads took {worst * 1000:.0f} ms")


def oversized(server, port):
    """A head may be 16 KB in all; neither 64 MB of request line nor of body where none belongs is held in memory."""
    refused = {0} | set(range(400, 500))
    for what, data, allowed in [
        ("request line of 20 KB", b"GET /" + b"a" * 20000 + b" HTTP/1.1\r\nHost: x\r\n\r\n", {414}),
        ("request line of 9 KB", b"GET /" + b"a" * 9000 + b" HTTP/1.1\r\nHost: x\r\n\r\n", refused),
        ("one header of 30 KB", b"GET /terms HTTP/1.1\r\nHost: x\r\nX-Big: " + b"b" * 30000 + b"\r\n\r\n", {431}),
        ("3000 headers", b"GET /terms HTTP/1.1\r\nHost: x\r\n" + b"X-H: v\r\n" * 3000 + b"\r\n", {431}),
        ("head with no blank line", b"GET /terms HTTP/1.1\r\n" + b"X-H: vvvvvvvvvvvvvvvvvvvv\r\n" * 1000, {431}),
        ("a NUL in the request line", b"GET /te\0rms HTTP/1.1\r\nHost: x\r\n\r\n", refused),
        ("a request line of garbage", os.urandom(3000).replace(b"\r\n", b"xx") + b"\r\n\r\n", refused),
        ("a header of 8 KB, under the limit",
         b"GET /terms HTTP/1.1\r\nHost: x\r\nX-Big: " + b"b" * 8000 + b"\r\nConnection: close\r\n\r\n", {200}),
    ]:
        expect(raw_status(raw_exchange(port, data, timeout=5)), allowed, what)
    before = server.rss_kib()
    expect(raw_status(raw_exchange(port, b"GET /" + b"a" * (64 << 20), timeout=10)), {0, 414, 431},
           "64 MB request line")
    expect(raw_status(raw_exchange(port, b"POST /api/register HTTP/1.1\r\nHost: x\r\nContent-Length: 67108864\r\n\r\n" +
                                   b"x" * (64 << 20), timeout=10)), {413}, "64 MB body on /api/register")
    grew = server.rss_kib() - before
    check(grew < 32 * 1024, f"the server grew by {grew} KiB taking oversized heads and bodies")
    check(server.alive(), "the server died on oversized heads")
    print(f"oversized heads and bodies: refused; the server grew by {grew} KiB")


def wrong_tokens(port, token, total=10000, threads=4):
    """Wrong tokens from one address: 30 answered 401 at once, then one a second, the rest 429."""
    statuses, png, started = [], png_bytes(2000, 7), time.monotonic()

    def attacker(n):
        conn = http.client.HTTPConnection(HOST, port, timeout=10, source_address=(ATTACKER, 0))
        for i in range(total // threads):
            bad = f"wrong-{n}-{i}"
            status = -1
            if i % 10 == 0:
                status, headers, _ = request(port, "POST", "/api/upload", body=png, headers=bearer(bad, "image/png"),
                                             conn=conn)
            if status == -1:  # not an upload, or its connection closed after the refusal: a new one
                status, headers, _ = request(port, "POST", "/api/recordings/create", body=b"", headers=bearer(bad),
                                             conn=conn)
            expect(status, ANY, "a wrong token")
            statuses.append(status)
            check(status != 429 or headers.get("retry-after", "").isdigit(), "429 without a Retry-After in seconds")
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
    elapsed, seen = time.monotonic() - started, collections.Counter(statuses)
    allowed = 30 + int(elapsed) + 2
    check(seen[401] <= allowed, f"{seen[401]} wrong tokens got 401 in {elapsed:.0f}s (the limit allows {allowed})")
    check(seen[429] >= total - allowed, f"only {seen[429]} of {total} answered 429")
    check(set(seen) <= {401, 429}, f"wrong tokens got {seen}")
    check(good >= 5, f"the good client got only {good} uploads through while tokens were guessed")
    # The attacker's own right token is held back too: the address is what is limited. The
    # allowance refills one a second, so it is spent first (a wrong token answered 429 means none
    # is left), and the right token follows at once.
    for _ in range(5):
        if request(port, "POST", "/api/recordings/create", body=b"", source=ATTACKER,
                   headers=bearer("wrong-last"))[0] == 429:
            break
    expect(request(port, "POST", "/api/recordings/create", body=b"", source=ATTACKER, headers=bearer(token))[0],
           {429}, "a right token from the limited address")
    print(f"wrong tokens: {total} in {elapsed:.1f}s, {seen[401]} answered 401, {seen[429]} 429; the good client did "
          f"{good} uploads meanwhile")


def slot(port, token):
    status, url, share = create_slot(port, token, source=GOOD)
    if not expect(status, {201}, "creating an upload slot"):
        raise SystemExit(1)
    return url, share


def put(port, path, data):
    return request(port, "PUT", path, body=data, source=GOOD, headers={"Content-Type": "video/mp4"})[0]


def recording_is(port, share, mp4):
    status, _, got = request(port, "GET", share + ".mp4", source=GOOD)
    return expect(status, ANY, "reading back a recording") and status == 200 and got == mp4


def signatures(port, token, mp4, expired_link):
    """Forged, expired, replayed and raced upload links."""
    def parts(link):  # (base, expires, sig)
        return re.fullmatch(r"(/upload/[A-Za-z0-9_-]{22})\?expires=(\d+)&sig=([0-9a-f]{64})", link).groups()

    url, share = slot(port, token)
    base, expires, sig = parts(url)
    other_base, _, other_sig = parts(slot(port, token)[0])
    flipped = sig[:-1] + ("0" if sig[-1] != "0" else "1")
    q = f"?expires={expires}&sig="
    forged = {"one digit changed": base + q + flipped, "upper case": base + q + sig.upper(),
              "a later expiry": f"{base}?expires={int(expires) + 86400}&sig={sig}", "an empty signature": base + q,
              "expiry with a leading zero": f"{base}?expires=0{expires}&sig={sig}",
              "another slot's signature": base + q + other_sig, "this signature on another slot": other_base + q + sig,
              "no signature": f"{base}?expires={expires}", "no expiry": f"{base}?sig={sig}", "short": base + q + sig[:32],
              "signature first, forged after": f"{base}?sig={flipped}&expires={expires}&sig={sig}",
              "an encoded slash in the slug": base[:-1] + "%2F" + q + sig}
    for what, path in forged.items():
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
    # Eight racing uses of one link: exactly one wins.
    url, _ = slot(port, token)
    results = []
    racers = [threading.Thread(target=lambda: results.append(put(port, url, mp4))) for _ in range(8)]
    for r in racers:
        r.start()
    for r in racers:
        r.join()
    check(sorted(results) == [200] + [409] * 7, f"eight racing uses of one link answered {sorted(results)}")
    for method in ("GET", "POST", "DELETE"):  # other methods on the upload route find nothing
        expect(request(port, method, url, body=b"" if method != "GET" else None, source=GOOD)[0], {404, 405},
               method + " on an upload link")
    print(f"upload links: {len(forged) + 1} forged or expired refused, replays refused, one of eight racers won")


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
             for method in (b"GET", b"HEAD")]
    # Raw bytes the HTTP client library would not send: a NUL, overlong UTF-8, an absolute URL, a relative one.
    tried += [(b"GET", target) for target in [
        b"/i/\0/../../secret", b"/i/\xc0\xae\xc0\xae/secret", b"/../../../etc/passwd", b"http://127.0.0.1/i/../secret",
        b"i/../secret", b"*", b"/i/" + slug.encode() + b"\0.png", b"/api/identity?nonce=" + b"a" * 6000,
        b"/api/identity?nonce=../../secret"]]
    for method, target in tried:
        what = f"{method.decode()} {target[:80]!r}"
        answer = raw_exchange(port, b"%s %s HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n" % (method, target))
        expect(raw_status(answer), range(500), what)
        check(not any(f in answer for f in forbidden), f"{what} served something from outside the shares")
    # Uploads aimed at a path: the slug is the server's to choose.
    for target in ["/api/upload/../../x", "/upload/../../secret?expires=1&sig=00", "/upload/" + "A" * 5000]:
        status = request(port, "POST" if target.startswith("/api") else "PUT", target, body=b"\x89PNG\r\n\x1a\n",
                         source=GOOD)[0]
        expect(status, {400, 403, 404, 405}, "upload to " + target[:60])
    for link in (known_png_link + ".png", known_video_link + ".mp4"):  # the genuine links still work
        expect(request(port, "GET", link, source=GOOD)[0], {200}, link + " after the path tricks")
    print(f"path tricks: {len(tried)} requests, none served anything outside the shares")


def cut_off(server, token, mp4):
    """Bodies declared whole, cut off by the connection closing. What had arrived used to be kept and linked as if it
    were the upload."""
    port, data = server.port, server.data
    images_before, _ = db_rows(data)
    png = png_bytes(300000, 11)
    upload = f"POST /api/upload HTTP/1.1\r\nHost: x\r\nContent-Type: image/png\r\nAuthorization: Bearer {token}\r\n"

    def send_and_close(head, body, pause=0.0):
        with socket.create_connection((HOST, port), timeout=5, source_address=(GOOD, 0)) as s:
            s.sendall(head.encode() + body)
            time.sleep(pause)

    jobs = [(upload + f"Content-Length: {len(png)}\r\n\r\n", png[:1000 + i * 20000], 0.3 if i % 3 == 0 else 0.0)
            for i in range(12)]
    for i in range(6):  # chunked, every other one cut off in the middle of a chunk
        body = b"".join(b"%x\r\n%s\r\n" % (4096, png[k * 4096:(k + 1) * 4096]) for k in range(i + 1))
        jobs.append((upload + "Transfer-Encoding: chunked\r\n\r\n", body + (b"1000\r\n" + png[:100] if i % 2 else b"")))
    slots = []  # recordings cut off half-way through their upload link
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
    until = time.monotonic() + 10  # the server has seen every connection end once nothing is being received
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


def full_disk(binary, mp4):
    if os.geteuid() != 0:
        return print("full disk: skipped (mounting a size-limited folder needs root)")
    root = tempfile.mkdtemp(prefix="nimbo-full-disk-")
    disk_server = Server(binary, os.path.join(root, "data"), log=os.devnull)
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", root]).returncode == 0
    try:
        if not mounted:
            return print("full disk: skipped (tmpfs cannot be mounted here)")
        disk_server.start()
        port, data = disk_server.port, disk_server.data
        token = register(port, source=GOOD)
        existing = png_bytes(200000, 21)
        status, existing_link = upload_image(port, token, existing, source=GOOD)
        if not expect(status, {201}, "an upload before the disk filled"):
            return
        with open(os.path.join(root, "filler"), "wb") as f:  # all but about 100 KB
            f.write(b"\0" * max(0, shutil.disk_usage(root).free - 100 * 1024))
        for i, size in enumerate([400000, 1500000, 150000]):
            expect(upload_image(port, token, png_bytes(size, 30 + i), source=GOOD)[0], {413, 507},
                   f"an image of {size} bytes on a full disk", disk_full=True)
        expect(put(port, slot(port, token)[0], mp4 * max(1, 1500000 // len(mp4))), {413, 507},
               "a recording on a full disk", disk_full=True)
        folder_agrees(data, "on the full disk")
        status, _, got = request(port, "GET", existing_link + ".png", source=GOOD)
        check(status == 200 and got == existing, f"an existing share on a full disk answered {status}")
        os.unlink(os.path.join(root, "filler"))  # space again: a small upload goes through
        good_upload(port, token, 40)
        check(disk_server.alive(), "the server died on a full disk")
        folder_agrees(data, "after the full disk")
        print("full disk: what did not fit refused, the existing share served, a small upload taken once freed")
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
        if problems:
            with open(server.log, "rb") as f:
                sys.stderr.write(f.read().decode(errors="replace")[-4000:])
        shutil.rmtree(work, ignore_errors=True)
    print(f"attack: {next(answers)} answers, {len(problems)} problems ({time.monotonic() - started:.0f}s)")
    for p in problems[:50]:
        print("FAIL:", p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

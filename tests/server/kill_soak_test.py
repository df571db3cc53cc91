#!/usr/bin/env python3
"""The share server killed (SIGKILL) at random moments while several clients
upload images and recordings, then started again, for a few dozen rounds.
After every kill the database must pass its integrity check and name no file
that is missing or of another size; after every start no partial upload may
be left. Every upload the server acknowledged must be served whole, read
while others upload and once more at the end, and no link may ever serve
anything but the whole upload or 404.

usage: kill_soak_test.py PATH/TO/nimbo-share-server [ROUNDS] [SECONDS]
"""
import http.client
import json
import os
import random
import shutil
import sqlite3
import sys
import tempfile
import threading
import time

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from server_process import (HOST, Server, bearer, db_rows, integrity, make_mp4, missing_files,  # noqa: E402
                            path_of, png_bytes, register, stray_files)

UPLOADERS = 4


class Soak:
    def __init__(self, server, token, clips, images):
        self.server, self.token, self.clips, self.images = server, token, clips, images
        self.lock = threading.Lock()
        self.acknowledged = {}  # raw link -> bytes the server said it stored
        self.unacknowledged = {}  # raw link of a recording whose upload got no answer -> bytes sent
        self.problems = []

    def fail(self, text):
        with self.lock:
            self.problems.append(text)

    def check_link(self, conn, link, expected, may_be_missing):
        """Whether `link` served `expected` (or 404 when it `may_be_missing`);
        False also when the connection failed (the server was killed)."""
        try:
            conn.request("GET", link)
            r = conn.getresponse()
            status, body = r.status, r.read()
        except (OSError, http.client.HTTPException):
            conn.close()
            return False
        if (status == 200 and body == expected) or (status == 404 and may_be_missing):
            return True
        self.fail(f"{link} answered {status} with {len(body)} of {len(expected)} bytes")
        return False

    def uploader(self, n, stop):
        rng = random.Random(n * 7919 + int(time.time()))
        conn = http.client.HTTPConnection(HOST, self.server.port, timeout=10)

        def exchange(method, path, body, headers):
            conn.request(method, path, body=body, headers=headers)
            r = conn.getresponse()
            return r.status, r.read()

        while not stop.is_set():
            try:
                choice = rng.random()
                if choice < 0.15 and self.acknowledged:
                    # Reading while others upload (and while the server dies).
                    with self.lock:
                        link, data = rng.choice(list(self.acknowledged.items()))
                    if not self.check_link(conn, link, data, False) and not self.server.alive():
                        return
                    continue
                if choice < 0.65:
                    png = rng.choice(self.images)
                    status, body = exchange("POST", "/api/upload", png, bearer(self.token, "image/png"))
                    if status == 201:
                        with self.lock:
                            self.acknowledged[path_of(json.loads(body)["url"]) + ".png"] = png
                    elif status != 429:
                        self.fail(f"an image upload answered {status}: {body[:80]!r}")
                    continue
                mp4 = rng.choice(self.clips)
                status, body = exchange("POST", "/api/recordings/create", b"", bearer(self.token))
                if status != 201:
                    self.fail(f"creating an upload link answered {status}")
                    continue
                slot = json.loads(body)
                link = path_of(slot["shareUrl"]) + ".mp4"
                with self.lock:
                    self.unacknowledged[link] = mp4
                status, body = exchange("PUT", path_of(slot["uploadUrl"]), mp4, {"Content-Type": "video/mp4"})
                if status != 200:
                    self.fail(f"a recording upload answered {status}: {body[:80]!r}")
                    continue
                with self.lock:
                    del self.unacknowledged[link]
                    self.acknowledged[link] = mp4
            except (OSError, http.client.HTTPException, ValueError):
                conn.close()
                if not self.server.alive() or stop.is_set():
                    return
                time.sleep(0.01)


def crash_state(data):
    """Checks what a kill left, before the next start: (problems, leftovers)."""
    try:
        result = integrity(data)
        images, recordings = db_rows(data)
    except sqlite3.Error as e:
        return [f"the database cannot be read after a kill: {e}"], 0
    problems = [] if result == "ok" else [f"integrity check after a kill: {result}"]
    # A row never names a missing file, nor one of another size.
    problems += ["after a kill, " + p for p in missing_files(data, images, recordings)]
    leftovers = len(os.listdir(os.path.join(data, "incoming"))) + len(stray_files(data, images, recordings))
    return problems, leftovers


def after_start(data):
    """Right after a start, before anyone uploads: the folders hold exactly what the database names."""
    images, recordings = db_rows(data)
    problems = [p + " after a start" for p in stray_files(data, images, recordings, posters_in_progress=True)]
    if os.listdir(os.path.join(data, "incoming")):
        problems.append("partial files survived a start")
    if any(state == "uploading" for state, _ in recordings.values()):
        problems.append("a recording is still 'uploading' after a start")
    return problems


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    binary = os.path.abspath(sys.argv[1])
    max_rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 40
    budget = float(sys.argv[3]) if len(sys.argv) > 3 else 100.0
    started = time.monotonic()
    work = tempfile.mkdtemp(prefix="nimbo-kill-soak-")
    data = os.path.join(work, "data")
    server = Server(binary, data)
    kills = orphans_seen = 0
    problems = []
    try:
        clips = [make_mp4(os.path.join(work, f"clip{i}.mp4"), seconds=s, size=size, seed=i)
                 for i, (s, size) in enumerate([(1, "160x120"), (2, "320x240"), (2, "640x480")])]
        if any(c is None for c in clips):
            print("kill soak: ffmpeg could not make the test recordings")
            return 1
        rng = random.Random(1)
        images = [png_bytes(rng.choice([20000, 80000, 300000, 1500000]), seed) for seed in range(16)]
        server.start()
        soak = Soak(server, register(server.port), clips, images)
        rounds = 0
        while rounds < max_rounds and time.monotonic() - started < budget:
            rounds += 1
            stop = threading.Event()
            threads = [threading.Thread(target=soak.uploader, args=(n, stop)) for n in range(UPLOADERS)]
            for t in threads:
                t.start()
            time.sleep(rng.uniform(0.1, 1.8))
            server.kill()
            kills += 1
            stop.set()
            for t in threads:
                t.join()
            found, orphans = crash_state(data)
            problems += found
            orphans_seen += orphans
            server.start()
            problems += after_start(data)
            if soak.problems:
                break
        # Everything acknowledged before a kill is served whole; what was cut
        # off is whole or missing, never short.
        verified = 0
        conn = http.client.HTTPConnection(HOST, server.port, timeout=10)
        for link, expected in soak.acknowledged.items():
            verified += soak.check_link(conn, link, expected, False)
        for link, expected in soak.unacknowledged.items():
            soak.check_link(conn, link, expected, True)
        conn.close()
        problems += soak.problems
        final = integrity(data)
        if final != "ok":
            problems.append(f"integrity check at the end: {final}")
        if verified != len(soak.acknowledged):
            problems.append(f"only {verified} of {len(soak.acknowledged)} acknowledged uploads were served whole")
        if len(soak.acknowledged) < kills:
            problems.append(f"only {len(soak.acknowledged)} uploads were acknowledged in {kills} rounds")
        print(f"kill soak: kills {kills}, uploads acknowledged {len(soak.acknowledged)}, verified {verified}, "
              f"cut off {len(soak.unacknowledged)}, leftovers found after kills {orphans_seen} and removed at start, "
              f"integrity {final} ({time.monotonic() - started:.0f}s)")
    finally:
        server.stop()
        shutil.rmtree(work, ignore_errors=True)
    for p in problems[:50]:
        print("FAIL:", p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

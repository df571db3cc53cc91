#!/usr/bin/env python3
"""The share server killed (SIGKILL) at random moments while clients upload images and recordings, then started again,
for a few dozen rounds. After every kill the database must pass its integrity check and name no missing or short file;
after every start nothing partial may be left; every acknowledged upload must be served whole, and no link may ever
serve anything but the whole upload or 404.

usage: kill_soak_test.py PATH/TO/nimbo-share-server [ROUNDS] [SECONDS]
"""
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
from server_process import (Server, check, create_slot, db_rows, folder_mismatches, integrity, make_mp4,  # noqa: E402
                            partial_files, png_bytes, problems, register, request, upload_image)

acknowledged = {}  # raw link -> bytes the server said it stored
unacknowledged = {}  # raw link of a recording whose upload got no answer -> bytes sent


def served(port, link, expected, may_be_missing=False):
    """Whether `link` served `expected` (or 404 when it `may_be_missing`); a failed exchange (a kill) is no fault."""
    status, _, body = request(port, "GET", link)
    ok = (status == 200 and body == expected) or (status == 404 and may_be_missing)
    check(ok or status == -1, f"{link} answered {status} with {len(body)} of {len(expected)} bytes")
    return ok


def uploader(port, token, clips, images, seed, stop):
    rng = random.Random(seed)
    while not stop.is_set():
        choice = rng.random()
        if choice < 0.15 and acknowledged:  # reading while others upload, and while the server dies
            served(port, *rng.choice(list(acknowledged.items())))
        elif choice < 0.65:
            png = rng.choice(images)
            status, page = upload_image(port, token, png)
            if status == 201:
                acknowledged[page + ".png"] = png
            check(status in (-1, 201, 429), f"an image upload answered {status}")
        else:
            status, upload, share = create_slot(port, token)
            if status == 201:
                link, mp4 = share + ".mp4", rng.choice(clips)
                unacknowledged[link] = mp4
                status = request(port, "PUT", upload, body=mp4, headers={"Content-Type": "video/mp4"})[0]
                if status == 200:
                    acknowledged[link] = unacknowledged.pop(link)
            check(status in (-1, 200), f"a recording's upload or link answered {status}")


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
    kills = leftovers = 0
    try:
        clips = [make_mp4(os.path.join(work, f"clip{i}.mp4"), seconds=s, size=size, seed=i)
                 for i, (s, size) in enumerate([(1, "160x120"), (2, "320x240"), (2, "640x480")])]
        if None in clips:
            print("kill soak: ffmpeg could not make the test recordings")
            return 1
        rng = random.Random(1)
        images = [png_bytes(rng.choice([20000, 80000, 300000, 1500000]), seed) for seed in range(16)]
        server.start()
        token = register(server.port)
        while kills < max_rounds and time.monotonic() - started < budget and not problems:
            stop = threading.Event()
            threads = [threading.Thread(target=uploader, args=(server.port, token, clips, images,
                                                               n * 7919 + int(time.time()), stop)) for n in range(4)]
            for t in threads:
                t.start()
            time.sleep(rng.uniform(0.1, 1.8))
            server.kill()
            kills += 1
            stop.set()
            for t in threads:
                t.join()
            try:  # what the kill left: no row without its whole file; the rest the next start removes
                check((result := integrity(data)) == "ok", f"integrity check after a kill: {result}")
                missing, stray = folder_mismatches(data)
            except sqlite3.Error as e:
                missing, stray = [f"the database cannot be read: {e}"], []
            problems.extend("after a kill, " + p for p in missing)
            leftovers += partial_files(data) + len(stray)
            server.start()
            problems.extend(p + " after a start" for p in folder_mismatches(data, posters_in_progress=True)[1])
            check(partial_files(data) == 0, "partial files survived a start")
            check("uploading" not in {state for state, _ in db_rows(data)[1].values()},
                  "a recording is still 'uploading' after a start")
        # Everything acknowledged before a kill is served whole; what was cut off is whole or missing, never short.
        verified = sum(served(server.port, link, want) for link, want in acknowledged.items())
        for link, want in unacknowledged.items():
            served(server.port, link, want, may_be_missing=True)
        check((final := integrity(data)) == "ok", f"integrity check at the end: {final}")
        check(verified == len(acknowledged), f"{verified} of {len(acknowledged)} acknowledged uploads served whole")
        check(len(acknowledged) >= kills, f"only {len(acknowledged)} uploads were acknowledged in {kills} rounds")
        print(f"kill soak: kills {kills}, uploads acknowledged {len(acknowledged)}, verified {verified}, cut off "
              f"{len(unacknowledged)}, leftovers found after kills {leftovers} and removed at start, integrity {final} "
              f"({time.monotonic() - started:.0f}s)")
    finally:
        server.stop()
        shutil.rmtree(work, ignore_errors=True)
    for p in problems[:50]:
        print("FAIL:", p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

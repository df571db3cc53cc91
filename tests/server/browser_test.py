#!/usr/bin/env python3
"""A real browser against the share server's pages.

Uploads a real H.264 MP4 and a PNG to nimbo-share-server on loopback, then
drives headless Chromium over its DevTools pipe: the /v/ page's video must
play and seek to its middle without an error, the /i/ page's image must
load, and neither page may trip its Content-Security-Policy.

    browser_test.py PATH/TO/nimbo-share-server
Exit status 0 on success; 77 when chromium or ffmpeg is missing.
"""
import json
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from server_process import Server, create_slot, make_mp4, png_bytes, register, request, upload_image  # noqa: E402

DEADLINE = time.monotonic() + 75


def fail(why):
    print("FAIL: " + why, flush=True)
    sys.exit(1)


def left():
    return max(0.1, DEADLINE - time.monotonic())


class Browser:
    """Headless Chromium driven over --remote-debugging-pipe: JSON messages,
    each ended by a NUL, read by it from fd 3 and written by it to fd 4."""

    def __init__(self, chromium, profile):
        commands, self.to_browser = os.pipe()
        self.from_browser, answers = os.pipe()
        self.proc = subprocess.Popen(
            ["sh", "-c", f'exec "$@" 3<&{commands} 4>&{answers}', "sh", chromium, "--headless=new", "--no-sandbox",
             "--disable-gpu", "--no-first-run", "--no-default-browser-check", "--mute-audio",
             "--autoplay-policy=no-user-gesture-required", "--remote-debugging-pipe", "--user-data-dir=" + profile,
             "about:blank"], pass_fds=(commands, answers), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(commands)
        os.close(answers)
        self.buf, self.next_id, self.events, self.session = b"", 0, [], None

    def call(self, method, **params):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if self.session:
            message["sessionId"] = self.session
        os.write(self.to_browser, json.dumps(message).encode() + b"\0")
        while True:
            while b"\0" not in self.buf:
                ready = select.select([self.from_browser], [], [], left())[0]
                chunk = os.read(self.from_browser, 1 << 16) if ready else b""
                if not chunk:
                    fail(f"chromium did not answer {method}")
                self.buf += chunk
            text, self.buf = self.buf.split(b"\0", 1)
            reply = json.loads(text)
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    fail(f"{method}: {reply['error']}")
                return reply.get("result", {})
            if "method" in reply:
                self.events.append(reply)

    def attach(self):
        """Drives the browser's page from now on."""
        page = next((t for t in self.call("Target.getTargets")["targetInfos"] if t["type"] == "page"), None)
        if not page:
            fail("chromium has no page to drive")
        self.session = self.call("Target.attachToTarget", targetId=page["targetId"], flatten=True)["sessionId"]
        for domain in ("Page", "Runtime", "Log"):
            self.call(domain + ".enable")

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, awaitPromise=True, returnByValue=True,
                           userGesture=True, timeout=int(left() * 1000))
        if "exceptionDetails" in result:
            details = result["exceptionDetails"]
            fail("script failed: " + json.dumps(details.get("exception", details))[:500])
        return result["result"].get("value")

    def open(self, url):
        self.call("Page.navigate", url=url)
        while self.evaluate("document.readyState") != "complete":
            time.sleep(0.05)

    def policy_violations(self):
        texts = [e["params"]["entry"].get("text", "") if e["method"] == "Log.entryAdded" else
                 " ".join(str(a.get("value", "")) for a in e["params"].get("args", []))
                 for e in self.events if e["method"] in ("Log.entryAdded", "Runtime.consoleAPICalled")]
        return [t for t in texts if "Content Security Policy" in t or "Content-Security-Policy" in t]


VIDEO_CHECK = """
(async () => {
  const v = document.querySelector('video');
  const until = (event, ms) => new Promise((resolve, reject) => {
    const t = setTimeout(() => reject(new Error('no ' + event + ' within ' + ms + ' ms')), ms);
    v.addEventListener(event, () => { clearTimeout(t); resolve(); }, {once: true});
  });
  const posterFetched = performance.getEntriesByType('resource').some(e => e.name.endsWith('.jpg') && e.responseStatus === 200);
  v.muted = true;
  await v.play();
  const started = performance.now();
  while (v.currentTime < 0.3 && performance.now() - started < 10000) await new Promise(r => setTimeout(r, 50));
  const playedTo = v.currentTime;
  const middle = v.duration / 2;
  const seeked = until('seeked', 15000);
  v.currentTime = middle;
  await seeked;
  const afterSeek = v.currentTime;
  await new Promise(r => setTimeout(r, 300));
  return {duration: v.duration, middle, playedTo, afterSeek, now: v.currentTime,
          error: v.error ? v.error.code + ' ' + v.error.message : null,
          width: v.videoWidth, height: v.videoHeight, readyState: v.readyState, poster: v.poster, posterFetched};
})()
"""

IMAGE_CHECK = """
(async () => {
  const i = document.querySelector('img');
  await i.decode();  // rejects when the image cannot be loaded
  return {width: i.naturalWidth, height: i.naturalHeight};
})()
"""


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    chromium = shutil.which("chromium")
    if not chromium or not shutil.which("ffmpeg"):
        print("SKIP: chromium or ffmpeg not installed")
        return 77

    tmp = tempfile.mkdtemp(prefix="nimbo-browser-test-")
    server = Server(sys.argv[1], os.path.join(tmp, "data"))
    browser = None
    try:
        mp4 = make_mp4(os.path.join(tmp, "clip.mp4"), seconds=3, size="640x360")
        if mp4 is None:
            fail("ffmpeg could not make the recording")
        server.start()
        port = server.port
        base = f"http://127.0.0.1:{port}"
        token = register(port)
        _, image_page = upload_image(port, token, png_bytes(120000, 1))  # 200x200 pixels
        _, upload, video_page = create_slot(port, token)
        if not (image_page and upload and
                request(port, "PUT", upload, body=mp4, headers={"Content-Type": "video/mp4"})[0] == 200):
            fail("the uploads failed")

        browser = Browser(chromium, os.path.join(tmp, "profile"))
        browser.attach()
        browser.open(base + video_page)
        video = browser.evaluate(VIDEO_CHECK)
        print("video: " + json.dumps(video), flush=True)
        for wrong, why in [(video["error"], "the video element reports an error"),
                           (not 2.9 < video["duration"] < 3.1, "the duration is not 3 s"),
                           (video["playedTo"] <= 0.0, "the video did not play"),
                           (abs(video["afterSeek"] - video["middle"]) > 0.1 or video["now"] < video["middle"],
                            "the seek to the middle did not end there and play on"),
                           ((video["width"], video["height"]) != (640, 360) or video["readyState"] < 2,
                            "no decoded frame after the seek"),
                           (not video["poster"].endswith(".jpg") or not video["posterFetched"], "no poster loaded")]:
            if wrong:
                fail(why)

        browser.open(base + image_page)
        image = browser.evaluate(IMAGE_CHECK)
        print("image: " + json.dumps(image), flush=True)
        if (image["width"], image["height"]) != (200, 200):
            fail(f"image is {image['width']}x{image['height']}, want 200x200")

        violations = browser.policy_violations()
        if violations:
            fail("Content-Security-Policy blocked something: " + "; ".join(violations))
        print("PASS", flush=True)
        return 0
    finally:
        if browser:
            browser.proc.terminate()
            try:
                browser.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                browser.proc.kill()
                browser.proc.wait()
        server.stop()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Headless Chromium, driven over its DevTools pipe, against the share server on loopback: a real H.264 recording's
page must play and seek to its middle without an error, a PNG's page must show it, and neither page may trip its
Content-Security-Policy.

usage: browser_test.py PATH/TO/nimbo-share-server (exit status 77 when chromium or ffmpeg is missing)
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
    """Headless Chromium over --remote-debugging-pipe: JSON messages ended by a NUL, in on fd 3 and out on fd 4."""

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

    def attach(self):  # drives the browser's page from now on
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
  const v = document.querySelector('video'), sleep = ms => new Promise(r => setTimeout(r, ms));
  const posterFetched = performance.getEntriesByType('resource').some(e => e.name.endsWith('.jpg') && e.responseStatus === 200);
  v.muted = true;
  await v.play();
  for (const started = performance.now(); v.currentTime < 0.3 && performance.now() - started < 10000;) await sleep(50);
  const playedTo = v.currentTime, middle = v.duration / 2;
  const seeked = new Promise((resolve, reject) => {
    setTimeout(() => reject(new Error('no seeked within 15 s')), 15000);
    v.addEventListener('seeked', resolve, {once: true});
  });
  v.currentTime = middle;
  await seeked;
  const afterSeek = v.currentTime;
  await sleep(300);
  return {duration: v.duration, middle, playedTo, afterSeek, now: v.currentTime,
          error: v.error ? v.error.code + ' ' + v.error.message : null,
          width: v.videoWidth, height: v.videoHeight, readyState: v.readyState, poster: v.poster, posterFetched};
})()
"""
# decode() rejects when the image cannot be loaded.
IMAGE_CHECK = "(async () => { const i = document.querySelector('img'); await i.decode(); " \
              "return {width: i.naturalWidth, height: i.naturalHeight}; })()"


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    chromium = shutil.which("chromium")
    if not chromium or not shutil.which("ffmpeg"):
        print("SKIP: chromium or ffmpeg not installed")
        return 77
    tmp = tempfile.mkdtemp(prefix="nimbo-browser-test-")
    server, browser = Server(sys.argv[1], os.path.join(tmp, "data")), None
    try:
        mp4 = make_mp4(os.path.join(tmp, "clip.mp4"), seconds=3, size="640x360")
        server.start()
        port, base = server.port, f"http://127.0.0.1:{server.port}"
        token = register(port)
        _, image_page = upload_image(port, token, png_bytes(120000, 1))  # 200x200 pixels
        _, upload, video_page = create_slot(port, token)
        if not (mp4 and image_page and upload and
                request(port, "PUT", upload, body=mp4, headers={"Content-Type": "video/mp4"})[0] == 200):
            fail("the uploads failed")
        browser = Browser(chromium, os.path.join(tmp, "profile"))
        browser.attach()
        browser.open(base + video_page)
        video = browser.evaluate(VIDEO_CHECK)
        browser.open(base + image_page)
        image = browser.evaluate(IMAGE_CHECK)
        violations = browser.policy_violations()
        print(f"video: {json.dumps(video)}\nimage: {json.dumps(image)}", flush=True)
        for wrong, why in [(video["error"], "the video element reports an error"),
                           (not 2.9 < video["duration"] < 3.1, "the duration is not 3 s"),
                           (video["playedTo"] <= 0.0, "the video did not play"),
                           (abs(video["afterSeek"] - video["middle"]) > 0.1 or video["now"] < video["middle"],
                            "the seek to the middle did not end there and play on"),
                           ((video["width"], video["height"]) != (640, 360) or video["readyState"] < 2,
                            "no decoded frame after the seek"),
                           (not video["poster"].endswith(".jpg") or not video["posterFetched"], "no poster loaded"),
                           ((image["width"], image["height"]) != (200, 200), f"the image is not 200x200: {image}"),
                           (violations, "Content-Security-Policy blocked something: " + "; ".join(violations))]:
            if wrong:
                fail(why)
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

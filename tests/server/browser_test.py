#!/usr/bin/env python3
"""A real browser against the share server's pages.

Starts nimbo-share-server on a free loopback port, uploads a real H.264 MP4
and a PNG, then drives headless Chromium over the DevTools protocol: the /v/
page's video must play and seek to its middle without an error, the /i/
page's image must load, and neither page may trip its Content-Security-Policy.

    browser_test.py PATH/TO/nimbo-share-server
Exit status 0 on success; 77 when chromium or ffmpeg is missing.
"""
import base64
import json
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import urllib.request

DEADLINE = time.monotonic() + 75


def fail(why):
    print("FAIL: " + why, flush=True)
    sys.exit(1)


def left():
    return max(0.1, DEADLINE - time.monotonic())


class WebSocket:
    """Just enough of RFC 6455 for DevTools: text frames, client-masked."""

    def __init__(self, url):
        assert url.startswith("ws://")
        hostport, path = url[5:].split("/", 1)
        host, port = hostport.rsplit(":", 1)
        self.sock = socket.create_connection((host, int(port)), timeout=left())
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall((f"GET /{path} HTTP/1.1\r\nHost: {hostport}\r\nUpgrade: websocket\r\n"
                           f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                           "Sec-WebSocket-Version: 13\r\n\r\n").encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.sock.recv(4096)
            if not chunk:
                fail("DevTools closed the WebSocket handshake")
            head += chunk
        if not head.startswith(b"HTTP/1.1 101"):
            fail("DevTools refused the WebSocket: " + head.split(b"\r\n")[0].decode(errors="replace"))
        self.buf = head.split(b"\r\n\r\n", 1)[1]

    def _read(self, n):
        while len(self.buf) < n:
            self.sock.settimeout(left())
            chunk = self.sock.recv(65536)
            if not chunk:
                fail("DevTools closed the connection")
            self.buf += chunk
        out, self.buf = self.buf[:n], self.buf[n:]
        return out

    def send(self, text):
        data = text.encode()
        mask = os.urandom(4)
        n = len(data)
        if n < 126:
            header = struct.pack("!BB", 0x81, 0x80 | n)
        elif n < 65536:
            header = struct.pack("!BBH", 0x81, 0x80 | 126, n)
        else:
            header = struct.pack("!BBQ", 0x81, 0x80 | 127, n)
        self.sock.sendall(header + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(data)))

    def recv(self):
        message = b""
        while True:
            b0, b1 = self._read(2)
            n = b1 & 0x7F
            if n == 126:
                n = struct.unpack("!H", self._read(2))[0]
            elif n == 127:
                n = struct.unpack("!Q", self._read(8))[0]
            payload = self._read(n)
            opcode = b0 & 0x0F
            if opcode == 0x8:
                fail("DevTools closed the WebSocket")
            if opcode in (0x9, 0xA):  # ping/pong: nothing to keep
                continue
            message += payload
            if b0 & 0x80:
                return message.decode()


class DevTools:
    def __init__(self, ws_url):
        self.ws = WebSocket(ws_url)
        self.next_id = 0
        self.events = []

    def call(self, method, **params):
        self.next_id += 1
        my_id = self.next_id
        self.ws.send(json.dumps({"id": my_id, "method": method, "params": params}))
        while True:
            msg = json.loads(self.ws.recv())
            if msg.get("id") == my_id:
                if "error" in msg:
                    fail(f"{method}: {msg['error']}")
                return msg.get("result", {})
            if "method" in msg:
                self.events.append(msg)

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
        out = []
        for e in self.events:
            if e["method"] == "Log.entryAdded":
                text = e["params"]["entry"].get("text", "")
            elif e["method"] == "Runtime.consoleAPICalled":
                text = " ".join(str(a.get("value", "")) for a in e["params"].get("args", []))
            else:
                continue
            if "Content Security Policy" in text or "Content-Security-Policy" in text:
                out.append(text)
        return out


def http(method, url, body=None, headers=None):
    req = urllib.request.Request(url, data=body, method=method, headers=headers or {})
    with urllib.request.urlopen(req, timeout=left()) as r:
        return r.status, r.read()


VIDEO_CHECK = """
(async () => {
  const v = document.querySelector('video');
  if (!v) throw new Error('no video element');
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
  if (!i) throw new Error('no img element');
  if (!i.complete) await new Promise((resolve, reject) => { i.onload = resolve; i.onerror = () => reject(new Error('image failed')); });
  await i.decode();
  return {width: i.naturalWidth, height: i.naturalHeight};
})()
"""


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    server_bin = sys.argv[1]
    chromium = shutil.which("chromium")
    if not chromium or not shutil.which("ffmpeg"):
        print("SKIP: chromium or ffmpeg not installed")
        return 77

    tmp = tempfile.mkdtemp(prefix="nimbo-browser-test-")
    procs = []
    try:
        mp4 = os.path.join(tmp, "clip.mp4")
        png = os.path.join(tmp, "shot.png")
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=640x360:rate=30",
                        "-t", "3", "-c:v", "libx264", "-pix_fmt", "yuv420p", mp4],
                       check=True, stdin=subprocess.DEVNULL, timeout=left())
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=800x600",
                        "-frames:v", "1", png], check=True, stdin=subprocess.DEVNULL, timeout=left())

        port_file = os.path.join(tmp, "port")
        server = subprocess.Popen([server_bin, "--listen", "127.0.0.1:0", "--port-file", port_file,
                                   "--data", os.path.join(tmp, "data")])
        procs.append(server)
        while not os.path.exists(port_file):
            if server.poll() is not None or left() < 60:
                fail("the server did not start")
            time.sleep(0.05)
        base = "http://127.0.0.1:" + open(port_file).read().strip()

        _, body = http("POST", base + "/api/register", b"")
        auth = {"Authorization": "Bearer " + json.loads(body)["token"]}
        _, body = http("POST", base + "/api/upload", open(png, "rb").read(), dict(auth, **{"Content-Type": "image/png"}))
        image_page = json.loads(body)["url"]
        _, body = http("POST", base + "/api/recordings/create", b"", auth)
        slot = json.loads(body)
        status, _ = http("PUT", slot["uploadUrl"], open(mp4, "rb").read(), {"Content-Type": "video/mp4"})
        if status != 200:
            fail(f"video upload answered {status}")

        profile = os.path.join(tmp, "profile")
        browser = subprocess.Popen([chromium, "--headless=new", "--no-sandbox", "--disable-gpu",
                                    "--no-first-run", "--no-default-browser-check", "--mute-audio",
                                    "--autoplay-policy=no-user-gesture-required", "--remote-debugging-port=0",
                                    "--user-data-dir=" + profile, "about:blank"],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        procs.append(browser)
        active = os.path.join(profile, "DevToolsActivePort")
        while not (os.path.exists(active) and len(open(active).read().split("\n")) >= 2):
            if browser.poll() is not None or left() < 40:
                fail("chromium did not open its DevTools port")
            time.sleep(0.1)
        devtools_port = open(active).read().split("\n")[0].strip()
        _, body = http("GET", f"http://127.0.0.1:{devtools_port}/json/list")
        pages = [t for t in json.loads(body) if t.get("type") == "page"]
        if not pages:
            fail("chromium has no page to drive")
        tab = DevTools(pages[0]["webSocketDebuggerUrl"])
        tab.call("Page.enable")
        tab.call("Runtime.enable")
        tab.call("Log.enable")

        h264 = tab.evaluate("document.createElement('video').canPlayType('video/mp4; codecs=\"avc1.640028\"')")
        print("chromium says H.264 in MP4 is: " + repr(h264), flush=True)
        if not h264:
            fail("this chromium cannot play H.264 MP4, which is what recordings are")

        tab.open(slot["shareUrl"])
        video = tab.evaluate(VIDEO_CHECK)
        print("video: " + json.dumps(video), flush=True)
        if video["error"]:
            fail("the video element reports an error: " + video["error"])
        if not (2.9 < video["duration"] < 3.1):
            fail(f"duration {video['duration']}, want 3 s")
        if video["playedTo"] <= 0.0:
            fail("the video did not play")
        if abs(video["afterSeek"] - video["middle"]) > 0.1 or video["now"] < video["middle"]:
            fail(f"seek to {video['middle']} ended at {video['afterSeek']} (now {video['now']})")
        if (video["width"], video["height"]) != (640, 360) or video["readyState"] < 2:
            fail("no decoded frame after the seek")
        if not video["poster"].endswith(".jpg") or not video["posterFetched"]:
            fail("the poster was not loaded")

        tab.open(image_page)
        image = tab.evaluate(IMAGE_CHECK)
        print("image: " + json.dumps(image), flush=True)
        if (image["width"], image["height"]) != (800, 600):
            fail(f"image is {image['width']}x{image['height']}, want 800x600")

        violations = tab.policy_violations()
        if violations:
            fail("Content-Security-Policy blocked something: " + "; ".join(violations))
        print("PASS", flush=True)
        return 0
    finally:
        for p in reversed(procs):
            p.terminate()
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

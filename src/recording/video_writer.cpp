#include "recording/video_writer.h"

#include "media/ffmpeg_library.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QRegion>
#include <QStandardPaths>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <cstring>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "recording/audio_mixer.h"
#include "recording/h264_encoder.h"
#include "recording/yuv.h"
#include "util/log.h"
#include "util/paths.h"

namespace nimbo {

namespace {

constexpr AVRational kVideoTimeBase{1, 90000};
constexpr int kAudioRate = 48000;
constexpr int kFrameRateHint = 60;

QString averror(int code) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av().av_strerror(code, buf, sizeof buf);
  return QString::fromUtf8(buf);
}

// The muxer cuts a fragment every second, keyframe or not: a fragment is on
// the disk as soon as the next one starts, so a killed recording loses at
// most the second in progress (and the tenth of a second the newest picture
// and sound take to reach the muxer). Sound keeps cutting fragments when the
// capture stalls and no picture comes.
constexpr int kFragmentUs = 1000000;
// A keyframe every ten seconds: decoding, and seeking, start at one. A
// keyframe holds the whole screen: one every second was half of an everyday
// recording's size and a third of its encoding time, one every five seconds
// still a third of its size (bench/everyday_bench.sh). A player seeking
// between two decodes from the one before, and on a desktop most of the
// pictures in between change little.
constexpr int64_t kKeyInterval = 10 * kVideoTimeBase.den;

// Until its first fragment is whole a recording holds nothing a player can
// show, so it is written under a hidden name that carries our process id
// and takes its own name once that fragment is on the disk. One whose
// process died before then is removed at the next start
// (removeAbandonedRecordings). Each writer of the process has a number of
// its own in it too: one let go while another for the same second is made
// (a countdown cancelled and started again) removes only its own file.
QString partPathFor(const QString& path) {
  static std::atomic<int> made{0};
  const QFileInfo info(path);
  return info.path() + QStringLiteral("/.") + info.fileName() +
         QStringLiteral(".part-%1-%2").arg(made.fetch_add(1)).arg(::getpid());
}

uint32_t readU32(const char* p) {
  return (uint32_t(uchar(p[0])) << 24) | (uint32_t(uchar(p[1])) << 16) | (uint32_t(uchar(p[2])) << 8) | uchar(p[3]);
}
void writeU32(char* p, uint32_t v) {
  p[0] = char(v >> 24), p[1] = char(v >> 16), p[2] = char(v >> 8), p[3] = char(v);
}
void writeU64(char* p, uint64_t v) {
  writeU32(p, uint32_t(v >> 32));
  writeU32(p + 4, uint32_t(v));
}

struct Box {
  int at = 0, size = 0;  // within the buffer, header included
  QByteArray type;
};

// The boxes directly inside [from, to) of `data`; empty when they do not
// tile it exactly.
std::vector<Box> children(const QByteArray& data, int from, int to) {
  std::vector<Box> out;
  int at = from;
  while (at + 8 <= to) {
    const uint32_t size = readU32(data.constData() + at);
    if (size < 8 || size > uint32_t(to - at)) return {};
    out.push_back({at, int(size), data.mid(at + 4, 4)});
    at += int(size);
  }
  if (at != to) return {};
  return out;
}

const Box* find(const std::vector<Box>& boxes, const char* type) {
  for (const Box& b : boxes)
    if (b.type == type) return &b;
  return nullptr;
}

// A duration field of a full box: 32 bits in version 0, 64 in version 1.
// False when the value does not fit (the field is then left unknown).
bool setDuration(QByteArray& moov, const Box& box, int v0Offset, int v1Offset, uint64_t value) {
  const bool wide = moov[box.at + 8] == 1;
  const int at = box.at + (wide ? v1Offset : v0Offset);
  if (at + (wide ? 8 : 4) > box.at + box.size) return false;
  if (wide) {
    writeU64(moov.data() + at, value);
  } else {
    if (value > 0xffffffffu) return false;
    writeU32(moov.data() + at, uint32_t(value));
  }
  return true;
}

uint32_t timescaleOf(const QByteArray& moov, const Box& box, int v0Offset, int v1Offset) {
  const bool wide = moov[box.at + 8] == 1;
  const int at = box.at + (wide ? v1Offset : v0Offset);
  return at + 4 <= box.at + box.size ? readU32(moov.constData() + at) : 0;
}

// The fragmented file's index was written before anything was recorded and
// says the movie lasts nothing. At the end its durations are filled in and
// a movie-extends header ("mehd", the whole duration of a fragmented movie)
// is added, in the room of the muxer's user-data box, so the index keeps its
// size and place: a few hundred bytes rewritten, whatever the length.
// `tracks` holds each track's length in seconds, by track number (1-based);
// `movie` is when the last one ends.
bool writeDurations(const QString& path, const std::vector<double>& tracks, double movie, QString* why) {
  QFile f(path);
  if (!f.open(QIODevice::ReadWrite)) return *why = "cannot open the file", false;
  const QByteArray head = f.read(8);
  if (head.size() < 8 || head.mid(4, 4) != "ftyp") return *why = "no file type box", false;
  const qint64 moovAt = readU32(head.constData());
  f.seek(moovAt);
  const QByteArray moovHead = f.read(8);
  if (moovHead.size() < 8 || moovHead.mid(4, 4) != "moov") return *why = "no index after the file type", false;
  const uint32_t moovSize = readU32(moovHead.constData());
  if (moovSize < 8 || moovSize > (1u << 20)) return *why = "index of an unexpected size", false;
  f.seek(moovAt);
  QByteArray moov = f.read(moovSize);
  if (moov.size() != int(moovSize)) return *why = "index cut short", false;
  const std::vector<Box> top = children(moov, 8, moov.size());
  const Box* mvhd = find(top, "mvhd");
  if (!mvhd) return *why = "no movie header", false;
  // Full box header 12 bytes, then creation and modification times,
  // timescale, duration.
  const uint32_t movieScale = timescaleOf(moov, *mvhd, 20, 28);
  if (movieScale == 0) return *why = "no movie timescale", false;
  for (const Box& trak : top) {
    if (trak.type != "trak") continue;
    const std::vector<Box> inTrak = children(moov, trak.at + 8, trak.at + trak.size);
    const Box* tkhd = find(inTrak, "tkhd");
    const Box* mdia = find(inTrak, "mdia");
    if (!tkhd || !mdia) return *why = "a track without its headers", false;
    const bool wideTkhd = moov[tkhd->at + 8] == 1;
    const uint32_t id = readU32(moov.constData() + tkhd->at + (wideTkhd ? 28 : 20));
    if (id < 1 || id > tracks.size()) return *why = "an unknown track", false;
    const double length = tracks[id - 1];
    const std::vector<Box> inMdia = children(moov, mdia->at + 8, mdia->at + mdia->size);
    const Box* mdhd = find(inMdia, "mdhd");
    if (!mdhd) return *why = "a track without its media header", false;
    const uint32_t scale = timescaleOf(moov, *mdhd, 20, 28);
    setDuration(moov, *mdhd, 24, 32, uint64_t(llround(length * scale)));
    // Track number, a reserved word, then the duration in the movie's scale.
    setDuration(moov, *tkhd, 28, 36, uint64_t(llround(length * movieScale)));
  }
  const uint64_t movieDuration = uint64_t(llround(movie * movieScale));
  setDuration(moov, *mvhd, 24, 32, movieDuration);

  const Box* mvex = find(top, "mvex");
  const bool hasMehd = mvex && find(children(moov, mvex->at + 8, mvex->at + mvex->size), "mehd");
  constexpr int kMehdSize = 20;  // version 1: a 64-bit duration
  // Room for it: a user-data or free box inside the index, given up
  // whole or shrunk to a smaller free box.
  const Box* room = nullptr;
  for (const Box& b : top)
    if ((b.type == "udta" || b.type == "free") && (b.size == kMehdSize || b.size >= kMehdSize + 8)) room = &b;
  if (mvex && !hasMehd && room) {
    QByteArray rebuilt = moov.left(8);
    for (const Box& b : top) {
      if (&b == room) {
        if (b.size > kMehdSize) {
          QByteArray filler(b.size - kMehdSize, '\0');
          writeU32(filler.data(), uint32_t(filler.size()));
          filler.replace(4, 4, "free");
          rebuilt += filler;
        }
      } else if (&b == mvex) {
        QByteArray box(8, '\0');
        writeU32(box.data(), uint32_t(b.size + kMehdSize));
        box.replace(4, 4, "mvex");
        QByteArray mehd(kMehdSize, '\0');
        writeU32(mehd.data(), kMehdSize);
        mehd.replace(4, 4, "mehd");
        mehd[8] = 1;
        writeU64(mehd.data() + 12, movieDuration);
        rebuilt += box + mehd + moov.mid(b.at + 8, b.size - 8);
      } else {
        rebuilt += moov.mid(b.at, b.size);
      }
    }
    if (rebuilt.size() == moov.size()) moov = rebuilt;
  } else if (hasMehd) {
    const std::vector<Box> inMvex = children(moov, mvex->at + 8, mvex->at + mvex->size);
    setDuration(moov, *find(inMvex, "mehd"), 12, 12, movieDuration);
  }
  // One write of a few hundred bytes over the old index.
  if (!f.seek(moovAt) || f.write(moov) != moov.size() || !f.flush()) return *why = "cannot write the index", false;
  return true;
}
}  // namespace

struct VideoWriter::Impl {
  // First, so that FFmpeg stays open until everything below is freed.
  ffmpeg::Hold ffmpegHold;

  struct Item {
    enum Kind { video, audio, finish } kind = video;
    AVFrame* frame = nullptr;
    // For the encoder: which macroblocks are as in the picture before.
    std::vector<uint8_t> unchanged;
    std::vector<float> samples;
    int64_t ptsNs = 0;
    std::optional<int64_t> endPtsNs;
    std::function<void(std::optional<QString>)> completion;
    std::chrono::steady_clock::time_point stoppedAt;
  };

  QString path, partPath;
  // Writer thread: whether the file was given its own name (tried once),
  // and where the first fragment starts.
  bool placeTried = false, placed = false;
  int64_t headerEnd = 0;
  int width = 0, height = 0, channels = 2;
  bool audio = false;
  AVFormatContext* oc = nullptr;
  // The thorough and the quick encoder (see EncoderChoice); the quick one
  // only when the writer may switch. `venc` is the one in use.
  std::unique_ptr<H264Encoder> encoders[2];
  H264Encoder* venc = nullptr;
  AVCodecContext* aenc = nullptr;
  AVStream* vs = nullptr;
  AVStream* as = nullptr;

  // Caller side (the recorder's sample lock).
  SwsContext* sws = nullptr;
  int swsW = 0, swsH = 0;
  int64_t lastVideoPts = -1;
  // Pictures go round: converted into by the caller, encoded on the
  // thread, then back here (fresh 3 MB frames would fault in their pages
  // every time).
  std::vector<AVFrame*> spare;  // under `mutex`
  AVFrame* lastEncoded = nullptr;  // writer thread: shown again at the end
  // appendVideo's own, for converting into a reused picture only what it
  // lacks: which frame (numbered as they came) each picture of ours holds,
  // and where each of the last frames changed from the one before
  // (nothing: anywhere). A picture waiting, being encoded or among the
  // spares keeps its pixels; only appendVideo writes them.
  uint64_t frames = 0;
  std::unordered_map<const AVFrame*, uint64_t> holds;
  std::deque<std::optional<QRegion>> changes;
  static constexpr size_t kChangesKept = 32;
  // The frame the last picture handed to the encoder holds (0: none, or
  // a scaled one, which matches no region).
  uint64_t queuedFrame = 0;

  // What changed in the frames after `frame`, when known.
  std::optional<QRegion> changedAfter(uint64_t frame) const {
    if (frame == 0 || frames - frame > changes.size()) return std::nullopt;
    QRegion since;
    for (auto c = changes.end() - ptrdiff_t(frames - frame); c != changes.end(); ++c) {
      if (!*c) return std::nullopt;
      since += **c;
    }
    return since;
  }

  // What changed since the frame `picture` holds, when that is known and
  // under half the picture; nothing when it is to be converted whole.
  std::optional<QRegion> changedSince(const AVFrame* picture) const {
    const auto held = holds.find(picture);
    if (held == holds.end()) return std::nullopt;
    const std::optional<QRegion> since = changedAfter(held->second);
    if (!since) return std::nullopt;
    int64_t area = 0;
    for (const QRect& r : *since) area += int64_t(r.width()) * r.height();
    if (area * 2 >= int64_t(width) * height) return std::nullopt;
    return since;
  }

  // For the picture of the newest frame: one byte per macroblock, set
  // where nothing changed since the picture handed to the encoder before
  // it (empty when that is not known).
  std::vector<uint8_t> unchangedMacroblocks() const {
    const std::optional<QRegion> since = changedAfter(queuedFrame);
    if (!since) return {};
    const int across = H264Encoder::macroblocks(width), down = H264Encoder::macroblocks(height);
    std::vector<uint8_t> flags(size_t(across) * size_t(down), 1);
    for (const QRect& r : *since) {
      const QRect in = r.intersected(QRect(0, 0, width, height));
      if (in.isEmpty()) continue;
      for (int y = in.top() / 16; y <= in.bottom() / 16; ++y)
        std::fill_n(flags.begin() + ptrdiff_t(y) * across + in.left() / 16, in.right() / 16 - in.left() / 16 + 1, 0);
    }
    return flags;
  }
  std::optional<int64_t> session;
  std::atomic<bool> started{false}, finished{false};
  std::atomic<int> written{0}, dropped{0};

  std::mutex mutex;
  std::condition_variable cv;
  std::deque<Item> queue;
  int pendingVideo = 0;
  int maxPending = 3;
  std::thread thread;

  // Writer thread.
  AVAudioFifo* fifo = nullptr;
  int64_t fifoStart = 0;  // timeline sample of the fifo's first sample
  bool fifoAnchored = false;
  AVPacket* packet = nullptr;
  bool broken = false;
  int64_t nextKeyPts = 0;  // encoder time base
  std::optional<EncoderChoice> choice;  // when there are two encoders
  int64_t thoroughPts = 0, switchedAt = 0;  // time given to the thorough one
  std::atomic<int> switches{0};
  // The quick encoder's pictures (keyframes aside) and the time they took.
  std::atomic<int> quickPictures{0};
  std::atomic<int64_t> quickBusyNs{0};
  // Per stream, in its time base: the first decoding time and where the
  // last packet ends, for the durations the index is given at the end.
  std::vector<int64_t> firstDts, lastEnd;

  ~Impl() {
    if (thread.joinable()) {
      {
        std::lock_guard l(mutex);
        Item stop;
        stop.kind = Item::finish;
        stop.stoppedAt = std::chrono::steady_clock::now();
        queue.push_back(std::move(stop));
      }
      cv.notify_all();
      thread.join();
    }
    for (Item& i : queue) av().av_frame_free(&i.frame);
    for (AVFrame*& f : spare) av().av_frame_free(&f);
    av().av_frame_free(&lastEncoded);
    av().sws_freeContext(sws);
    av().av_audio_fifo_free(fifo);
    av().av_packet_free(&packet);
    for (std::unique_ptr<H264Encoder>& e : encoders) e.reset();
    av().avcodec_free_context(&aenc);
    if (oc) {
      if (oc->pb) av().avio_closep(&oc->pb);
      av().avformat_free_context(oc);
    }
  }

  AVFrame* newPicture() const {
    AVFrame* f = av().av_frame_alloc();
    if (!f) return nullptr;
    f->format = AV_PIX_FMT_YUV420P;
    f->width = width;
    f->height = height;
    if (av().av_frame_get_buffer(f, 0) < 0) av().av_frame_free(&f);
    return f;
  }

  // A picture with every byte written (so its memory is really there).
  AVFrame* greyPicture() const {
    AVFrame* f = newPicture();
    if (!f) return nullptr;
    for (int p = 0; p < 3; ++p) memset(f->data[p], 128, size_t(f->linesize[p]) * size_t(p ? (height + 1) / 2 : height));
    return f;
  }

  // x264 takes far longer over its first pictures than over any later one
  // (its buffers are allocated and touched for the first time): at 1080p
  // the first two took up to 100 ms each, so a 60 fps recording lost its
  // first few pictures to a full queue. Before the recording starts, a few
  // grey pictures go through the encoder and their packets are thrown
  // away; the recording still begins with an IDR picture, as decoding must.
  // Their buffers, touched now, become the first spares. True when the
  // encoder gave back a packet for every picture (it holds none back).
  bool warmUp(H264Encoder& enc) {
    constexpr int kWarmUpPictures = 3;
    int out = 0;
    for (int n = 0; n < kWarmUpPictures; ++n) {
      AVFrame* f = greyPicture();
      if (!f) return false;
      // Before the recording's first picture (at 0), in order.
      f->pts = (n - kWarmUpPictures) * (kVideoTimeBase.den / kFrameRateHint);
      const Result<bool> got = enc.encode(f, n == 0, {}, packet);
      if (got.ok() && got.value()) av().av_packet_unref(packet), ++out;
      spare.push_back(f);
    }
    return out == kWarmUpPictures;
  }

  // Every picture a recording can have in use at once: those waiting, the
  // one being encoded, the last one encoded (still the encoder's) and the
  // one being converted. A picture's first touch costs a page fault for
  // every 4 KiB of it (60 ms for the 12 MB of a 4K picture on a small
  // virtual machine), which on the capture thread costs ticks; so all of
  // them are made and touched before the recording starts rather than in
  // its first second.
  void fillPool() {
    const size_t want = size_t(maxPending) + 3;
    while (spare.size() < want) {
      AVFrame* f = greyPicture();
      if (!f) return;
      spare.push_back(f);
    }
  }

  void run() {
    for (;;) {
      Item item;
      {
        std::unique_lock l(mutex);
        cv.wait(l, [&] { return !queue.empty(); });
        item = std::move(queue.front());
        queue.pop_front();
        if (item.kind == Item::video) --pendingVideo;
      }
      switch (item.kind) {
        case Item::video:
          encodeVideo(item.frame, std::move(item.unchanged));
          // The encoder has copied it; the previous picture can be reused.
          if (lastEncoded) {
            std::lock_guard l(mutex);
            spare.push_back(lastEncoded);
          }
          lastEncoded = item.frame;
          break;
        case Item::audio: queueAudio(item.samples, item.ptsNs); break;
        case Item::finish:
          close(item);
          return;
      }
    }
  }

  // Writes `packet` (in `timeBase`) to `stream` and empties it.
  void write(AVStream* stream, AVRational timeBase) {
    // A warm-up picture an encoder held back (x264 as set up here holds
    // none) is not part of the recording.
    if (stream == vs && packet->pts != AV_NOPTS_VALUE && packet->pts < 0) {
      av().av_packet_unref(packet);
      return;
    }
    // The encoder leaves a picture's duration open; the muxer takes it
    // from the next picture, and the last one lasts a frame.
    if (stream == vs && packet->duration <= 0) packet->duration = kVideoTimeBase.den / kFrameRateHint;
    av().av_packet_rescale_ts(packet, timeBase, stream->time_base);
    packet->stream_index = stream->index;
    const size_t s = size_t(stream->index);
    if (firstDts[s] == AV_NOPTS_VALUE) firstDts[s] = packet->dts;
    lastEnd[s] = std::max(lastEnd[s], packet->pts + packet->duration);
    const int r = av().av_interleaved_write_frame(oc, packet);
    if (r < 0 && !broken) {
      broken = true;
      logLine("Nimbo: writing the recording failed: " + averror(r));
    }
    av().av_packet_unref(packet);
    // The muxer writes a fragment whole when the next one starts.
    if (!placeTried && av().avio_seek(oc->pb, 0, SEEK_CUR) > headerEnd) place();
  }

  void drainAudio() {
    while (av().avcodec_receive_packet(aenc, packet) == 0) write(as, aenc->time_base);
  }

  // `repeat`: the last picture again, to show it until the end; it is never
  // a keyframe (at 1080p one would add a third of a megabyte to the file to
  // show nothing new).
  void encodeVideo(AVFrame* f, std::vector<uint8_t> unchanged = {}, bool repeat = false) {
    const int64_t ptsNs = f ? int64_t(double(f->pts) * 1e9 / kVideoTimeBase.den) : 0;
    const bool choosing = f && choice && !repeat;
    bool key = false;
    if (f) {
      // A keyframe on every tenth whole second of the recording (pictures
      // come at up to 60 a second, or one a second on a still screen).
      key = f->pts >= nextKeyPts && !repeat;
      if (choosing) {
        const int64_t now =
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
                .count();
        // The other encoder starts with a keyframe of its own: it has none
        // of the pictures the last one referred to.
        const int64_t untilKey =
            key ? 0 : int64_t(double(nextKeyPts - f->pts) * 1e9 / kVideoTimeBase.den);
        if (const std::optional<EncoderChoice::Encoder> to = choice->change(ptsNs, now, untilKey)) {
          if (*to == EncoderChoice::quick) thoroughPts += f->pts - switchedAt;
          switchedAt = f->pts;
          venc = encoders[*to].get();
          key = true;
          ++switches;
        }
      }
      if (key) nextKeyPts = (f->pts / kKeyInterval + 1) * kKeyInterval;
    }
    const auto began = std::chrono::steady_clock::now();
    if (f) {
      const Result<bool> got = venc->encode(f, key, std::move(unchanged), packet);
      if (!got.ok()) return;
      ++written;
      if (got.value()) write(vs, kVideoTimeBase);
    } else {
      // What the encoder still holds (only ever with benchmark options).
      while (venc->delayed() > 0) {
        const Result<bool> got = venc->encode(nullptr, false, {}, packet);
        if (!got.ok()) break;
        if (got.value()) write(vs, kVideoTimeBase);
      }
    }
    const int64_t busy =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - began).count();
    if (choosing) choice->encoded(ptsNs, busy);
    if (f && !repeat && !key && venc == encoders[EncoderChoice::quick].get()) {
      ++quickPictures;
      quickBusyNs += busy;
    }
  }

  void encodeAudioFrames(bool all) {
    const int n = aenc->frame_size > 0 ? aenc->frame_size : 1024;
    while (av().av_audio_fifo_size(fifo) >= n || (all && av().av_audio_fifo_size(fifo) > 0)) {
      const int take = std::min(n, av().av_audio_fifo_size(fifo));
      AVFrame* f = av().av_frame_alloc();
      f->nb_samples = take;
      f->format = aenc->sample_fmt;
      av().av_channel_layout_copy(&f->ch_layout, &aenc->ch_layout);
      f->sample_rate = kAudioRate;
      if (av().av_frame_get_buffer(f, 0) < 0) {
        av().av_frame_free(&f);
        return;
      }
      av().av_audio_fifo_read(fifo, reinterpret_cast<void**>(f->data), take);
      f->pts = fifoStart;
      fifoStart += take;
      if (av().avcodec_send_frame(aenc, f) == 0) drainAudio();
      av().av_frame_free(&f);
    }
  }

  // Mixed audio arrives continuous; a hole is filled with silence and an
  // overlap trimmed, so the AAC track keeps its own unbroken clock.
  void queueAudio(const std::vector<float>& samples, int64_t ptsNs) {
    const int frames = int(samples.size() / 2);
    if (frames < 1 || !aenc) return;
    int64_t at = llround(double(ptsNs - *session) * kAudioRate / 1e9);
    if (!fifoAnchored) {
      fifoStart = at;
      fifoAnchored = true;
    }
    const int64_t next = fifoStart + av().av_audio_fifo_size(fifo);
    int skip = 0;
    if (at > next + 1) {
      const int gap = int(at - next);
      std::vector<float> zero(size_t(gap), 0.0f);
      void* planes[2] = {zero.data(), zero.data()};
      av().av_audio_fifo_write(fifo, planes, gap);
    } else if (at < next - 1) {
      skip = int(std::min<int64_t>(next - at, frames));
    }
    std::vector<float> left, right;
    left.reserve(size_t(frames - skip));
    right.reserve(size_t(frames - skip));
    for (int i = skip; i < frames; ++i) left.push_back(samples[size_t(2 * i)]), right.push_back(samples[size_t(2 * i + 1)]);
    void* planes[2] = {left.data(), right.data()};
    if (!left.empty()) av().av_audio_fifo_write(fifo, planes, int(left.size()));
    encodeAudioFrames(false);
  }

  // Gives the file its own name; it keeps writing where it was either way.
  void place() {
    av().avio_flush(oc->pb);
    placeTried = true;
    placed = std::rename(QFile::encodeName(partPath).constData(), QFile::encodeName(path).constData()) == 0;
    if (!placed) logLine("Nimbo: the recording could not be given its name; it stays " + partPath);
  }
  // Where the file is now.
  QString currentPath() const { return placed ? path : partPath; }

  void close(Item& item) {
    const bool hadFrames = written > 0;
    if (hadFrames) {
      // A picture that stood still until the end is shown until the end.
      if (item.endPtsNs && lastEncoded) {
        const int64_t end = llround(double(*item.endPtsNs - *session) * kVideoTimeBase.den / 1e9);
        if (end > lastVideoPts + kVideoTimeBase.den / kFrameRateHint) {
          AVFrame* f = av().av_frame_clone(lastEncoded);
          f->pts = end;
          encodeVideo(f, {}, true);
          av().av_frame_free(&f);
        }
      }
      encodeVideo(nullptr);
      if (aenc) {
        encodeAudioFrames(true);
        if (av().avcodec_send_frame(aenc, nullptr) == 0) drainAudio();
      }
      // The last fragment and the fragments' random-access index ("mfra")
      // go at the end; nothing written before is read or moved.
      if (av().av_write_trailer(oc) < 0 && !broken) {
        broken = true;
        logLine("Nimbo: writing the end of the recording failed: " + path);
      }
    }
    const bool hasFragment = av().avio_seek(oc->pb, 0, SEEK_CUR) > headerEnd;
    if (hasFragment && !placeTried) place();
    av().avio_closep(&oc->pb);
    const QString file = currentPath();
    std::optional<QString> result;
    if (!hadFrames || !hasFragment) {
      // Nothing a player could show.
      QFile::remove(file);
      if (hadFrames) logLine("Nimbo: the recording could not be written: " + path);
    } else if (broken) {
      logLine("Nimbo: the recording could not be written completely: " + path);
    } else {
      // Every stream's end, and the movie's: the streams share one
      // timeline, moved as a whole when one of them started before zero.
      // The muxer starts each track at zero (its first sample lasts until
      // the second), so a track lasts until its end.
      double shift = 0, movie = 0;
      std::vector<double> tracks(oc->nb_streams, 0.0);
      for (unsigned i = 0; i < oc->nb_streams; ++i)
        if (firstDts[i] != AV_NOPTS_VALUE) shift = std::max(shift, -firstDts[i] * av_q2d(oc->streams[i]->time_base));
      for (unsigned i = 0; i < oc->nb_streams; ++i) {
        if (firstDts[i] == AV_NOPTS_VALUE) continue;
        const double tb = av_q2d(oc->streams[i]->time_base);
        tracks[i] = lastEnd[i] * tb + shift;
        movie = std::max(movie, tracks[i]);
      }
      QString why;
      if (!writeDurations(file, tracks, movie, &why))
        logLine("Nimbo: the recording's length could not be written (" + why + "); players find it by reading: " +
                file);
      result = file;
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                            item.stoppedAt);
      logLine(QStringLiteral("Nimbo: recording finished in %1 ms (%2 s long)").arg(ms.count()).arg(movie, 0, 'f', 2));
      if (choice && lastEncoded) {
        if (choice->current() == EncoderChoice::thorough) thoroughPts += lastEncoded->pts - switchedAt;
        logLine(QStringLiteral("Nimbo: the thorough encoder took %1 s of the recording, the quick one the rest "
                               "(%2 changes)")
                    .arg(double(thoroughPts) / kVideoTimeBase.den, 0, 'f', 1)
                    .arg(switches.load()));
      }
    }
    if (item.completion) item.completion(result);
  }
};

VideoWriter::VideoWriter() : d(std::make_unique<Impl>()) {}
VideoWriter::~VideoWriter() = default;

Result<std::unique_ptr<VideoWriter>> VideoWriter::create(const QString& path, int width, int height,
                                                         bool audioEnabled, int audioChannels) {
  if (width < 2 || height < 2) return Error{"The recording size is empty.", "Nimbo.VideoWriter", 1};
  Result<ffmpeg::Hold> hold = ffmpeg::open();
  if (!hold.ok()) return hold.error();
  std::unique_ptr<VideoWriter> w(new VideoWriter());
  Impl& d = *w->d;
  d.ffmpegHold = hold.take();
  d.path = path;
  d.width = width & ~1;
  d.height = height & ~1;
  d.maxPending = maxPendingFrames(d.width, d.height);
  d.audio = audioEnabled;
  d.channels = audioChannels;
  const QByteArray file = path.toUtf8();
  int r = av().avformat_alloc_output_context2(&d.oc, nullptr, "mp4", file.constData());
  if (r < 0) return Error{"Couldn't create the video file: " + averror(r), "Nimbo.VideoWriter", r};

  // H.264 through libx264, two encoders (EncoderChoice): the thorough one
  // with veryfast's analysis, the quick one with ultrafast's, which keeps
  // 1080p60 in real time on two cores (see bench/record_bench.sh and
  // bench/everyday_bench.sh). Each has its own parameter-set id, and the
  // file's header holds both sets, so the video may go from one to the
  // other at any keyframe. Above 2560x1600 the thorough one would keep up
  // with little but a still screen: the quick one alone records.
  // NIMBO_X264_PRESET names a single preset instead.
  const bool onePreset = qEnvironmentVariableIsSet("NIMBO_X264_PRESET");
  const QByteArray extra = qgetenv("NIMBO_X264_PARAMS");
  const auto openEncoder = [&](const QByteArray& preset, int id, bool tuned) {
    H264Encoder::Settings s;
    s.width = d.width;
    s.height = d.height;
    s.preset = preset;
    // The quick one at crf 24, a tenth fewer bits than at 23: on the
    // everyday desktop minute its pictures are about 0.8 dB further from the
    // screen (SSIM) than the thorough one's, which a machine too busy for
    // the thorough one pays for a few seconds at a time.
    s.crf = tuned ? 27 : 24;
    s.timeBase = kVideoTimeBase.den;
    s.frameRateHint = kFrameRateHint;
    // Keyframes come where encodeVideo asks for them, every ten seconds;
    // x264's own limit (counted in pictures) is set beyond the pictures ten
    // seconds can hold, or it would add one every 250 pictures.
    s.keyframeIntervalMax = 2 * int(kKeyInterval / kVideoTimeBase.den) * kFrameRateHint;
    // No picture waits inside the encoder (the "zerolatency" tuning): with
    // x264's default frame threads four pictures are in flight, which on a
    // still screen (a picture a second) would be four seconds a killed
    // recording loses. Slices share the cores instead, for slightly less CPU
    // time at 1080p. Keyframes only where asked for: no scene-cut detection
    // either. NIMBO_X264_PARAMS adds x264's own options (benchmarks:
    // "ssim=1"), and x264's line for each picture and closing summary,
    // quality figures included, go to stderr.
    s.params = "sps-id=" + QByteArray::number(id) + ":scenecut=0";
    // The thorough encoder, tuned on desktops (typing, scrolling, windows
    // moved, a video playing; bench/everyday_bench.sh, and offline on a
    // lossless capture of the same minute with build/record_tune): three
    // reference pictures find what scrolled or moved back into view, trellis
    // quantisation drops coefficients that do not pay for their bits, and
    // milder adaptive quantisation spends less on the flat areas that make
    // up most of a desktop. A desktop mostly stands still, so a keyframe
    // stays on screen for seconds and what follows copies it: keyframes get
    // a quantiser step 3.5 times finer than the pictures between them
    // (ipratio 3.5 against x264's 1.4: about 11 quantiser steps; a 1080p
    // desktop keyframe comes to about 200 KB), and a stronger deblocking
    // filter smooths the block edges that would otherwise stay that long.
    // Most of a desktop picture is unchanged, and x264's work on the
    // unchanged part (the half-size copy rate control estimates every
    // picture's cost on) is cheaper with sub-pixel level 1, which takes a
    // sixth off the CPU; the wider uneven-multi-hexagon motion search then
    // finds what scrolled or was dragged further than the hexagon reaches,
    // which more than makes up the bits. It searches 64 pixels each way
    // (x264's 16 would do for camera video): a browser's smooth scrolling
    // moves a page up to 70 pixels in a thirtieth of a second, and found, a
    // scrolled page costs a motion vector where it cost its text again.
    // That took a fifth off the file of an everyday minute (offline, on
    // pictures a thirtieth of a second apart; less at 60 a second), which
    // crf 27 spends on sharper pictures. Its pictures are closer
    // to the screen (SSIM) than those of x264's veryfast with look-ahead and
    // B-pictures at crf 23, in a smaller file; crf 26 was closer still, but
    // with a larger video in the corner made a file larger than veryfast's.
    if (tuned) s.params += ":ref=3:trellis=1:aq-strength=0.8:deblock=2,2:ipratio=3.5:subme=1:me=umh:merange=64";
    if (!extra.isEmpty()) s.params += ":" + extra;
    s.verbose = !extra.isEmpty();
    return H264Encoder::open(s);
  };
  const bool both = !onePreset && int64_t(d.width) * d.height <= 2560 * 1600;
  if (onePreset || both) {
    const QByteArray preset = onePreset ? qgetenv("NIMBO_X264_PRESET") : QByteArray("veryfast");
    Result<std::unique_ptr<H264Encoder>> thorough = openEncoder(preset, 0, !onePreset);
    if (!thorough.ok()) return thorough.error();
    d.encoders[EncoderChoice::thorough] = thorough.take();
  }
  if (!onePreset) {
    Result<std::unique_ptr<H264Encoder>> quick = openEncoder("ultrafast", both ? 1 : 0, false);
    if (!quick.ok()) return quick.error();
    d.encoders[EncoderChoice::quick] = quick.take();
  }
  d.vs = av().avformat_new_stream(d.oc, nullptr);
  AVCodecParameters* par = d.vs->codecpar;
  par->codec_type = AVMEDIA_TYPE_VIDEO;
  par->codec_id = AV_CODEC_ID_H264;
  par->width = d.width;
  par->height = d.height;
  par->format = AV_PIX_FMT_YUV420P;
  par->color_space = AVCOL_SPC_BT709;
  par->color_primaries = AVCOL_PRI_BT709;
  par->color_trc = AVCOL_TRC_BT709;
  par->color_range = AVCOL_RANGE_MPEG;
  // Both encoders' parameter sets, the thorough one's first: the header
  // names its profile, which covers the quick one's.
  QByteArray sets;
  for (const std::unique_ptr<H264Encoder>& e : d.encoders)
    if (e) sets += e->headers();
  par->extradata = static_cast<uint8_t*>(av().av_mallocz(size_t(sets.size()) + AV_INPUT_BUFFER_PADDING_SIZE));
  if (!par->extradata) return Error{"Out of memory.", "Nimbo.VideoWriter", 3};
  memcpy(par->extradata, sets.constData(), size_t(sets.size()));
  par->extradata_size = int(sets.size());
  d.vs->time_base = kVideoTimeBase;

  if (audioEnabled) {
    const AVCodec* ac = av().avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (ac) {
      d.aenc = av().avcodec_alloc_context3(ac);
      d.aenc->sample_fmt = AV_SAMPLE_FMT_FLTP;
      d.aenc->sample_rate = kAudioRate;
      av().av_channel_layout_default(&d.aenc->ch_layout, audioChannels);
      d.aenc->bit_rate = audioChannels == 1 ? 96000 : 128000;
      d.aenc->time_base = {1, kAudioRate};
      if (d.oc->oformat->flags & AVFMT_GLOBALHEADER) d.aenc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
      if (av().avcodec_open2(d.aenc, ac, nullptr) < 0) {
        av().avcodec_free_context(&d.aenc);
      } else {
        d.as = av().avformat_new_stream(d.oc, nullptr);
        av().avcodec_parameters_from_context(d.as->codecpar, d.aenc);
        d.as->time_base = {1, kAudioRate};
        d.fifo = av().av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, audioChannels, kAudioRate);
      }
    }
  }

  d.partPath = partPathFor(path);
  if ((r = av().avio_open(&d.oc->pb, QFile::encodeName(d.partPath).constData(), AVIO_FLAG_WRITE)) < 0)
    return Error{"Couldn't create " + path + ": " + averror(r), "Nimbo.VideoWriter", r};
  // Fragmented MP4 from start to end: a fragment a second, each written out
  // whole as soon as the next one starts. The finished file is the same one,
  // with its durations filled in.
  AVDictionary* mopts = nullptr;
  av().av_dict_set(&mopts, "movflags", "empty_moov+default_base_moof", 0);
  av().av_dict_set(&mopts, "frag_duration", QByteArray::number(kFragmentUs).constData(), 0);
  // Each fragment reaches the file when it is cut, not when a buffer fills.
  d.oc->flush_packets = 1;
  // Sound that comes late (or stops) holds the picture back for at most
  // this long, not the ten seconds FFmpeg would wait.
  d.oc->max_interleave_delta = 500000;
  r = av().avformat_write_header(d.oc, &mopts);
  av().av_dict_free(&mopts);
  if (r < 0) {
    av().avio_closep(&d.oc->pb);
    QFile::remove(d.partPath);
    return Error{"Couldn't write the video header: " + averror(r), "Nimbo.VideoWriter", r};
  }
  d.headerEnd = av().avio_seek(d.oc->pb, 0, SEEK_CUR);
  d.packet = av().av_packet_alloc();
  d.firstDts.assign(d.oc->nb_streams, AV_NOPTS_VALUE);
  d.lastEnd.assign(d.oc->nb_streams, 0);
  // Which encoder starts: the thorough one up to 1920x1200; above that it
  // keeps up with less, and a recording that starts by falling behind
  // drops pictures.
  const EncoderChoice::Encoder first =
      int64_t(d.width) * d.height <= 1920 * 1200 ? EncoderChoice::thorough : EncoderChoice::quick;
  bool holdsNone = true;
  for (std::unique_ptr<H264Encoder>& e : d.encoders)
    if (e) holdsNone = d.warmUp(*e) && holdsNone;
  d.fillPool();
  // Going from one encoder to the other would lose the pictures one held
  // back (only ever with benchmark options).
  if (both && holdsNone) d.choice.emplace(first);
  // The thorough one unless it was not made (a large screen).
  d.venc = d.encoders[d.choice ? first : EncoderChoice::thorough].get();
  if (!d.venc) d.venc = d.encoders[EncoderChoice::quick].get();
  d.thread = std::thread([&d] { d.run(); });
  return w;
}

void EncoderChoice::encoded(int64_t ptsNs, int64_t busyNs) {
  if (!since_) since_ = ptsNs;
  recent_.emplace_back(ptsNs, busyNs);
  while (recent_.front().first < ptsNs - 2000000000LL) recent_.pop_front();
}

std::optional<double> EncoderChoice::load(int64_t nowNs, int64_t windowNs, int64_t minSpanNs) const {
  if (!since_ || nowNs - *since_ < minSpanNs) return std::nullopt;
  const int64_t from = std::max(nowNs - windowNs, *since_);
  int64_t busy = 0;
  for (const auto& [pts, ns] : recent_)
    if (pts >= from && pts < nowNs) busy += ns;
  return double(busy) / double(nowNs - from);
}

std::optional<EncoderChoice::Encoder> EncoderChoice::change(int64_t ptsNs, int64_t wallNs, int64_t untilKeyframeNs) {
  // How much later than the quickest picture so far this one starts: the
  // backlog. Pictures handed over faster than they were taken (a test, a
  // burst after a stall) build none.
  const int64_t wait = wallNs - ptsNs;
  fastest_ = std::min(fastest_.value_or(wait), wait);
  const int64_t behind = wait - *fastest_;
  Encoder next = current_;
  if (current_ == thorough) {
    const std::optional<double> busy = load(ptsNs, 2000000000LL, 1000000000LL);
    if (behind > 50000000LL || (busy && *busy > 0.7)) {
      next = quick;
      // Back and gone again within five seconds: the next try waits twice
      // as long, so content the thorough one cannot keep up with costs a
      // keyframe every half minute at most, not every five seconds.
      calmNeededNs_ = since_ && ptsNs - *since_ < 5000000000LL ? std::min<int64_t>(calmNeededNs_ * 2, 32000000000LL)
                                                                : 2000000000LL;
    }
  } else if ((untilKeyframeNs <= 0 || untilKeyframeNs > 2000000000LL) && behind < 20000000LL) {
    const std::optional<double> busy = load(ptsNs, 2000000000LL, calmNeededNs_);
    if (busy && *busy * 2 < 0.5) next = thorough;
  }
  if (next == current_) return std::nullopt;
  current_ = next;
  since_.reset();
  recent_.clear();
  return next;
}

int VideoWriter::maxPendingFrames(int width, int height) {
  const int64_t picture = int64_t(width) * height * 3 / 2;  // 4:2:0
  return int(std::clamp<int64_t>((int64_t(100) << 20) / std::max<int64_t>(picture, 1), 5, 8));
}

bool VideoWriter::appendVideo(const uint8_t* bgra, int width, int height, int stride, int64_t ptsNs,
                              const QRegion* changed) {
  Impl& i = *d;
  if (i.finished || width < 1 || height < 1) return false;
  if (!i.started) {
    i.session = ptsNs;
    i.started = true;
    logLine("Nimbo: recording started: " + i.path);
  }
  const int64_t pts = llround(double(ptsNs - *i.session) * kVideoTimeBase.den / 1e9);
  // Every frame's changes count, the ones left out too: a picture that
  // held the frame before them lacks theirs as well.
  ++i.frames;
  i.changes.emplace_back(changed ? std::optional(*changed) : std::nullopt);
  if (i.changes.size() > Impl::kChangesKept) i.changes.pop_front();
  if (pts <= i.lastVideoPts) return false;
  {
    std::lock_guard l(i.mutex);
    if (i.pendingVideo >= i.maxPending) {
      ++i.dropped;
      return false;
    }
  }
  AVFrame* out = nullptr;
  {
    std::lock_guard l(i.mutex);
    if (!i.spare.empty()) {
      out = i.spare.back();
      i.spare.pop_back();
    }
  }
  if (!out || !av().av_frame_is_writable(out)) {
    i.holds.erase(out);
    av().av_frame_free(&out);
    out = i.newPicture();
    if (!out) return false;
  }
  std::vector<uint8_t> unchanged;
  if (width >= i.width && width - i.width <= 1 && height >= i.height && height - i.height <= 1) {
    // The usual case: the video has the frame's size (an odd last row or
    // column is left out). Our own converter, in two bands, is several
    // times faster than swscale's. Where the stream says what changed (on a
    // desktop, mostly a little), a picture reused from an earlier frame
    // converts only what changed since that frame.
    if (const std::optional<QRegion> since = i.changedSince(out)) {
      for (const QRect& r : *since)
        bgrxToI420Area(bgra, stride, i.width, i.height, r.left(), r.top(), r.right() + 1, r.bottom() + 1,
                       out->data[0], out->linesize[0], out->data[1], out->data[2], out->linesize[1]);
    } else {
      bgrxToI420Parallel(bgra, stride, i.width, i.height, out->data[0], out->linesize[0], out->data[1],
                         out->data[2], out->linesize[1]);
    }
    i.holds[out] = i.frames;
    unchanged = i.unchangedMacroblocks();
    i.queuedFrame = i.frames;
  } else {
    // A scaled picture matches none of the stream's regions: converted
    // whole, and whole again when reused.
    i.holds.erase(out);
    i.queuedFrame = 0;
    if (!i.sws || i.swsW != width || i.swsH != height) {
      av().sws_freeContext(i.sws);
      i.sws = av().sws_alloc_context();
      av().av_opt_set_int(i.sws, "srcw", width, 0);
      av().av_opt_set_int(i.sws, "srch", height, 0);
      av().av_opt_set_int(i.sws, "src_format", AV_PIX_FMT_BGR0, 0);
      av().av_opt_set_int(i.sws, "dstw", i.width, 0);
      av().av_opt_set_int(i.sws, "dsth", i.height, 0);
      av().av_opt_set_int(i.sws, "dst_format", AV_PIX_FMT_YUV420P, 0);
      av().av_opt_set_int(i.sws, "sws_flags", SWS_BILINEAR, 0);
      av().av_opt_set_int(i.sws, "threads", 0, 0);  // sliced over the cores
      if (av().sws_init_context(i.sws, nullptr, nullptr) < 0) {
        av().sws_freeContext(i.sws);
        i.sws = nullptr;
        av().av_frame_free(&out);
        return false;
      }
      const int* coefficients = av().sws_getCoefficients(SWS_CS_ITU709);
      av().sws_setColorspaceDetails(i.sws, coefficients, 1, coefficients, 0, 0, 1 << 16, 1 << 16);
      i.swsW = width;
      i.swsH = height;
    }
    AVFrame* in = av().av_frame_alloc();
    in->format = AV_PIX_FMT_BGR0;
    in->width = width;
    in->height = height;
    in->data[0] = const_cast<uint8_t*>(bgra);
    in->linesize[0] = stride;
    const int r = av().sws_scale_frame(i.sws, out, in);
    av().av_frame_free(&in);
    if (r < 0) {
      av().av_frame_free(&out);
      return false;
    }
  }
  out->pts = pts;
  i.lastVideoPts = pts;
  {
    std::lock_guard l(i.mutex);
    Impl::Item item;
    item.frame = out;
    item.unchanged = std::move(unchanged);
    i.queue.push_back(std::move(item));
    ++i.pendingVideo;
  }
  i.cv.notify_one();
  return true;
}

void VideoWriter::appendAudio(const MixedAudio& audio) {
  Impl& i = *d;
  if (!i.aenc || !i.started || i.finished || audio.ptsNs < *i.session || audio.samples.empty()) return;
  {
    std::lock_guard l(i.mutex);
    Impl::Item item;
    item.kind = Impl::Item::audio;
    item.samples = audio.samples;
    item.ptsNs = audio.ptsNs;
    i.queue.push_back(std::move(item));
  }
  i.cv.notify_one();
}

void VideoWriter::finish(std::optional<int64_t> endPtsNs, std::function<void(std::optional<QString>)> completion) {
  Impl& i = *d;
  if (i.finished.exchange(true)) {
    if (completion) completion(std::nullopt);
    return;
  }
  {
    std::lock_guard l(i.mutex);
    Impl::Item item;
    item.kind = Impl::Item::finish;
    item.endPtsNs = endPtsNs;
    item.completion = std::move(completion);
    item.stoppedAt = std::chrono::steady_clock::now();
    i.queue.push_back(std::move(item));
  }
  i.cv.notify_one();
  // The writer thread ends with the finish item; joined here or at
  // destruction.
}

QString VideoWriter::path() const { return d->path; }
void VideoWriter::rename(const QString& path) {
  Q_ASSERT(!d->started);
  // The writer's thread reads the name after taking a frame from the
  // queue, under this lock.
  std::lock_guard l(d->mutex);
  d->path = path;
}
bool VideoWriter::finished() const { return d->finished; }
int VideoWriter::framesWritten() const { return d->written; }
int VideoWriter::framesDropped() const { return d->dropped; }
int VideoWriter::encoderChanges() const { return d->switches; }
VideoWriter::QuickCost VideoWriter::quickCost() const {
  // A picture is counted before its time is added, and the time is read
  // first: never a time without its picture (at worst the other way round,
  // a cost a little low).
  const int64_t busy = d->quickBusyNs;
  return {d->quickPictures, busy};
}

int VideoWriter::framesWaiting() const {
  std::lock_guard l(d->mutex);
  return d->pendingVideo;
}
int VideoWriter::mostFramesWaiting() const { return d->maxPending; }

QString makeRecordingPath() {
  QString dir = paths::appSupportDir() + "/recordings";
  // Never the shared temporary folder: a recording is as private as a screenshot.
  if (!QDir().mkpath(dir)) dir = paths::privateTempDir();
  const QString stamp = QLocale(QLocale::English, QLocale::UnitedStates)
                            .toString(QDateTime::currentDateTime(), QStringLiteral("yyyy-MM-dd-'at'-HH.mm.ss"));
  return dir + "/Nimbo-" + stamp + ".mp4";
}

void removeAbandonedRecordings(const QString& folder) {
  const QDir dir(folder);
  for (const QString& name : dir.entryList({QStringLiteral(".*.part-*")}, QDir::Files | QDir::Hidden)) {
    const long owner = name.mid(name.lastIndexOf(u'-') + 1).toLong();
    if (owner <= 0) continue;
    // Ours too: at start-up this process records nothing yet, so a file
    // with its id was left by an earlier one that had the same id.
    if (owner != ::getpid() && !(::kill(pid_t(owner), 0) != 0 && errno == ESRCH)) continue;
    if (QFile::remove(dir.filePath(name)))
      logLine("Nimbo: removed a recording that ended before its first second: " + name);
  }
}

}  // namespace nimbo

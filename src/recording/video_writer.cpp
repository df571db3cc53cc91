#include "recording/video_writer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QStandardPaths>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "recording/audio_mixer.h"
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
  av_strerror(code, buf, sizeof buf);
  return QString::fromUtf8(buf);
}

// The fragmented recording rewritten as a regular MP4 with its index first.
bool remuxFastStart(const QString& from, const QString& to, QString* why) {
  AVFormatContext* in = nullptr;
  AVFormatContext* out = nullptr;
  auto fail = [&](const QString& w) {
    if (why) *why = w;
    if (out && !(out->oformat->flags & AVFMT_NOFILE)) avio_closep(&out->pb);
    avformat_free_context(out);
    avformat_close_input(&in);
    return false;
  };
  int r = avformat_open_input(&in, from.toUtf8().constData(), nullptr, nullptr);
  if (r < 0) return fail("open " + averror(r));
  if ((r = avformat_find_stream_info(in, nullptr)) < 0) return fail("probe " + averror(r));
  if ((r = avformat_alloc_output_context2(&out, nullptr, "mp4", to.toUtf8().constData())) < 0) return fail(averror(r));
  for (unsigned i = 0; i < in->nb_streams; ++i) {
    AVStream* s = avformat_new_stream(out, nullptr);
    if (!s) return fail("stream");
    avcodec_parameters_copy(s->codecpar, in->streams[i]->codecpar);
    s->codecpar->codec_tag = 0;
    s->time_base = in->streams[i]->time_base;
  }
  if ((r = avio_open(&out->pb, to.toUtf8().constData(), AVIO_FLAG_WRITE)) < 0) return fail("create " + averror(r));
  AVDictionary* opts = nullptr;
  av_dict_set(&opts, "movflags", "+faststart", 0);
  r = avformat_write_header(out, &opts);
  av_dict_free(&opts);
  if (r < 0) return fail("header " + averror(r));
  AVPacket* pkt = av_packet_alloc();
  while (av_read_frame(in, pkt) >= 0) {
    const AVStream* src = in->streams[pkt->stream_index];
    av_packet_rescale_ts(pkt, src->time_base, out->streams[pkt->stream_index]->time_base);
    pkt->pos = -1;
    r = av_interleaved_write_frame(out, pkt);
    av_packet_unref(pkt);
    if (r < 0) {
      av_packet_free(&pkt);
      return fail("write " + averror(r));
    }
  }
  av_packet_free(&pkt);
  if ((r = av_write_trailer(out)) < 0) return fail("trailer " + averror(r));
  avio_closep(&out->pb);
  avformat_free_context(out);
  avformat_close_input(&in);
  return true;
}

}  // namespace

struct VideoWriter::Impl {
  struct Item {
    enum Kind { video, audio, finish } kind = video;
    AVFrame* frame = nullptr;
    std::vector<float> samples;
    int64_t ptsNs = 0;
    std::optional<int64_t> endPtsNs;
    std::function<void(std::optional<QString>)> completion;
  };

  QString path;
  int width = 0, height = 0, channels = 2;
  bool audio = false;
  AVFormatContext* oc = nullptr;
  AVCodecContext* venc = nullptr;
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
  std::optional<int64_t> session;
  std::atomic<bool> started{false}, finished{false};
  std::atomic<int> written{0}, dropped{0};

  std::mutex mutex;
  std::condition_variable cv;
  std::deque<Item> queue;
  int pendingVideo = 0;
  std::thread thread;

  // Writer thread.
  AVAudioFifo* fifo = nullptr;
  int64_t fifoStart = 0;  // timeline sample of the fifo's first sample
  bool fifoAnchored = false;
  AVPacket* packet = nullptr;
  bool broken = false;

  ~Impl() {
    if (thread.joinable()) {
      {
        std::lock_guard l(mutex);
        Item stop;
        stop.kind = Item::finish;
        queue.push_back(std::move(stop));
      }
      cv.notify_all();
      thread.join();
    }
    for (Item& i : queue) av_frame_free(&i.frame);
    for (AVFrame*& f : spare) av_frame_free(&f);
    av_frame_free(&lastEncoded);
    sws_freeContext(sws);
    av_audio_fifo_free(fifo);
    av_packet_free(&packet);
    avcodec_free_context(&venc);
    avcodec_free_context(&aenc);
    if (oc) {
      if (oc->pb) avio_closep(&oc->pb);
      avformat_free_context(oc);
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
          encodeVideo(item.frame);
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

  void drain(AVCodecContext* enc, AVStream* stream) {
    while (avcodec_receive_packet(enc, packet) == 0) {
      av_packet_rescale_ts(packet, enc->time_base, stream->time_base);
      packet->stream_index = stream->index;
      const int r = av_interleaved_write_frame(oc, packet);
      if (r < 0 && !broken) {
        broken = true;
        logLine("Nimbo: writing the recording failed: " + averror(r));
      }
      av_packet_unref(packet);
    }
  }

  void encodeVideo(AVFrame* f) {
    if (avcodec_send_frame(venc, f) < 0) return;
    if (f) ++written;
    drain(venc, vs);
  }

  void encodeAudioFrames(bool all) {
    const int n = aenc->frame_size > 0 ? aenc->frame_size : 1024;
    while (av_audio_fifo_size(fifo) >= n || (all && av_audio_fifo_size(fifo) > 0)) {
      const int take = std::min(n, av_audio_fifo_size(fifo));
      AVFrame* f = av_frame_alloc();
      f->nb_samples = take;
      f->format = aenc->sample_fmt;
      av_channel_layout_copy(&f->ch_layout, &aenc->ch_layout);
      f->sample_rate = kAudioRate;
      if (av_frame_get_buffer(f, 0) < 0) {
        av_frame_free(&f);
        return;
      }
      av_audio_fifo_read(fifo, reinterpret_cast<void**>(f->data), take);
      f->pts = fifoStart;
      fifoStart += take;
      if (avcodec_send_frame(aenc, f) == 0) drain(aenc, as);
      av_frame_free(&f);
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
    const int64_t next = fifoStart + av_audio_fifo_size(fifo);
    int skip = 0;
    if (at > next + 1) {
      const int gap = int(at - next);
      std::vector<float> zero(size_t(gap), 0.0f);
      void* planes[2] = {zero.data(), zero.data()};
      av_audio_fifo_write(fifo, planes, gap);
    } else if (at < next - 1) {
      skip = int(std::min<int64_t>(next - at, frames));
    }
    std::vector<float> left, right;
    left.reserve(size_t(frames - skip));
    right.reserve(size_t(frames - skip));
    for (int i = skip; i < frames; ++i) left.push_back(samples[size_t(2 * i)]), right.push_back(samples[size_t(2 * i + 1)]);
    void* planes[2] = {left.data(), right.data()};
    if (!left.empty()) av_audio_fifo_write(fifo, planes, int(left.size()));
    encodeAudioFrames(false);
  }

  void close(Item& item) {
    const bool hadFrames = written > 0;
    if (hadFrames) {
      // A picture that stood still until the end is shown until the end.
      if (item.endPtsNs && lastEncoded) {
        const int64_t end = llround(double(*item.endPtsNs - *session) * kVideoTimeBase.den / 1e9);
        if (end > lastVideoPts + kVideoTimeBase.den / kFrameRateHint) {
          AVFrame* f = av_frame_clone(lastEncoded);
          f->pts = end;
          encodeVideo(f);
          av_frame_free(&f);
        }
      }
      encodeVideo(nullptr);
      if (aenc) {
        encodeAudioFrames(true);
        if (avcodec_send_frame(aenc, nullptr) == 0) drain(aenc, as);
      }
      av_write_trailer(oc);
    }
    avio_closep(&oc->pb);
    std::optional<QString> result;
    if (!hadFrames) {
      QFile::remove(path);
    } else if (broken) {
      logLine("Nimbo: the recording could not be written completely: " + path);
    } else {
      // Rewritten beside it, then moved over it: the fragmented file stays
      // playable until the regular one is complete.
      const QString part = path + ".part";
      QString why;
      if (remuxFastStart(path, part, &why) && QFile::remove(path) && QFile::rename(part, path)) {
        result = path;
      } else {
        QFile::remove(part);
        logLine("Nimbo: finishing the recording failed (" + why + "); the file is kept as recorded: " + path);
        result = path;
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
  // The encoders' statistics are not for the user's terminal.
  av_log_set_level(AV_LOG_ERROR);
  std::unique_ptr<VideoWriter> w(new VideoWriter());
  Impl& d = *w->d;
  d.path = path;
  d.width = width & ~1;
  d.height = height & ~1;
  d.audio = audioEnabled;
  d.channels = audioChannels;
  const QByteArray file = path.toUtf8();
  int r = avformat_alloc_output_context2(&d.oc, nullptr, "mp4", file.constData());
  if (r < 0) return Error{"Couldn't create the video file: " + averror(r), "Nimbo.VideoWriter", r};

  // H.264 through libx264: the preset that keeps 1080p60 in real time on two
  // cores (see bench/record_bench.sh); NIMBO_X264_PRESET overrides it.
  const AVCodec* vc = avcodec_find_encoder_by_name("libx264");
  if (!vc) vc = avcodec_find_encoder(AV_CODEC_ID_H264);
  if (!vc) return Error{"No H.264 encoder is available.", "Nimbo.VideoWriter", 2};
  d.venc = avcodec_alloc_context3(vc);
  d.venc->width = d.width;
  d.venc->height = d.height;
  d.venc->pix_fmt = AV_PIX_FMT_YUV420P;
  d.venc->time_base = kVideoTimeBase;
  d.venc->framerate = {kFrameRateHint, 1};
  d.venc->gop_size = 2 * kFrameRateHint;
  d.venc->colorspace = AVCOL_SPC_BT709;
  d.venc->color_primaries = AVCOL_PRI_BT709;
  d.venc->color_trc = AVCOL_TRC_BT709;
  d.venc->color_range = AVCOL_RANGE_MPEG;
  if (d.oc->oformat->flags & AVFMT_GLOBALHEADER) d.venc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  AVDictionary* vopts = nullptr;
  const QByteArray preset = qEnvironmentVariableIsSet("NIMBO_X264_PRESET") ? qgetenv("NIMBO_X264_PRESET")
                                                                          : QByteArray("ultrafast");
  av_dict_set(&vopts, "preset", preset.constData(), 0);
  av_dict_set(&vopts, "crf", "23", 0);
  r = avcodec_open2(d.venc, vc, &vopts);
  av_dict_free(&vopts);
  if (r < 0) return Error{"Couldn't start the video encoder: " + averror(r), "Nimbo.VideoWriter", r};
  d.vs = avformat_new_stream(d.oc, nullptr);
  avcodec_parameters_from_context(d.vs->codecpar, d.venc);
  d.vs->time_base = kVideoTimeBase;

  if (audioEnabled) {
    const AVCodec* ac = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (ac) {
      d.aenc = avcodec_alloc_context3(ac);
      d.aenc->sample_fmt = AV_SAMPLE_FMT_FLTP;
      d.aenc->sample_rate = kAudioRate;
      av_channel_layout_default(&d.aenc->ch_layout, audioChannels);
      d.aenc->bit_rate = audioChannels == 1 ? 96000 : 128000;
      d.aenc->time_base = {1, kAudioRate};
      if (d.oc->oformat->flags & AVFMT_GLOBALHEADER) d.aenc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
      if (avcodec_open2(d.aenc, ac, nullptr) < 0) {
        avcodec_free_context(&d.aenc);
      } else {
        d.as = avformat_new_stream(d.oc, nullptr);
        avcodec_parameters_from_context(d.as->codecpar, d.aenc);
        d.as->time_base = {1, kAudioRate};
        d.fifo = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, audioChannels, kAudioRate);
      }
    }
  }

  if ((r = avio_open(&d.oc->pb, file.constData(), AVIO_FLAG_WRITE)) < 0)
    return Error{"Couldn't create " + path + ": " + averror(r), "Nimbo.VideoWriter", r};
  // Fragments of at most a second: a killed recording loses at most that.
  AVDictionary* mopts = nullptr;
  av_dict_set(&mopts, "movflags", "frag_keyframe+empty_moov+default_base_moof", 0);
  av_dict_set(&mopts, "frag_duration", "1000000", 0);
  r = avformat_write_header(d.oc, &mopts);
  av_dict_free(&mopts);
  if (r < 0) {
    avio_closep(&d.oc->pb);
    QFile::remove(path);
    return Error{"Couldn't write the video header: " + averror(r), "Nimbo.VideoWriter", r};
  }
  d.packet = av_packet_alloc();
  d.thread = std::thread([&d] { d.run(); });
  return w;
}

bool VideoWriter::appendVideo(const uint8_t* bgra, int width, int height, int stride, int64_t ptsNs) {
  Impl& i = *d;
  if (i.finished || width < 1 || height < 1) return false;
  if (!i.started) {
    i.session = ptsNs;
    i.started = true;
  }
  const int64_t pts = llround(double(ptsNs - *i.session) * kVideoTimeBase.den / 1e9);
  if (pts <= i.lastVideoPts) return false;
  {
    std::lock_guard l(i.mutex);
    if (i.pendingVideo >= kMaxPendingFrames) {
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
  if (!out || !av_frame_is_writable(out)) {
    av_frame_free(&out);
    out = av_frame_alloc();
    out->format = AV_PIX_FMT_YUV420P;
    out->width = i.width;
    out->height = i.height;
    if (av_frame_get_buffer(out, 0) < 0) {
      av_frame_free(&out);
      return false;
    }
  }
  if (width >= i.width && width - i.width <= 1 && height >= i.height && height - i.height <= 1) {
    // The usual case: the video has the frame's size (an odd last row or
    // column is left out). Our own converter, in two bands, is several
    // times faster than swscale's.
    bgrxToI420Parallel(bgra, stride, i.width, i.height, out->data[0], out->linesize[0], out->data[1], out->data[2],
                       out->linesize[1]);
  } else {
    if (!i.sws || i.swsW != width || i.swsH != height) {
      sws_freeContext(i.sws);
      i.sws = sws_alloc_context();
      av_opt_set_int(i.sws, "srcw", width, 0);
      av_opt_set_int(i.sws, "srch", height, 0);
      av_opt_set_int(i.sws, "src_format", AV_PIX_FMT_BGR0, 0);
      av_opt_set_int(i.sws, "dstw", i.width, 0);
      av_opt_set_int(i.sws, "dsth", i.height, 0);
      av_opt_set_int(i.sws, "dst_format", AV_PIX_FMT_YUV420P, 0);
      av_opt_set_int(i.sws, "sws_flags", SWS_BILINEAR, 0);
      av_opt_set_int(i.sws, "threads", 0, 0);  // sliced over the cores
      if (sws_init_context(i.sws, nullptr, nullptr) < 0) {
        sws_freeContext(i.sws);
        i.sws = nullptr;
        av_frame_free(&out);
        return false;
      }
      const int* coefficients = sws_getCoefficients(SWS_CS_ITU709);
      sws_setColorspaceDetails(i.sws, coefficients, 1, coefficients, 0, 0, 1 << 16, 1 << 16);
      i.swsW = width;
      i.swsH = height;
    }
    AVFrame* in = av_frame_alloc();
    in->format = AV_PIX_FMT_BGR0;
    in->width = width;
    in->height = height;
    in->data[0] = const_cast<uint8_t*>(bgra);
    in->linesize[0] = stride;
    const int r = sws_scale_frame(i.sws, out, in);
    av_frame_free(&in);
    if (r < 0) {
      av_frame_free(&out);
      return false;
    }
  }
  out->pts = pts;
  i.lastVideoPts = pts;
  {
    std::lock_guard l(i.mutex);
    Impl::Item item;
    item.frame = out;
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
    i.queue.push_back(std::move(item));
  }
  i.cv.notify_one();
  // The writer thread ends with the finish item; joined here or at
  // destruction.
}

QString VideoWriter::path() const { return d->path; }
bool VideoWriter::finished() const { return d->finished; }
int VideoWriter::framesWritten() const { return d->written; }
int VideoWriter::framesDropped() const { return d->dropped; }

QString makeRecordingPath() {
  QString dir = paths::appSupportDir() + "/recordings";
  // Never the shared temporary folder: a recording is as private as a screenshot.
  if (!QDir().mkpath(dir)) dir = paths::privateTempDir();
  const QString stamp = QLocale(QLocale::English, QLocale::UnitedStates)
                            .toString(QDateTime::currentDateTime(), QStringLiteral("yyyy-MM-dd-'at'-HH.mm.ss"));
  return dir + "/Nimbo-" + stamp + ".mp4";
}

}  // namespace nimbo

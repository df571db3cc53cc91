#include "recording/h264_encoder.h"

#include "media/ffmpeg_library.h"

#include <QList>

#include <cstdlib>
#include <cstring>

namespace nimbo {

namespace {

// x264 frees a picture's macroblock flags when it is done with them.
void freeFlags(void* flags) { std::free(flags); }

}  // namespace

Result<std::unique_ptr<H264Encoder>> H264Encoder::open(const Settings& s) {
  const auto fail = [](const QString& why, int code) {
    return Error{"Couldn't start the video encoder: " + why, "Nimbo.H264Encoder", code};
  };
  x264_param_t p;
  if (av().x264_param_default_preset(&p, s.preset.constData(), "zerolatency") < 0)
    return fail("no preset " + QString::fromLatin1(s.preset), 1);
  p.i_width = s.width;
  p.i_height = s.height;
  p.i_csp = X264_CSP_I420;
  p.i_timebase_num = 1;
  p.i_timebase_den = uint32_t(s.timeBase);
  p.i_fps_num = uint32_t(s.frameRateHint);
  p.i_fps_den = 1;
  p.i_keyint_max = s.keyframeIntervalMax;
  p.rc.i_rc_method = X264_RC_CRF;
  p.rc.f_rf_constant = s.crf;
  p.vui.i_colorprim = 1;  // BT.709, limited range
  p.vui.i_transfer = 1;
  p.vui.i_colmatrix = 1;
  p.vui.b_fullrange = 0;
  // The parameter sets go in the file's header, once.
  p.b_repeat_headers = 0;
  p.i_log_level = s.verbose ? X264_LOG_DEBUG : X264_LOG_ERROR;
  // Pictures may say which of their macroblocks stand still.
  p.analyse.b_mb_info = 1;
  for (const QByteArray& option : s.params.split(':')) {
    if (option.isEmpty()) continue;
    const int eq = option.indexOf('=');
    const QByteArray name = eq < 0 ? option : option.left(eq);
    const QByteArray value = eq < 0 ? QByteArray("1") : option.mid(eq + 1);
    if (av().x264_param_parse(&p, name.constData(), value.constData()) != 0)
      return fail("x264 does not take " + QString::fromLatin1(option), 2);
  }
  std::unique_ptr<H264Encoder> e(new H264Encoder());
  e->x264_ = av().x264_encoder_open(&p);
  if (!e->x264_) return fail("x264 refused its settings", 3);
  e->width_ = s.width;
  e->height_ = s.height;
  x264_nal_t* nals = nullptr;
  int count = 0;
  if (av().x264_encoder_headers(e->x264_, &nals, &count) < 0) return fail("x264 gave no parameter sets", 4);
  // The parameter sets; not x264's notice of its version and settings.
  for (int n = 0; n < count; ++n)
    if (nals[n].i_type != NAL_SEI)
      e->headers_.append(reinterpret_cast<const char*>(nals[n].p_payload), nals[n].i_payload);
  return e;
}

H264Encoder::~H264Encoder() {
  if (x264_) av().x264_encoder_close(x264_);
}

int H264Encoder::delayed() const { return av().x264_encoder_delayed_frames(x264_); }

Result<bool> H264Encoder::encode(const AVFrame* picture, bool key, std::vector<uint8_t> unchanged, AVPacket* packet) {
  x264_picture_t in, out;
  av().x264_picture_init(&in);
  if (picture) {
    in.img.i_csp = X264_CSP_I420;
    in.img.i_plane = 3;
    for (int i = 0; i < 3; ++i) {
      in.img.plane[i] = picture->data[i];
      in.img.i_stride[i] = picture->linesize[i];
    }
    in.i_pts = picture->pts;
    in.i_type = key ? X264_TYPE_IDR : X264_TYPE_AUTO;
    const size_t macroblocks = size_t(macroblocksWide()) * size_t(macroblocksHigh());
    if (!key && unchanged.size() == macroblocks) {
      auto* flags = static_cast<uint8_t*>(std::malloc(macroblocks));
      if (flags) {
        for (size_t m = 0; m < macroblocks; ++m) flags[m] = unchanged[m] ? X264_MBINFO_CONSTANT : 0;
        in.prop.mb_info = flags;
        in.prop.mb_info_free = freeFlags;
      }
    }
  }
  x264_nal_t* nals = nullptr;
  int count = 0;
  const int size = av().x264_encoder_encode(x264_, &nals, &count, picture ? &in : nullptr, &out);
  // (On failure the flags may be x264's already: left to it.)
  if (size < 0) return Error{"The video encoder failed.", "Nimbo.H264Encoder", 5};
  if (size == 0) return false;
  if (const int r = av().av_new_packet(packet, size); r < 0)
    return Error{"Out of memory for a video packet.", "Nimbo.H264Encoder", r};
  // x264 lays a picture's units out one after the other.
  memcpy(packet->data, nals[0].p_payload, size_t(size));
  packet->pts = out.i_pts;
  packet->dts = out.i_dts;
  if (out.b_keyframe) packet->flags |= AV_PKT_FLAG_KEY;
  return true;
}

}  // namespace nimbo

#pragma once
// FFmpeg, opened when a recording, a camera or a video file first needs it
// and closed again a while after the last of them is done. FFmpeg and what
// it pulls in (over a hundred codec, device and network libraries) would
// otherwise take up about 30 MB of every idle tray process.
//
// Code that uses FFmpeg keeps a Hold for as long as it has any FFmpeg object
// (context, frame, packet) and calls FFmpeg through av().
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/display.h>
#include <libavutil/error.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
#include <x264.h>
}

#include <memory>

#include "util/result.h"

// The functions we call, by the library that has them, in loading order.
#define NIMBO_FFMPEG_AVUTIL(X)                                                                                        \
  X(av_audio_fifo_alloc) X(av_audio_fifo_free) X(av_audio_fifo_read) X(av_audio_fifo_size) X(av_audio_fifo_write)     \
  X(av_channel_layout_copy) X(av_channel_layout_default) X(av_dict_free) X(av_dict_set) X(av_display_rotation_get)    \
  X(av_free) X(av_mallocz)                                                                                             \
  X(av_frame_alloc) X(av_frame_clone) X(av_frame_free) X(av_frame_get_buffer) X(av_frame_is_writable)                 \
  X(av_frame_move_ref) X(av_frame_unref) X(av_get_bytes_per_sample) X(av_log_set_level) X(av_opt_set_int)            \
  X(av_sample_fmt_is_planar) X(av_strerror)
#define NIMBO_FFMPEG_SWRESAMPLE(X) X(swr_alloc_set_opts2) X(swr_convert) X(swr_free) X(swr_init) X(swr_set_matrix)
#define NIMBO_FFMPEG_SWSCALE(X)                                                                                       \
  X(sws_alloc_context) X(sws_freeContext) X(sws_getCachedContext) X(sws_getCoefficients) X(sws_getContext)            \
  X(sws_init_context) X(sws_scale) X(sws_scale_frame) X(sws_setColorspaceDetails)
#define NIMBO_FFMPEG_AVCODEC(X)                                                                                       \
  X(av_new_packet) X(av_packet_alloc) X(av_packet_free) X(av_packet_rescale_ts) X(av_packet_unref) X(avcodec_alloc_context3)           \
  X(avcodec_find_decoder) X(avcodec_find_encoder) X(avcodec_find_encoder_by_name) X(avcodec_free_context)            \
  X(avcodec_get_name) X(avcodec_open2) X(avcodec_parameters_from_context) X(avcodec_parameters_to_context)           \
  X(avcodec_receive_frame) X(avcodec_receive_packet) X(avcodec_send_frame) X(avcodec_send_packet)
#define NIMBO_FFMPEG_AVFORMAT(X)                                                                                      \
  X(av_find_best_stream) X(av_find_input_format) X(av_interleaved_write_frame) X(av_read_frame) X(av_seek_frame)      \
  X(av_stream_get_side_data) X(av_write_trailer) X(avformat_alloc_context) X(avformat_alloc_output_context2)         \
  X(avformat_close_input) X(avformat_find_stream_info) X(avformat_free_context) X(avformat_new_stream)               \
  X(avformat_open_input) X(avformat_write_header) X(avio_closep) X(avio_flush) X(avio_open) X(avio_seek)
// libx264 itself: FFmpeg's wrapper cannot hand it which macroblocks are
// unchanged since the picture before (recording/h264_encoder.h).
#define NIMBO_FFMPEG_X264(X)                                                                                          \
  X(x264_param_default_preset) X(x264_param_parse) X(x264_picture_init) X(x264_encoder_headers)                       \
  X(x264_encoder_encode) X(x264_encoder_close) X(x264_encoder_delayed_frames)
#define NIMBO_FFMPEG_AVDEVICE(X) X(avdevice_register_all)

namespace nimbo::ffmpeg {

struct Api {
#define NIMBO_FFMPEG_POINTER(name) decltype(&::name) name = nullptr;
  NIMBO_FFMPEG_AVUTIL(NIMBO_FFMPEG_POINTER)
  NIMBO_FFMPEG_SWRESAMPLE(NIMBO_FFMPEG_POINTER)
  NIMBO_FFMPEG_SWSCALE(NIMBO_FFMPEG_POINTER)
  NIMBO_FFMPEG_AVCODEC(NIMBO_FFMPEG_POINTER)
  NIMBO_FFMPEG_AVFORMAT(NIMBO_FFMPEG_POINTER)
  NIMBO_FFMPEG_X264(NIMBO_FFMPEG_POINTER)
  NIMBO_FFMPEG_AVDEVICE(NIMBO_FFMPEG_POINTER)
#undef NIMBO_FFMPEG_POINTER
  // x264_encoder_open carries the library's build number in its name.
  decltype(&::x264_encoder_open) x264_encoder_open = nullptr;
};

// FFmpeg stays open while a Hold exists.
using Hold = std::shared_ptr<const Api>;

enum class Needs { codecs, devices };

// Opens FFmpeg (and libavdevice too, for `devices`) or says why it cannot.
// Safe from any thread.
Result<Hold> open(Needs needs = Needs::codecs);

// How long FFmpeg stays open after the last hold is let go, so that a quick
// second use does not load it all again (NIMBO_FFMPEG_LINGER_MS overrides).
constexpr int kLingerMs = 15000;

// Closes FFmpeg now if nothing holds it; true when it is (then) closed.
bool closeIfUnused();
bool isOpen();

}  // namespace nimbo::ffmpeg

namespace nimbo {
// FFmpeg's functions; only to be called while holding FFmpeg open.
const ffmpeg::Api& av();
}  // namespace nimbo

#include "emulator/mpeg_producer.hpp"

#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include "emulator/synthetic_source.hpp"

namespace emu {

void quietFfmpeg() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

struct MpegProducer::Impl {
  StreamFormat format;
  AVFormatContext* mux = nullptr;
  AVIOContext* io = nullptr;
  AVCodecContext* video = nullptr;
  AVCodecContext* audio = nullptr;
  AVStream* videoStream = nullptr;
  AVStream* audioStream = nullptr;
  AVFrame* picture = nullptr;
  AVFrame* sound = nullptr;
  AVPacket* packet = nullptr;
  std::int64_t frameIndex = 0;
  std::int64_t audioSamples = 0;
  std::vector<std::uint8_t>* sink = nullptr;
  bool headerWritten = false;
  bool finished = false;

  ~Impl() {
    if (headerWritten && !finished) {
      std::vector<std::uint8_t> discard;
      sink = &discard;
      av_write_trailer(mux);
    }
    av_packet_free(&packet);
    av_frame_free(&picture);
    av_frame_free(&sound);
    avcodec_free_context(&video);
    avcodec_free_context(&audio);
    if (io) {
      av_freep(&io->buffer);
      avio_context_free(&io);
    }
    avformat_free_context(mux);
  }

  static int write(void* opaque, std::uint8_t* buf, int size) {
    auto* self = static_cast<Impl*>(opaque);
    if (self->sink) self->sink->insert(self->sink->end(), buf, buf + size);
    return size;
  }

  bool drain(AVCodecContext* codec, AVStream* stream) {
    for (;;) {
      const int rc = avcodec_receive_packet(codec, packet);
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
      if (rc < 0) return false;
      av_packet_rescale_ts(packet, codec->time_base, stream->time_base);
      packet->stream_index = stream->index;
      if (av_interleaved_write_frame(mux, packet) < 0) return false;
    }
  }

  bool encodeAudioUpTo(double seconds) {
    while (double(audioSamples) / format.audioRate < seconds) {
      if (av_frame_make_writable(sound) < 0) return false;
      drawTone(reinterpret_cast<std::int16_t*>(sound->data[0]), sound->nb_samples, audioSamples,
               format.audioRate);
      sound->pts = audioSamples;
      audioSamples += sound->nb_samples;
      if (avcodec_send_frame(audio, sound) < 0 || !drain(audio, audioStream)) return false;
    }
    return true;
  }
};

MpegProducer::MpegProducer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
MpegProducer::~MpegProducer() = default;

std::unique_ptr<MpegProducer> MpegProducer::open(const StreamFormat& f, std::string* why) {
  quietFfmpeg();
  auto impl = std::make_unique<Impl>();
  impl->format = f;
  auto fail = [&](const char* what) -> std::unique_ptr<MpegProducer> {
    *why = std::string("MPEG encoder: ") + what;
    return nullptr;
  };

  if (avformat_alloc_output_context2(&impl->mux, nullptr, f.mpeg2 ? "vob" : "mpeg", nullptr) < 0)
    return fail("no program stream muxer");
  constexpr int kIoBuffer = 32768;
  auto* buffer = static_cast<std::uint8_t*>(av_malloc(kIoBuffer));
  if (!buffer) return fail("out of memory");
  impl->io = avio_alloc_context(buffer, kIoBuffer, 1, impl.get(), nullptr, &Impl::write, nullptr);
  if (!impl->io) {
    av_free(buffer);
    return fail("out of memory");
  }
  impl->mux->pb = impl->io;
  impl->mux->flags |= AVFMT_FLAG_CUSTOM_IO;

  // Video.
  const AVCodec* vcodec = avcodec_find_encoder(f.mpeg2 ? AV_CODEC_ID_MPEG2VIDEO : AV_CODEC_ID_MPEG1VIDEO);
  if (!vcodec) return fail("no MPEG video encoder");
  impl->video = avcodec_alloc_context3(vcodec);
  AVCodecContext* v = impl->video;
  v->width = f.width;
  v->height = f.height;
  v->time_base = AVRational{f.fpsDen, f.fpsNum};
  v->framerate = AVRational{f.fpsNum, f.fpsDen};
  v->pix_fmt = AV_PIX_FMT_YUV420P;
  v->gop_size = f.fpsNum / f.fpsDen >= 29 ? 15 : 12;
  v->max_b_frames = 2;
  v->thread_count = 1;
  v->bit_rate = f.bitRate;
  const std::int64_t peak = f.variable ? std::max<std::int64_t>(f.peakBitRate, f.bitRate) : f.bitRate;
  v->rc_max_rate = peak;
  if (!f.variable) v->rc_min_rate = f.bitRate;
  v->rc_buffer_size = 1835008;  // the MPEG-2 main-level video buffer, 224 KiB
  v->rc_initial_buffer_occupancy = v->rc_buffer_size * 3 / 4;
  v->bit_rate_tolerance = int(std::min<std::int64_t>(peak, 1 << 30));
  if (impl->mux->oformat->flags & AVFMT_GLOBALHEADER) v->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (avcodec_open2(v, vcodec, nullptr) < 0) return fail("video encoder refused the format");

  // Audio: MPEG-1 layer II, stereo.
  const AVCodec* acodec = avcodec_find_encoder(AV_CODEC_ID_MP2);
  if (!acodec) return fail("no MPEG audio encoder");
  impl->audio = avcodec_alloc_context3(acodec);
  AVCodecContext* a = impl->audio;
  a->sample_rate = f.audioRate;
  a->sample_fmt = AV_SAMPLE_FMT_S16;
  av_channel_layout_default(&a->ch_layout, 2);
  a->bit_rate = f.audioBitRate;
  a->time_base = AVRational{1, f.audioRate};
  a->thread_count = 1;
  if (avcodec_open2(a, acodec, nullptr) < 0) return fail("audio encoder refused the sampling rate");

  impl->videoStream = avformat_new_stream(impl->mux, nullptr);
  impl->audioStream = avformat_new_stream(impl->mux, nullptr);
  if (!impl->videoStream || !impl->audioStream) return fail("out of memory");
  avcodec_parameters_from_context(impl->videoStream->codecpar, v);
  avcodec_parameters_from_context(impl->audioStream->codecpar, a);
  impl->videoStream->time_base = v->time_base;
  impl->audioStream->time_base = a->time_base;

  impl->picture = av_frame_alloc();
  impl->sound = av_frame_alloc();
  impl->packet = av_packet_alloc();
  if (!impl->picture || !impl->sound || !impl->packet) return fail("out of memory");
  impl->picture->format = v->pix_fmt;
  impl->picture->width = v->width;
  impl->picture->height = v->height;
  if (av_frame_get_buffer(impl->picture, 0) < 0) return fail("out of memory");
  impl->sound->format = a->sample_fmt;
  impl->sound->nb_samples = a->frame_size;
  impl->sound->sample_rate = a->sample_rate;
  av_channel_layout_copy(&impl->sound->ch_layout, &a->ch_layout);
  if (av_frame_get_buffer(impl->sound, 0) < 0) return fail("out of memory");

  if (avformat_write_header(impl->mux, nullptr) < 0) return fail("muxer refused the streams");
  impl->headerWritten = true;
  return std::unique_ptr<MpegProducer>(new MpegProducer(std::move(impl)));
}

bool MpegProducer::next(std::vector<std::uint8_t>& out) {
  Impl& s = *impl_;
  if (s.finished) return false;
  s.sink = &out;
  bool ok = av_frame_make_writable(s.picture) >= 0;
  if (ok) {
    drawTestPicture(s.picture, s.frameIndex);
    s.picture->pts = s.frameIndex++;
    ok = avcodec_send_frame(s.video, s.picture) >= 0 && s.drain(s.video, s.videoStream) &&
         s.encodeAudioUpTo(double(s.frameIndex) * s.format.fpsDen / s.format.fpsNum);
  }
  avio_flush(s.io);
  s.sink = nullptr;
  return ok;
}

void MpegProducer::finish(std::vector<std::uint8_t>& out) {
  Impl& s = *impl_;
  if (s.finished) return;
  s.sink = &out;
  avcodec_send_frame(s.video, nullptr);
  s.drain(s.video, s.videoStream);
  avcodec_send_frame(s.audio, nullptr);
  s.drain(s.audio, s.audioStream);
  av_write_trailer(s.mux);
  avio_flush(s.io);
  s.finished = true;
  s.sink = nullptr;
}

std::int64_t MpegProducer::frames() const { return impl_->frameIndex; }

double MpegProducer::frameDuration() const {
  return double(impl_->format.fpsDen) / impl_->format.fpsNum;
}

}  // namespace emu

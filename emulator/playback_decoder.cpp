#include "emulator/playback_decoder.hpp"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include "emulator/mpeg_producer.hpp"

namespace emu {

PlaybackDecoder::PlaybackDecoder(bool pal, std::string frameDir, unsigned saveEvery)
    : pal_(pal), frameDir_(std::move(frameDir)), saveEvery_(saveEvery ? saveEvery : 1) {
  quietFfmpeg();
  thread_ = std::thread([this] { run(); });
}

PlaybackDecoder::~PlaybackDecoder() {
  abandon();
  thread_.join();
}

void PlaybackDecoder::feed(const std::uint8_t* bytes, std::size_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (ended_) return;
  input_.insert(input_.end(), bytes, bytes + size);
  stats_.bytesFed += size;
  cv_.notify_all();
}

void PlaybackDecoder::endOfStream() {
  std::lock_guard<std::mutex> lock(mutex_);
  ended_ = true;
  cv_.notify_all();
}

void PlaybackDecoder::abandon() {
  std::lock_guard<std::mutex> lock(mutex_);
  ended_ = true;
  abandoned_ = true;
  cv_.notify_all();
}

PlaybackStats PlaybackDecoder::stats() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stats_;
}

bool PlaybackDecoder::waitFinished(unsigned timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return stats_.finished; });
}

int PlaybackDecoder::readThunk(void* opaque, std::uint8_t* buf, int size) {
  return static_cast<PlaybackDecoder*>(opaque)->read(buf, size);
}

int PlaybackDecoder::read(std::uint8_t* buf, int size) {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait(lock, [&] { return abandoned_ || ended_ || !input_.empty(); });
  if (abandoned_ || input_.empty()) return AVERROR_EOF;
  const int n = int(std::min<std::size_t>(std::size_t(size), input_.size()));
  std::copy(input_.begin(), input_.begin() + n, buf);
  input_.erase(input_.begin(), input_.begin() + n);
  return n;
}

void PlaybackDecoder::saveFrame(AVFrame* frame, std::uint64_t index) {
  const AVCodec* png = avcodec_find_encoder(AV_CODEC_ID_PNG);
  if (!png) return;
  AVCodecContext* enc = avcodec_alloc_context3(png);
  AVFrame* rgb = av_frame_alloc();
  AVPacket* pkt = av_packet_alloc();
  SwsContext* sws = sws_getContext(frame->width, frame->height, AVPixelFormat(frame->format),
                                   frame->width, frame->height, AV_PIX_FMT_RGB24, SWS_BILINEAR,
                                   nullptr, nullptr, nullptr);
  if (enc && rgb && pkt && sws) {
    enc->width = frame->width;
    enc->height = frame->height;
    enc->pix_fmt = AV_PIX_FMT_RGB24;
    enc->time_base = AVRational{1, 25};
    rgb->format = AV_PIX_FMT_RGB24;
    rgb->width = frame->width;
    rgb->height = frame->height;
    if (avcodec_open2(enc, png, nullptr) >= 0 && av_frame_get_buffer(rgb, 0) >= 0) {
      sws_scale(sws, frame->data, frame->linesize, 0, frame->height, rgb->data, rgb->linesize);
      if (avcodec_send_frame(enc, rgb) >= 0 && avcodec_receive_packet(enc, pkt) >= 0) {
        char name[32];
        std::snprintf(name, sizeof name, "frame-%06llu.png", static_cast<unsigned long long>(index));
        const auto path = std::filesystem::path(frameDir_) / name;
        if (FILE* f = std::fopen(path.c_str(), "wb")) {
          std::fwrite(pkt->data, 1, std::size_t(pkt->size), f);
          std::fclose(f);
        }
      }
    }
  }
  sws_freeContext(sws);
  av_packet_free(&pkt);
  av_frame_free(&rgb);
  avcodec_free_context(&enc);
}

void PlaybackDecoder::run() {
  std::string error;
  AVFormatContext* demux = avformat_alloc_context();
  constexpr int kIoBuffer = 32768;
  auto* buffer = static_cast<std::uint8_t*>(av_malloc(kIoBuffer));
  AVIOContext* io = buffer ? avio_alloc_context(buffer, kIoBuffer, 0, this, &readThunk, nullptr, nullptr)
                           : nullptr;
  AVCodecContext* video = nullptr;
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  int videoIndex = -1;
  int audioIndex = -1;

  if (!demux || !io || !packet || !frame) {
    error = "playback decoder: out of memory";
    if (!io) av_free(buffer);
  } else {
    demux->pb = io;
    demux->flags |= AVFMT_FLAG_CUSTOM_IO;
    if (avformat_open_input(&demux, nullptr, av_find_input_format("mpeg"), nullptr) < 0) {
      error = "playback decoder: the bytes are not an MPEG program stream";
      demux = nullptr;  // freed by avformat_open_input on failure
    } else if (avformat_find_stream_info(demux, nullptr) < 0 ||
               (videoIndex = av_find_best_stream(demux, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0)) < 0) {
      error = "playback decoder: no video stream found";
    } else {
      audioIndex = av_find_best_stream(demux, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
      const AVCodecParameters* par = demux->streams[videoIndex]->codecpar;
      const AVCodec* codec = avcodec_find_decoder(par->codec_id);
      video = codec ? avcodec_alloc_context3(codec) : nullptr;
      if (!video || avcodec_parameters_to_context(video, par) < 0) {
        error = "playback decoder: no decoder for the video stream";
      } else {
        video->thread_count = 1;
        if (avcodec_open2(video, codec, nullptr) < 0) error = "playback decoder: video decoder failed to open";
      }
      if (error.empty()) {
        std::lock_guard<std::mutex> lock(mutex_);
        stats_.videoCodec = codec->name;
        const AVRational rate = demux->streams[videoIndex]->avg_frame_rate.num
                                    ? demux->streams[videoIndex]->avg_frame_rate
                                    : demux->streams[videoIndex]->r_frame_rate;
        stats_.fpsNum = rate.num;
        stats_.fpsDen = rate.den;
        if (audioIndex >= 0) stats_.audioRate = demux->streams[audioIndex]->codecpar->sample_rate;
      }
    }
  }

  auto onFrame = [&] {
    std::uint64_t index;
    bool save;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      index = stats_.framesDecoded++;
      stats_.width = frame->width;
      stats_.height = frame->height;
      const bool palSize = frame->height == 576 || frame->height == 288;
      const bool palRate = stats_.fpsDen != 0 && stats_.fpsNum == 25 * stats_.fpsDen;
      if (palSize != pal_ || palRate != pal_) stats_.standardMismatch = true;
      save = !frameDir_.empty() && index % saveEvery_ == 0;
    }
    if (save) saveFrame(frame, index);
  };

  while (error.empty()) {
    const int rc = av_read_frame(demux, packet);
    if (rc < 0) {
      avcodec_send_packet(video, nullptr);  // drain
    } else if (packet->stream_index == audioIndex) {
      std::lock_guard<std::mutex> lock(mutex_);
      ++stats_.audioPackets;
    } else if (packet->stream_index == videoIndex) {
      avcodec_send_packet(video, packet);  // a damaged packet is skipped, as a decoder chip would
    }
    av_packet_unref(packet);
    while (avcodec_receive_frame(video, frame) >= 0) {
      onFrame();
      av_frame_unref(frame);
    }
    if (rc < 0) break;
  }

  avcodec_free_context(&video);
  av_frame_free(&frame);
  av_packet_free(&packet);
  if (demux) avformat_close_input(&demux);
  if (io) {
    av_freep(&io->buffer);
    avio_context_free(&io);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (!error.empty()) stats_.error = error;
  stats_.finished = true;
  cv_.notify_all();
}

}  // namespace emu

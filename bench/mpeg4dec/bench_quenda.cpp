// Decode speed of Quenda next to libavcodec's mpeg4 decoder on every
// reference stream, both called in this program on the same pictures held
// in memory, single thread, timed around the decode calls only. Quenda is
// timed on the path whose pictures are checked (DecoderOnly, YUV into the
// caller's two stores, as quenda_tools::CaptureDecoder drives it), and on
// the engine's path, DecoderFrame with RGB32 output. The two decoders take turns round by round so both see the same
// machine; a stream's result is the median of its per-round speed ratios.
// libavcodec runs as the reference decoder is made: bit-exact, the xvid
// inverse DCT, the stream's VOL headers as extradata, one packet per
// picture. The MD5s of both decoders' pictures are compared as well.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "frames.h"
#include "md5.h"
#include "quenda.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
}

namespace {

const std::string kDir = std::string(VELMORA_REFERENCE_DIR) + "/mpeg4/";
constexpr int kRounds = 21;

using Clock = std::chrono::steady_clock;
using Pictures = std::vector<std::vector<uint8_t>>;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The elementary stream's headers: everything before its first picture
// (start code 00 00 01 B6).
std::vector<uint8_t> VolHeaders(const std::vector<uint8_t>& m4v) {
  for (size_t i = 0; i + 4 <= m4v.size(); ++i)
    if (m4v[i] == 0 && m4v[i + 1] == 0 && m4v[i + 2] == 1 && m4v[i + 3] == 0xB6)
      return std::vector<uint8_t>(m4v.begin(), m4v.begin() + long(i));
  return {};
}

// One pass of the checked path in pictures per second: the decoder the MD5s
// are taken through, made before the timing as libavcodec's is.
double CheckedPass(const Pictures& pictures) {
  quenda_tools::CaptureDecoder decoder;
  const auto start = Clock::now();
  for (size_t i = 0; i < pictures.size(); ++i) decoder.Decode(int(i), pictures[i]);
  return double(pictures.size()) / Seconds(start);
}

// One pass of the engine's path, RGB32 into output, in pictures per second.
double EnginePass(const Pictures& pictures, uint8_t* output) {
  Decoder_Init();
  const auto start = Clock::now();
  for (const auto& p : pictures) {
    DecoderSetInputSize(uint32_t(p.size()));
    DecoderFrame(p.data(), 32, output);
  }
  const double s = Seconds(start);
  DecoderClose();
  return double(pictures.size()) / s;
}

std::string Md5Of(const uint8_t* data, size_t n) {
  quenda_tools::Md5 md5;
  md5.Update(data, n);
  return md5.HexDigest();
}

class Libavcodec {
 public:
  Libavcodec(const std::vector<uint8_t>& headers, const Pictures& pictures) {
    for (const auto& p : pictures) {
      // The camera's 4 tag bytes are no part of the picture.
      const size_t n = p.size() > 4 ? p.size() - 4 : 0;
      AVPacket* packet = av_packet_alloc();
      if (av_new_packet(packet, int(n)) == 0) std::memcpy(packet->data, p.data() + 4, n);
      packets_.push_back(packet);
    }
    headers_ = headers;
    frame_ = av_frame_alloc();
  }
  ~Libavcodec() {
    for (AVPacket* p : packets_) av_packet_free(&p);
    av_frame_free(&frame_);
  }

  // One pass in pictures per second (0 when the decoder cannot be opened);
  // with md5s, the MD5 of each picture in planar YUV 4:2:0.
  double Pass(std::vector<std::string>* md5s = nullptr) {
    AVCodecContext* c = Open();
    if (!c) return 0;
    size_t shown = 0;
    const auto start = Clock::now();
    for (AVPacket* p : packets_) {
      avcodec_send_packet(c, p);
      shown += Drain(c, md5s);
    }
    avcodec_send_packet(c, nullptr);
    shown += Drain(c, md5s);
    const double s = Seconds(start);
    avcodec_free_context(&c);
    return shown ? double(packets_.size()) / s : 0;
  }

 private:
  AVCodecContext* Open() {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MPEG4);
    if (!codec) return nullptr;
    AVCodecContext* c = avcodec_alloc_context3(codec);
    c->thread_count = 1;
    c->flags |= AV_CODEC_FLAG_BITEXACT;
    c->idct_algo = FF_IDCT_XVID;
    c->extradata = static_cast<uint8_t*>(av_mallocz(headers_.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    std::memcpy(c->extradata, headers_.data(), headers_.size());
    c->extradata_size = int(headers_.size());
    if (avcodec_open2(c, codec, nullptr) < 0) avcodec_free_context(&c);
    return c;
  }

  size_t Drain(AVCodecContext* c, std::vector<std::string>* md5s) {
    size_t n = 0;
    while (avcodec_receive_frame(c, frame_) == 0) {
      ++n;
      if (md5s) md5s->push_back(PlanarMd5());
      av_frame_unref(frame_);
    }
    return n;
  }

  std::string PlanarMd5() const {
    std::vector<uint8_t> planar;
    for (int plane = 0; plane < 3; ++plane) {
      const int w = plane ? frame_->width / 2 : frame_->width, h = plane ? frame_->height / 2 : frame_->height;
      for (int y = 0; y < h; ++y) {
        const uint8_t* row = frame_->data[plane] + size_t(y) * size_t(frame_->linesize[plane]);
        planar.insert(planar.end(), row, row + w);
      }
    }
    return Md5Of(planar.data(), planar.size());
  }

  std::vector<uint8_t> headers_;
  std::vector<AVPacket*> packets_;
  AVFrame* frame_ = nullptr;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t m = v.size() / 2;
  return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

// Streams with both a capture and its elementary stream, by name.
std::vector<std::string> ReferenceStreams() {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(kDir)) {
    const std::filesystem::path p = e.path();
    if (p.extension() == ".frames" && std::filesystem::exists(kDir + p.stem().string() + ".m4v"))
      names.push_back(p.stem().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

int main() {
  av_log_set_level(AV_LOG_ERROR);
  std::vector<uint8_t> rgb(320 * 240 * 4);
  int status = 0;
  std::vector<double> streamRatios;
  for (const std::string& stream : ReferenceStreams()) {
    Pictures pictures;
    const std::vector<uint8_t> headers = VolHeaders(ReadFile(kDir + stream + ".m4v"));
    if (!quenda_tools::ReadFramesFile(kDir + stream + ".frames", pictures) || headers.empty()) {
      std::fprintf(stderr, "cannot read %s\n", stream.c_str());
      return 1;
    }
    Libavcodec lavc(headers, pictures);

    // Both decoders' pictures, compared once outside the timing.
    std::vector<std::string> ours, theirs;
    quenda_tools::DecodeCapture(pictures, [&](const quenda_tools::DecodedPicture& p) {
      ours.push_back(quenda_tools::PlanarMd5(p.store));
    });
    lavc.Pass(&theirs);
    size_t agree = 0;
    for (size_t i = 0; i < std::min(ours.size(), theirs.size()); ++i) agree += ours[i] == theirs[i];

    std::vector<double> ratios, quenda, withRgb, libav;
    for (int round = 0; round < kRounds; ++round) {
      // Who goes first alternates, so neither always meets a warm cache.
      double q, l;
      if (round % 2) {
        l = lavc.Pass();
        q = CheckedPass(pictures);
      } else {
        q = CheckedPass(pictures);
        l = lavc.Pass();
      }
      withRgb.push_back(EnginePass(pictures, rgb.data()));
      if (l <= 0) break;
      quenda.push_back(q);
      libav.push_back(l);
      ratios.push_back(q / l);
    }
    if (ratios.empty()) {
      std::fprintf(stderr, "%s: libavcodec's mpeg4 decoder could not be used\n", stream.c_str());
      return 1;
    }
    streamRatios.push_back(Median(ratios));
    std::printf("%-13s quenda %6.0f pictures/s (engine's path, decode+rgb32: %6.0f), libavcodec %6.0f pictures/s, "
                "ratio %.2f, median of %zu rounds (range %.2f-%.2f); md5 agree %zu/%zu pictures\n",
                stream.c_str(), Median(quenda), Median(withRgb), Median(libav), streamRatios.back(), ratios.size(),
                *std::min_element(ratios.begin(), ratios.end()), *std::max_element(ratios.begin(), ratios.end()),
                agree, pictures.size());
    if (agree != pictures.size() || ours.size() != theirs.size()) status = 1;
  }
  if (streamRatios.empty()) {
    std::fprintf(stderr, "no reference streams in %s\n", kDir.c_str());
    return 1;
  }
  std::printf("quenda / libavcodec over %zu streams: median %.2f, range %.2f-%.2f\n", streamRatios.size(),
              Median(streamRatios), *std::min_element(streamRatios.begin(), streamRatios.end()),
              *std::max_element(streamRatios.begin(), streamRatios.end()));
  return status;
}

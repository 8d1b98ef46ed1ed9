// Decode speed of the speech decoder as times real time: speech_63 (6.3
// kbit/s) held in memory and decoded over and over on one thread through the
// slot entry point, postfilter off. First, the same frames next to
// libavcodec's g723_1 decoder (postfilter off) in this program: the two take
// turns round by round, the median of the per-round speed ratios is
// reported, and the MD5s of both outputs are compared.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "g7231/speech_decoder.h"
#include "md5.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

namespace {

constexpr uint32_t kSlot = 7;
constexpr double kFrameSeconds = 0.030;

std::vector<uint8_t> LoadFrames() {
  const std::string path = std::string(VELMORA_REFERENCE_DIR) + "/g7231/vectors/speech_63.f24";
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (data.size() < kSpeechFrameBytes) std::fprintf(stderr, "cannot read %s\n", path.c_str());
  return data;
}

void BM_DecodeSpeech63(benchmark::State& state) {
  const std::vector<uint8_t> data = LoadFrames();
  const size_t frames = data.size() / kSpeechFrameBytes;
  if (frames == 0) {
    state.SkipWithError("no input");
    return;
  }
  CreateSpeechDecoder(kSlot);
  int16_t out[kSpeechFrameSamples];
  size_t next = 0;
  int64_t decoded = 0;
  for (auto _ : state) {
    DecodeSpeechFrame(kSlot, out, data.data() + next * kSpeechFrameBytes, 0);
    benchmark::DoNotOptimize(out);
    next = next + 1 == frames ? 0 : next + 1;
    ++decoded;
  }
  DestroySpeechDecoder(kSlot);
  state.SetItemsProcessed(decoded);
  // Seconds of audio per second of decoding.
  state.counters["x_realtime"] =
      benchmark::Counter(static_cast<double>(decoded) * kFrameSeconds, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DecodeSpeech63)->MinTime(2.0);

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 21;
constexpr int kRepeats = 20;  // passes over the file per timed run

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// Our decoder from a fresh slot: frames per second; pcm gets the first
// pass's samples when given.
double OurRun(const std::vector<uint8_t>& data, std::vector<int16_t>* pcm) {
  const size_t frames = data.size() / kSpeechFrameBytes;
  CreateSpeechDecoder(kSlot);
  int16_t out[kSpeechFrameSamples];
  const auto start = Clock::now();
  for (int r = 0; r < (pcm ? 1 : kRepeats); ++r) {
    for (size_t f = 0; f < frames; ++f) {
      DecodeSpeechFrame(kSlot, out, data.data() + f * kSpeechFrameBytes, 0);
      if (pcm) pcm->insert(pcm->end(), out, out + kSpeechFrameSamples);
    }
  }
  const double s = Seconds(start);
  DestroySpeechDecoder(kSlot);
  return double(frames) * (pcm ? 1 : kRepeats) / s;
}

// libavcodec's decoder, postfilter off, one packet per frame cut to the
// length its type gives: frames per second, 0 when it cannot be used.
double LibavcodecRun(const std::vector<uint8_t>& data, std::vector<int16_t>* pcm) {
  static constexpr int kLength[4] = {24, 20, 4, 1};
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_G723_1);
  if (!codec) return 0;
  AVCodecContext* c = avcodec_alloc_context3(codec);
  c->sample_rate = 8000;
  av_channel_layout_default(&c->ch_layout, 1);
  AVDictionary* options = nullptr;
  av_dict_set(&options, "postfilter", "0", 0);
  const bool open = avcodec_open2(c, codec, &options) == 0;
  av_dict_free(&options);
  if (!open) {
    avcodec_free_context(&c);
    return 0;
  }
  const size_t frames = data.size() / kSpeechFrameBytes;
  std::vector<AVPacket*> packets;
  for (size_t f = 0; f < frames; ++f) {
    const uint8_t* in = data.data() + f * kSpeechFrameBytes;
    AVPacket* p = av_packet_alloc();
    if (av_new_packet(p, kLength[in[0] & 3]) == 0) std::memcpy(p->data, in, size_t(p->size));
    packets.push_back(p);
  }
  AVFrame* frame = av_frame_alloc();
  size_t samples = 0;
  const auto start = Clock::now();
  for (int r = 0; r < (pcm ? 1 : kRepeats); ++r) {
    for (AVPacket* p : packets) {
      avcodec_send_packet(c, p);
      while (avcodec_receive_frame(c, frame) == 0) {
        samples += size_t(frame->nb_samples);
        const auto* s = reinterpret_cast<const int16_t*>(frame->data[0]);
        if (pcm) pcm->insert(pcm->end(), s, s + frame->nb_samples);
        av_frame_unref(frame);
      }
    }
  }
  const double s = Seconds(start);
  av_frame_free(&frame);
  for (AVPacket* p : packets) av_packet_free(&p);
  avcodec_free_context(&c);
  return samples ? double(frames) * (pcm ? 1 : kRepeats) / s : 0;
}

std::string Md5Of(const std::vector<int16_t>& pcm) {
  std::vector<uint8_t> bytes;
  for (int16_t v : pcm) {
    bytes.push_back(uint8_t(v & 0xFF));
    bytes.push_back(uint8_t((v >> 8) & 0xFF));
  }
  quenda_tools::Md5 md5;
  md5.Update(bytes.data(), bytes.size());
  return md5.HexDigest();
}

// False when libavcodec's decoder could not be used.
bool CompareWithLibavcodec() {
  av_log_set_level(AV_LOG_ERROR);
  const std::vector<uint8_t> data = LoadFrames();
  if (data.size() < kSpeechFrameBytes) return false;
  std::vector<int16_t> ours, theirs;
  OurRun(data, &ours);
  if (LibavcodecRun(data, &theirs) <= 0) return false;
  std::vector<double> ratios, our, their;
  for (int round = 0; round < kRounds; ++round) {
    double a, b;
    if (round % 2) {
      b = LibavcodecRun(data, nullptr);
      a = OurRun(data, nullptr);
    } else {
      a = OurRun(data, nullptr);
      b = LibavcodecRun(data, nullptr);
    }
    our.push_back(a);
    their.push_back(b);
    ratios.push_back(a / b);
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
  };
  const std::string ourMd5 = Md5Of(ours), theirMd5 = Md5Of(theirs);
  std::printf("speech_63 ours %.0f x realtime, libavcodec g723_1 %.0f x realtime, median ratio %.2f over %d rounds "
              "(range %.2f-%.2f); md5 %s (ours %s, libavcodec %s, %zu/%zu samples)\n",
              median(our) * kFrameSeconds, median(their) * kFrameSeconds, median(ratios), kRounds,
              *std::min_element(ratios.begin(), ratios.end()), *std::max_element(ratios.begin(), ratios.end()),
              ourMd5 == theirMd5 ? "agree" : "DIFFER", ourMd5.c_str(), theirMd5.c_str(), ours.size(), theirs.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (!CompareWithLibavcodec()) std::fprintf(stderr, "libavcodec's g723_1 decoder could not be used\n");
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

// velmora-recinfo BASE [--json] [--extract-frames OUT [--from-key]] [--live]
// Reads the recording BASE.sdi, BASE.kev and BASE.kea (BASE may use a drive
// letter, as the recorder's name does), prints what it holds and checks it.
// Exit 0 when valid, 1 on a violation, 2 on bad usage.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/files.h"
#include "tools/velmora-recinfo/recording.h"

namespace {

// On stdout with exit 0 when asked for (--help), else on stderr with 2.
int Usage(bool asked = false) {
  std::fprintf(asked ? stdout : stderr,
               "usage: velmora-recinfo BASE [--json] [--extract-frames OUT [--from-key]] [--live]\n");
  return asked ? 0 : 2;
}

std::string JsonText(const std::string& s) {
  std::string out = "\"";
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

const char* Standard(int32_t v) { return v != 0 ? "4/3" : "10/9"; }

const char* Codec(uint32_t size) { return size == 32 ? "G.723.1" : "IMA ADPCM"; }

void PrintSteps(const char* title, const char* each, uint64_t count, const std::vector<recinfo::Step>& list) {
  std::printf("%s: %llu\n", title, static_cast<unsigned long long>(count));
  for (const auto& s : list)
    std::printf("  %s %llu: %u -> %u\n", each, static_cast<unsigned long long>(s.index), s.from, s.to);
}

void PrintText(const std::string& base, const recinfo::Report& r) {
  std::printf("recording: %s%s\n", base.c_str(), r.empty ? " (empty)" : "");
  if (r.hasIndex && !r.empty) {
    std::printf("start: %s local\n", recinfo::FormatStartTime(r.startTime).c_str());
    std::printf("video standard: %s (%d)\n", Standard(r.videoStandard), r.videoStandard);
  }
  std::printf("video: %llu frames, %llu key, %llu bytes, %.3f s\n", static_cast<unsigned long long>(r.frames),
              static_cast<unsigned long long>(r.keyFrames), static_cast<unsigned long long>(r.videoBytes),
              static_cast<double>(r.durationTicks) / recinfo::kTicksPerSecond);
  PrintSteps("gaps", "gap at frame", r.gapCount, r.gaps);
  PrintSteps("camera restarts (new segments)", "restart at frame", r.restartCount, r.restarts);
  if (r.hasAudio) {
    std::printf("audio: %s, %u-byte records, %llu records, %llu missing frames\n", Codec(r.audioRecordSize),
                r.audioRecordSize, static_cast<unsigned long long>(r.audioRecords),
                static_cast<unsigned long long>(r.audioMissing));
    PrintSteps("audio gaps", "gap at record", r.audioGapCount, r.audioGaps);
    PrintSteps("audio camera restarts (new segments)", "restart at record", r.audioRestartCount, r.audioRestarts);
  } else {
    std::printf("audio: none\n");
  }
  for (const auto& v : r.violations)
    std::printf("violation: %s.%s offset %llu: %s\n", base.c_str(), v.file.c_str(),
                static_cast<unsigned long long>(v.offset), v.what.c_str());
  if (r.violationCount > r.violations.size())
    std::printf("violation: %llu more\n", static_cast<unsigned long long>(r.violationCount - r.violations.size()));
  std::printf("%s\n", r.Valid() ? "valid" : "INVALID");
}

void PrintJson(const std::string& base, const recinfo::Report& r) {
  std::printf("{\"recording\":%s,\"valid\":%s,\"empty\":%s", JsonText(base).c_str(), r.Valid() ? "true" : "false",
              r.empty ? "true" : "false");
  if (r.hasIndex && !r.empty) {
    std::printf(",\"start\":%s,\"startSeconds\":%u,\"videoStandard\":%s,\"videoStandardValue\":%d",
                JsonText(recinfo::FormatStartTime(r.startTime)).c_str(), r.startTime,
                JsonText(Standard(r.videoStandard)).c_str(), r.videoStandard);
  }
  std::printf(",\"frames\":%llu,\"keyFrames\":%llu,\"videoBytes\":%llu,\"durationSeconds\":%.3f",
              static_cast<unsigned long long>(r.frames), static_cast<unsigned long long>(r.keyFrames),
              static_cast<unsigned long long>(r.videoBytes),
              static_cast<double>(r.durationTicks) / recinfo::kTicksPerSecond);
  const auto steps = [](const char* name, const char* at, uint64_t count, const std::vector<recinfo::Step>& list) {
    std::printf(",\"%sCount\":%llu,\"%s\":[", name, static_cast<unsigned long long>(count), name);
    for (size_t i = 0; i < list.size(); ++i)
      std::printf("%s{\"%s\":%llu,\"from\":%u,\"to\":%u}", i ? "," : "", at,
                  static_cast<unsigned long long>(list[i].index), list[i].from, list[i].to);
    std::printf("]");
  };
  steps("gaps", "frame", r.gapCount, r.gaps);
  steps("restarts", "frame", r.restartCount, r.restarts);
  if (r.hasAudio) {
    std::printf(",\"audio\":{\"codec\":%s,\"recordSize\":%u,\"records\":%llu,\"missingFrames\":%llu,\"format\":%d",
                JsonText(Codec(r.audioRecordSize)).c_str(), r.audioRecordSize,
                static_cast<unsigned long long>(r.audioRecords), static_cast<unsigned long long>(r.audioMissing),
                r.audioFormat);
    steps("gaps", "record", r.audioGapCount, r.audioGaps);
    steps("restarts", "record", r.audioRestartCount, r.audioRestarts);
    std::printf("}");
  } else {
    std::printf(",\"audio\":null");
  }
  std::printf(",\"violationCount\":%llu,\"violations\":[", static_cast<unsigned long long>(r.violationCount));
  for (size_t i = 0; i < r.violations.size(); ++i)
    std::printf("%s{\"file\":%s,\"offset\":%llu,\"what\":%s}", i ? "," : "",
                JsonText(r.violations[i].file).c_str(), static_cast<unsigned long long>(r.violations[i].offset),
                JsonText(r.violations[i].what).c_str());
  std::printf("]}\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::string base, extract;
  bool json = false, fromKey = false, live = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--json") json = true;
    else if (a == "--live") live = true;
    else if (a == "--from-key") fromKey = true;
    else if (a == "--extract-frames" && i + 1 < argc) extract = argv[++i];
    else if (a == "--help" || a == "-h") return Usage(true);
    else if (a.rfind("--", 0) == 0 || !base.empty()) return Usage();
    else base = a;
  }
  if (base.empty() || (fromKey && extract.empty())) return Usage();

  std::string local, reason;
  if (!platform::LocalPath(base, &local, &reason)) {
    std::fprintf(stderr, "velmora-recinfo: %s: %s\n", base.c_str(), reason.c_str());
    return 1;
  }
  // The index first: every entry it holds then has its bytes in the video file.
  const auto sdi = recinfo::OpenFile(local + ".sdi");
  const auto kev = recinfo::OpenFile(local + ".kev");
  const auto kea = recinfo::OpenFile(local + ".kea");

  std::FILE* out = nullptr;
  if (!extract.empty()) {
    out = std::fopen(extract.c_str(), "wb");
    if (!out) {
      std::fprintf(stderr, "velmora-recinfo: cannot write %s: %s\n", extract.c_str(), std::strerror(errno));
      return 1;
    }
  }
  bool started = !fromKey, writeFailed = false;
  const recinfo::FrameSink sink = [&](uint64_t, uint32_t tag, const uint8_t* payload, uint32_t n) {
    if (!started && (tag >> 30) == 2) started = true;
    if (!started || writeFailed) return;
    const uint8_t length[4] = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n >> 16),
                               static_cast<uint8_t>(n >> 24)};
    writeFailed = std::fwrite(length, 1, 4, out) != 4 || std::fwrite(payload, 1, n, out) != n;
  };
  const recinfo::Report report = recinfo::Check(sdi.get(), kev.get(), kea.get(), live, out ? sink : recinfo::FrameSink{});
  if (out && (std::fclose(out) != 0 || writeFailed)) {
    std::fprintf(stderr, "velmora-recinfo: cannot write %s\n", extract.c_str());
    return 1;
  }
  if (json) PrintJson(base, report);
  else PrintText(base, report);
  return report.Valid() ? 0 : 1;
}

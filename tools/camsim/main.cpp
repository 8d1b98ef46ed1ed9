// camsim: a simulated camera server. Serves until SIGINT/SIGTERM (or "quit"
// on standard input); prints every inbound message on one line.
#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "shared/adpcm.h"
#include "tools/camsim/camsim.h"
#include "tools/camsim/commands.h"

namespace {

volatile std::sig_atomic_t gStop = 0;
void OnSignal(int) { gStop = 1; }

const char kUsage[] =
    "usage: camsim [--port P] [options]\n"
    "  --port P              even base port: audio P, video P+1 (default 700; 0 picks one)\n"
    "  --address A           listen address (default 127.0.0.1)\n"
    "  --login admin|user|refuse|short|other|none   login outcome (default admin)\n"
    "  --reason N            refusal reason for --login refuse (default 0x10)\n"
    "  --user-gpio, --user-sio   permissions of --login user\n"
    "  --short-payload N     payload bytes of --login short (default 8)\n"
    "  --level N             level byte of --login other\n"
    "  --account USER:PASSWORD:admin|user|user-gpio|user-sio|user-all   (repeatable;\n"
    "                        credentials then decide, unknown ones are refused)\n"
    "  --switch-reply audio|login|none   answer to a switch-user request\n"
    "  --reply-delay MS      delay of login replies\n"
    "  --video FILE|synthetic|none   .frames file (default: dq.frames of the references)\n"
    "  --fps N               video frame rate 1..30 (default 30)\n"
    "  --audio tone[:HZ]|pcm:FILE|g723:FILE|none   audio source (default tone:1000)\n"
    "  --camera-id N, --firmware MAJOR.MINOR, --no-audio-module, --video-standard N\n"
    "  --refuse video|audio|both, --blackhole video|audio|both\n"
    "  --slow-read BYTES_PER_S, --no-read, --split-bytes [GAP_MS], --rcvbuf BYTES\n"
    "  --quiet               do not print inbound messages\n"
    "  --talk-out FILE       talk frames received, decoded to 16-bit LE mono 8 kHz samples\n"
    "Standard input takes operator commands; 'help' lists them.\n";

bool ParseNumber(const char* s, long& v) {
  char* end = nullptr;
  v = std::strtol(s, &end, 0);
  return end && *end == '\0' && end != s;
}

bool ParseAnswer(const std::string& name, camsim::LoginAnswer& a) {
  using camsim::LoginOutcome;
  if (name == "admin") a.outcome = LoginOutcome::Administrator;
  else if (name.rfind("user", 0) == 0) {
    a.outcome = LoginOutcome::User;
    a.userMayGpio = name == "user-gpio" || name == "user-all";
    a.userMaySerial = name == "user-sio" || name == "user-all";
    if (name != "user" && !a.userMayGpio && !a.userMaySerial) return false;
  } else if (name == "refuse") a.outcome = LoginOutcome::Refused;
  else if (name == "short") a.outcome = LoginOutcome::ShortReply;
  else if (name == "other") a.outcome = LoginOutcome::OtherLevel;
  else if (name == "none") a.outcome = LoginOutcome::Unanswered;
  else return false;
  return true;
}

void SetPolicy(camsim::SimConfig& cfg, const std::string& which, camsim::ConnectPolicy p, bool& ok) {
  if (which == "video" || which == "both") cfg.videoPolicy = p;
  if (which == "audio" || which == "both") cfg.audioPolicy = p;
  ok = which == "video" || which == "audio" || which == "both";
}

// A talk frame carries its decoder state in its header: step index in byte
// 3, predictor big-endian in bytes 6-7; 240 samples follow in 120 bytes.
void WriteTalkSamples(std::FILE* out, const std::vector<uint8_t>& frame) {
  constexpr size_t kHeader = 12, kPayload = 120;
  if (frame.size() < kHeader + kPayload || frame[3] > 88) return;
  CADPCM codec;
  codec.stepIndex = static_cast<int8_t>(frame[3]);
  codec.predictor = static_cast<int16_t>(uint16_t(frame[6] << 8 | frame[7]));
  int16_t samples[2 * kPayload];
  codec.DecodeAdpcm(frame.data() + kHeader, samples, 2 * kPayload);
  uint8_t bytes[sizeof samples];
  for (size_t i = 0; i < 2 * kPayload; ++i) {
    bytes[2 * i] = static_cast<uint8_t>(uint16_t(samples[i]) & 0xFF);
    bytes[2 * i + 1] = static_cast<uint8_t>(uint16_t(samples[i]) >> 8);
  }
  std::fwrite(bytes, 1, sizeof bytes, out);
  std::fflush(out);
}

}  // namespace

int main(int argc, char** argv) {
  camsim::SimConfig cfg;
  cfg.port = 700;
  std::string video = std::string(CAMSIM_REFERENCE_DIR) + "/mpeg4/dq.frames";
  if (::access(video.c_str(), R_OK) != 0) video.clear();
  bool quiet = false;
  std::string talkOutPath;
  size_t readRate = 0;
  bool noRead = false, split = false;
  long splitGap = 2;

  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    auto number = [&](long& v) {
      const char* s = next();
      return s && ParseNumber(s, v);
    };
    long v = 0;
    bool ok = true;
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--port") {
      ok = number(v) && v >= 0 && v < 65535;
      cfg.port = static_cast<uint16_t>(v);
    } else if (a == "--address") {
      const char* s = next();
      ok = s != nullptr;
      if (ok) cfg.address = s;
    } else if (a == "--login") {
      const char* s = next();
      ok = s && ParseAnswer(s, cfg.login.answer);
    } else if (a == "--reason") {
      ok = number(v);
      cfg.login.answer.refusalReason = static_cast<uint8_t>(v);
    } else if (a == "--user-gpio") {
      cfg.login.answer.userMayGpio = true;
    } else if (a == "--user-sio") {
      cfg.login.answer.userMaySerial = true;
    } else if (a == "--short-payload") {
      ok = number(v) && v >= 0 && v < 20;
      cfg.login.answer.shortReplyPayload = static_cast<uint16_t>(v);
    } else if (a == "--level") {
      ok = number(v);
      cfg.login.answer.otherLevel = static_cast<uint8_t>(v);
    } else if (a == "--account") {
      const char* s = next();
      std::string option = s ? s : "";
      size_t c1 = option.find(':'), c2 = option.rfind(':');
      ok = c1 != std::string::npos && c2 != c1;
      if (ok) {
        camsim::Account acc{option.substr(0, c1), option.substr(c1 + 1, c2 - c1 - 1), {}};
        ok = ParseAnswer(option.substr(c2 + 1), acc.answer);
        cfg.login.accounts.push_back(acc);
      }
    } else if (a == "--switch-reply") {
      std::string s = next() ? argv[i] : "";
      if (s == "audio") cfg.login.switchReply = camsim::SwitchReply::AudioLoginReply;
      else if (s == "login") cfg.login.switchReply = camsim::SwitchReply::LoginReply;
      else if (s == "none") cfg.login.switchReply = camsim::SwitchReply::None;
      else ok = false;
    } else if (a == "--reply-delay") {
      ok = number(v) && v >= 0;
      cfg.login.replyDelay = camsim::Ms(v);
    } else if (a == "--video") {
      const char* s = next();
      ok = s != nullptr;
      if (ok) {
        video = s;
        if (video == "synthetic") video.clear();
        if (video == "none") {
          video.clear();
          cfg.video.enabled = false;
        }
      }
    } else if (a == "--fps") {
      ok = number(v) && v >= 1 && v <= 30;
      cfg.video.fps = static_cast<int>(v);
    } else if (a == "--audio") {
      const char* s = next();
      std::string option = s ? s : "";
      if (option.rfind("tone", 0) == 0) {
        cfg.audio.kind = camsim::AudioKind::Tone;
        if (option.size() > 5) ok = ParseNumber(option.c_str() + 5, v), cfg.audio.toneHz = static_cast<int>(v);
      } else if (option.rfind("pcm:", 0) == 0) {
        cfg.audio.kind = camsim::AudioKind::PcmFile;
        cfg.audio.path = option.substr(4);
      } else if (option.rfind("g723:", 0) == 0) {
        cfg.audio.kind = camsim::AudioKind::G7231;
        cfg.audio.path = option.substr(5);
      } else if (option == "none") {
        cfg.audio.kind = camsim::AudioKind::None;
      } else {
        ok = false;
      }
    } else if (a == "--camera-id") {
      ok = number(v);
      cfg.login.fields.cameraId = static_cast<uint16_t>(v);
    } else if (a == "--firmware") {
      const char* s = next();
      unsigned major = 0, minor = 0;
      ok = s && std::sscanf(s, "%u.%u", &major, &minor) == 2;
      cfg.login.fields.firmwareMajor = static_cast<uint8_t>(major);
      cfg.login.fields.firmwareMinor = static_cast<uint8_t>(minor);
    } else if (a == "--no-audio-module") {
      cfg.login.fields.hasAudio = false;
    } else if (a == "--video-standard") {
      ok = number(v);
      cfg.login.fields.videoStandard = static_cast<uint8_t>(v);
    } else if (a == "--refuse" || a == "--blackhole") {
      const char* s = next();
      SetPolicy(cfg, s ? s : "",
                a == "--refuse" ? camsim::ConnectPolicy::Refuse : camsim::ConnectPolicy::Blackhole, ok);
    } else if (a == "--slow-read") {
      ok = number(v) && v > 0;
      readRate = static_cast<size_t>(v);
    } else if (a == "--no-read") {
      noRead = true;
    } else if (a == "--split-bytes") {
      split = true;
      if (i + 1 < argc && ParseNumber(argv[i + 1], v)) splitGap = v, ++i;
    } else if (a == "--rcvbuf") {
      ok = number(v) && v > 0;
      cfg.receiveBufferBytes = static_cast<int>(v);
    } else if (a == "--quiet") {
      quiet = true;
    } else if (a == "--talk-out") {
      const char* path = next();
      ok = path != nullptr;
      if (ok) talkOutPath = path;
    } else {
      ok = false;
    }
    if (!ok) {
      std::fprintf(stderr, "camsim: bad option %s\n%s", a.c_str(), kUsage);
      return 2;
    }
  }
  cfg.video.framesPath = video;

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGPIPE, SIG_IGN);

  camsim::CameraSimulator sim(cfg);
  auto origin = camsim::Clock::now();
  std::FILE* talkOut = nullptr;
  if (!talkOutPath.empty()) {
    talkOut = std::fopen(talkOutPath.c_str(), "wb");
    if (!talkOut) {
      std::fprintf(stderr, "camsim: cannot write %s\n", talkOutPath.c_str());
      return 1;
    }
  }
  if (!quiet || talkOut)
    sim.SetObserver([origin, quiet, talkOut](const camsim::LogEntry& e) {
      if (talkOut && e.kind == camsim::InboundKind::TalkFrame) WriteTalkSamples(talkOut, e.bytes);
      if (quiet) return;
      std::printf("%s\n", camsim::Describe(e, origin).c_str());
      std::fflush(stdout);
    });
  if (!sim.Start()) {
    std::fprintf(stderr, "camsim: %s\n", sim.error().c_str());
    return 1;
  }
  if (readRate || noRead) sim.SetReading(readRate, noRead);
  if (split) sim.SetSplitWrites(true, camsim::Ms(splitGap));
  std::printf("camsim: audio on %s:%u, video on %s:%u\n", cfg.address.c_str(), sim.audioPort(),
              cfg.address.c_str(), sim.videoPort());
  std::fflush(stdout);

  bool stdinOpen = true;
  std::string pending;
  while (!gStop) {
    pollfd p{STDIN_FILENO, POLLIN, 0};
    int r = ::poll(&p, stdinOpen ? 1 : 0, 100);
    if (r <= 0 || !(p.revents & (POLLIN | POLLHUP))) continue;
    char buf[4096];
    ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n <= 0) {
      stdinOpen = false;
      continue;
    }
    pending.append(buf, static_cast<size_t>(n));
    bool quit = false;
    for (size_t eol; (eol = pending.find('\n')) != std::string::npos;) {
      std::string line = pending.substr(0, eol);
      pending.erase(0, eol + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line == "quit" || line == "exit") {
        quit = true;
        break;
      }
      std::string reply;
      bool ok = camsim::RunCommand(sim, line, reply);
      if (!reply.empty()) std::fprintf(ok ? stdout : stderr, "%s\n", reply.c_str());
      std::fflush(stdout);
    }
    if (quit) break;
  }
  sim.Stop();
  if (talkOut) std::fclose(talkOut);
  return 0;
}

#include "tools/camsim/commands.h"

#include <cstdio>
#include <sstream>
#include <vector>

namespace camsim {

namespace {

bool ParseInt(const std::string& s, long long& v) {
  if (s.empty()) return false;
  try {
    size_t used = 0;
    v = std::stoll(s, &used, 0);
    return used == s.size();
  } catch (...) {
    return false;
  }
}

// "video"/"audio" as an optional leading word; video when absent.
Target TakeTarget(std::vector<std::string>& args) {
  if (!args.empty() && (args[0] == "audio" || args[0] == "video")) {
    Target t = args[0] == "audio" ? AudioConns() : VideoConns();
    args.erase(args.begin());
    return t;
  }
  return VideoConns();
}

std::string Hex(const std::vector<uint8_t>& b, size_t max) {
  std::string s;
  char buf[4];
  for (size_t i = 0; i < b.size() && i < max; ++i) {
    std::snprintf(buf, sizeof buf, "%02X", b[i]);
    if (i) s += ' ';
    s += buf;
  }
  if (b.size() > max) s += " ...";
  return s;
}

}  // namespace

const char* CommandHelp() {
  return "commands; [c] is an optional audio|video (default video connections):\n"
         "  text STRING | sio PORT STRING | gpio [c] V | mask [c] BITS | value [c] N | encmode [c] N\n"
         "  motion FLAG BITS | overlong [c] [LEN] | unknown [c] TYPE [marker] | flood [c] [BYTES [MSGBYTES]]\n"
         "  stall [c] MS [catchup] | burst [c] N | jump [c] DELTA | fin [c] | rst [c]\n"
         "  policy audio|video accept|refuse|close|reset|blackhole\n"
         "  read BYTES_PER_S | pause | split on|off [GAP_MS] | status | help\n";
}

bool RunCommand(CameraSimulator& sim, std::string_view line, std::string& reply) {
  std::istringstream in{std::string(line)};
  std::string cmd;
  in >> cmd;
  std::vector<std::string> args;
  for (std::string a; in >> a;) args.push_back(a);
  auto rest = [&](size_t from) {
    std::string s;
    for (size_t i = from; i < args.size(); ++i) s += (i > from ? " " : "") + args[i];
    return s;
  };
  long long n = 0, m = 0;
  auto bad = [&] {
    reply = "unknown or malformed command: " + std::string(line);
    return false;
  };
  // Every command but the text-carrying ones and policy takes an optional
  // leading audio|video.
  Target t = VideoConns();
  if (cmd != "text" && cmd != "sio" && cmd != "policy") t = TakeTarget(args);
  auto reached = [&](int count) {
    reply = "sent to " + std::to_string(count) + " connection(s)";
    return true;
  };
  if (cmd.empty()) {
    reply.clear();
    return true;
  }
  if (cmd == "help") {
    reply = CommandHelp();
    return true;
  }
  if (cmd == "text") return reached(sim.SendCameraText(rest(0), t));
  if (cmd == "sio" && !args.empty() && ParseInt(args[0], n)) {
    std::string data = rest(1);
    return reached(sim.SendSerialData(static_cast<uint8_t>(n), {data.begin(), data.end()}, t));
  }
  if (cmd == "gpio" && args.size() == 1 && ParseInt(args[0], n))
    return reached(sim.SendDigitalInput(static_cast<uint8_t>(n), t));
  if (cmd == "mask" && args.size() == 1 && ParseInt(args[0], n))
    return reached(sim.SendMotionMask(static_cast<uint32_t>(n), t));
  if (cmd == "value" && args.size() == 1 && ParseInt(args[0], n))
    return reached(sim.SendValue(static_cast<int32_t>(n), t));
  if (cmd == "encmode" && args.size() == 1 && ParseInt(args[0], n))
    return reached(sim.SendEncoderMode(static_cast<uint8_t>(n), t));
  if (cmd == "motion" && args.size() == 2 && ParseInt(args[0], n) && ParseInt(args[1], m)) {
    sim.SetMotion(static_cast<uint8_t>(n), static_cast<uint32_t>(m));
    reply = "motion set";
    return true;
  }
  if (cmd == "overlong") {
    n = 60001;
    if (!args.empty() && !ParseInt(args[0], n)) return bad();
    return reached(sim.SendOverlongLength(static_cast<uint16_t>(n), 0, t));
  }
  if (cmd == "unknown" && !args.empty() && ParseInt(args[0], n))
    return reached(sim.SendUnknownType(static_cast<uint8_t>(n), args.size() > 1 && args[1] == "marker", t));
  if (cmd == "flood") {
    n = 600000;
    m = 64;
    if (!args.empty() && !ParseInt(args[0], n)) return bad();
    if (args.size() > 1 && !ParseInt(args[1], m)) return bad();
    return reached(sim.Flood(static_cast<size_t>(n), static_cast<size_t>(m), t));
  }
  if (cmd == "stall" || cmd == "burst" || cmd == "jump" || cmd == "fin" || cmd == "rst") {
    if (cmd == "fin" || cmd == "rst")
      return reached(sim.Close(cmd == "fin" ? CloseKind::Fin : CloseKind::Reset, t));
    if (args.empty() || !ParseInt(args[0], n)) return bad();
    if (cmd == "stall")
      return reached(sim.Stall(Ms(n), args.size() > 1 && args[1] == "catchup", t));
    if (cmd == "burst") return reached(sim.Burst(static_cast<int>(n), t));
    return reached(sim.JumpTimestamps(static_cast<int32_t>(n), t));
  }
  if (cmd == "policy" && args.size() == 2) {
    Channel ch = args[0] == "audio" ? Channel::Audio : Channel::Video;
    static const std::pair<const char*, ConnectPolicy> kPolicies[] = {
        {"accept", ConnectPolicy::Accept},       {"refuse", ConnectPolicy::Refuse},
        {"close", ConnectPolicy::AcceptAndClose}, {"reset", ConnectPolicy::AcceptAndReset},
        {"blackhole", ConnectPolicy::Blackhole}};
    for (auto& [name, p] : kPolicies)
      if (args[1] == name) {
        sim.SetConnectPolicy(ch, p);
        reply = "policy set";
        return true;
      }
    return bad();
  }
  if (cmd == "read" && args.size() == 1 && ParseInt(args[0], n)) {
    sim.SetReading(static_cast<size_t>(n));
    reply = "reading set";
    return true;
  }
  if (cmd == "pause") {
    sim.SetReading(0, true);
    reply = "reading paused";
    return true;
  }
  if (cmd == "split" && !args.empty()) {
    n = 2;
    if (args.size() > 1 && !ParseInt(args[1], n)) return bad();
    sim.SetSplitWrites(args[0] == "on", Ms(n));
    reply = "split writes " + args[0];
    return true;
  }
  if (cmd == "status") {
    std::ostringstream s;
    for (const ConnectionInfo& c : sim.Connections()) {
      if (!c.open) continue;
      s << "#" << c.id << (c.channel == Channel::Video ? " video" : " audio") << " level=0x"
        << std::hex << int(c.loginLevel) << std::dec << (c.streaming ? " streaming" : "")
        << " frames=" << c.framesSent << " skipped=" << c.framesSkipped << " sent=" << c.bytesSent
        << " received=" << c.bytesReceived << " ts=" << c.lastTimestamp
        << " talk=" << c.talkFrames << "\n";
    }
    reply = s.str().empty() ? "no connections" : s.str();
    return true;
  }
  return bad();
}

std::string Describe(const LogEntry& e, Clock::time_point origin) {
  char head[64];
  std::snprintf(head, sizeof head, "%9.3f #%d %s ",
                std::chrono::duration<double>(e.time - origin).count(), e.connection,
                e.channel == Channel::Video ? "video" : "audio");
  std::string s = head;
  s += KindName(e.kind);
  if (e.kind == InboundKind::ConnectionOpened) return s;
  if (e.kind == InboundKind::ConnectionClosed) return s + (e.closedByPeer ? " by viewer" : " by camera");
  s += e.ok() ? " ok" : " FAILED(" + e.problem + ")";
  switch (e.kind) {
    case InboundKind::LoginRequest:
    case InboundKind::SwitchUserRequest:
      s += " user=" + e.user + " password=" + e.password;
      break;
    case InboundKind::GpioOutput:
      s += " value=" + std::to_string(e.value);
      break;
    case InboundKind::SelectChannel:
      s += " channel=" + std::to_string(e.value) + " update=" + std::to_string(e.value2);
      break;
    case InboundKind::SioPut:
      s += " port=" + std::to_string(e.sioPort) + " data=" + Hex(e.sioData, 16);
      break;
    case InboundKind::TalkFrame:
      s += " seq=" + std::to_string(e.talkSequence);
      break;
    case InboundKind::EncoderParams:
      s += std::string(" flash=") + (e.encoder.flash ? "1" : "0") +
           " bitrate=" + std::to_string(e.encoder.maxBitRate) +
           " fps=" + std::to_string(e.encoder.maxFrameRate) +
           " mask=" + std::to_string(e.encoder.motionMask);
      break;
    case InboundKind::ReplySent: {
      char buf[40];
      std::snprintf(buf, sizeof buf, " %02X %02X level=0x%02X", e.bytes[0], e.bytes[1], e.value);
      s += buf;
      break;
    }
    case InboundKind::Unknown:
    case InboundKind::OverlongLength:
      s += " bytes=" + Hex(e.bytes, 16);
      break;
    default:
      break;
  }
  return s;
}

}  // namespace camsim

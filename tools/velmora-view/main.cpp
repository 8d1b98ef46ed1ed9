// velmora-view: a host of the registered viewer control.
//
//   velmora-view [--registry DIR] [--set NAME=VALUE]... [--connect] [--seconds N] [--screenshot FILE.ppm]
//
// It loads the control as a COM host does, embeds it in a window of its own
// (X11 when DISPLAY is set, headless otherwise), prints every message as
// "NUM TEXT", every other event as "event NAME" and a statistics line each
// second. On standard input it takes "set NAME VALUE", "get NAME",
// "call NAME [ARG...]" and "quit"; closing its window is "quit" too. Where
// a member takes an address, velmora-view lends its own memory: "call PutSIOData PORT TEXT",
// "call GetSIOData PORT", "call SetDecPointer".
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/draw.h"
#include "platform/message_queue.h"
#include "tools/common/line_reader.h"
#include "tools/velmora-view/view_host.h"

namespace {

volatile sig_atomic_t stopRequested = 0;
void OnSignal(int) { stopRequested = 1; }

std::mutex outMutex;
void Print(const std::string& line) {
  std::lock_guard<std::mutex> lock(outMutex);
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}
void Complain(const std::string& line) {
  std::lock_guard<std::mutex> lock(outMutex);
  std::fprintf(stderr, "velmora-view: %s\n", line.c_str());
}

// On stdout with exit 0 when asked for (--help), else on stderr with 2.
int Usage(bool asked = false) {
  std::fprintf(asked ? stdout : stderr,
               "usage: velmora-view [--registry DIR] [--set NAME=VALUE]... [--connect] [--seconds N] "
               "[--screenshot FILE.ppm]\n");
  return asked ? 0 : 2;
}

struct Options {
  std::vector<std::pair<std::string, std::string>> sets;
  bool connect = false;
  double seconds = -1;  // < 0: until "quit" or end of input and a signal
  std::string screenshot;
  bool help = false;
};

bool ParseArgs(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (a == "--registry") {
      const char* dir = value();
      if (!dir) return false;
      setenv("VELMORA_REGISTRY", dir, 1);
    } else if (a == "--set") {
      const char* nv = value();
      const char* eq = nv ? std::strchr(nv, '=') : nullptr;
      if (!eq || eq == nv) return false;
      o->sets.push_back({std::string(nv, eq), std::string(eq + 1)});
    } else if (a == "--connect") {
      o->connect = true;
    } else if (a == "--seconds") {
      const char* s = value();
      char* end = nullptr;
      o->seconds = s ? std::strtod(s, &end) : -1;
      if (!s || *end || o->seconds < 0) return false;
    } else if (a == "--screenshot") {
      const char* f = value();
      if (!f) return false;
      o->screenshot = f;
    } else if (a == "--help" || a == "-h") {
      o->help = true;
      return true;
    } else {
      return false;
    }
  }
  return true;
}

// One stdin command; false on "quit".
bool RunCommand(view::ViewHost& host, const std::string& line) {
  std::istringstream in(line);
  std::string verb, name;
  in >> verb >> name;
  std::string error, value;
  if (verb.empty()) return true;
  if (verb == "quit") return false;
  if (verb == "set" && !name.empty()) {
    std::getline(in >> std::ws, value);
    if (!host.Set(name, value, &error)) Complain(error);
  } else if (verb == "get" && !name.empty()) {
    if (host.Get(name, &value, &error)) {
      Print(name + " = " + value);
    } else {
      Complain(error);
    }
  } else if (verb == "call" && !name.empty()) {
    std::vector<std::string> args;
    for (std::string arg; in >> arg;) args.push_back(arg);
    if (host.Call(name, args, &value, &error)) {
      Print(name + (value.empty() ? "" : " -> " + value));
    } else {
      Complain(error);
    }
  } else {
    Complain("unknown command: " + line + " (set NAME VALUE, get NAME, call NAME [ARG...], quit)");
  }
  return true;
}

// Runs the whole lines stdin has now, a bounded amount per call so the pump
// keeps its pace. False once "quit" was read.
bool ReadCommands(view::ViewHost& host, cli::LineReader& input) {
  const cli::LineReader::Result turn = input.Turn();
  for (const std::string& line : turn.lines)
    if (!RunCommand(host, line)) return false;
  if (turn.overlong) Complain("input line too long; skipped");
  return true;
}

void PrintStatistics(view::ViewHost& host) {
  std::string line = "stats";
  for (const char* name : {"frmrate", "avbitrate", "audbitrate", "vidconnected", "audconnected"}) {
    std::string value, error;
    host.Get(name, &value, &error);
    line += std::string(" ") + name + "=" + value;
  }
  Print(line);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseArgs(argc, argv, &options)) return Usage();
  if (options.help) return Usage(true);
  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
  signal(SIGPIPE, SIG_IGN);

  int exitCode = 0;
  {
    view::ViewHost host(Print);
    view::HostError error;
    if (!host.Create(&error)) {
      Complain(error.text);
      return error.exitCode;
    }
    for (auto& [name, value] : options.sets) {
      std::string why;
      if (!host.Set(name, value, &why)) {
        Complain(why);
        return 2;
      }
    }
    if (options.connect) {
      std::string result, why;
      if (!host.Call("ConnectWebcam", {}, &result, &why)) Complain(why);
    }

    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    auto nextStats = start + std::chrono::seconds(1);
    cli::LineReader input(cli::ReadStandardInput);
    while (!stopRequested) {
      if (options.seconds >= 0 && Clock::now() - start >= std::chrono::duration<double>(options.seconds)) break;
      VelmoraPumpMessages(20);
      if (host.CloseRequested()) break;
      if (host.WindowGone()) {
        Complain("the window was destroyed from outside; ending");
        exitCode = 1;
        break;
      }
      if (!ReadCommands(host, input)) break;
      if (Clock::now() >= nextStats) {
        nextStats += std::chrono::seconds(1);
        PrintStatistics(host);
      }
      if (input.AtEnd() && options.seconds < 0) break;  // nothing more can ask for anything
    }
    if (!options.screenshot.empty()) {
      std::string why;
      if (!host.HasX11Window()) {
        Complain("--screenshot needs an X11 window (DISPLAY)");
        exitCode = 1;
      } else if (!platform::SaveWindowImage(host.WindowId(), options.screenshot.c_str(), &why)) {
        Complain("screenshot: " + why);
        exitCode = 1;
      }
    }
  }  // the control is released here: OnDestroy
  return exitCode;
}

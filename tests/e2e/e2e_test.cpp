// The real control end to end. The test starts everything itself: an X
// server, a registry filled by velmora-regsvr, camsim streaming ts_q5 with a
// 1000 Hz tone, ALSA routed to a file, and velmora-view, whose control starts
// ostrane (a 440 Hz test source) for its talk audio. Its watchdog ticks every
// 100 ms: its 30-tick window must outlast the link's first second without
// heartbeats. Driven through
// velmora-view's stdin it connects, talks, records and quits with a
// screenshot; then every product of the run is checked.
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/draw.h"
#include "platform/file_lock.h"
#include "shared/shared_area.h"
#include "tests/support/child_process.h"
#include "tests/support/runtime_files.h"
#include "tests/support/tone.h"
#include "tools/quenda-decode/frames.h"
#include "tests/support/own_display.h"

// Last: Xlib's macros clash with names above.
#include <X11/Xlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using testing_support::ChildProcess;

const std::string kBin = VELMORA_BIN_DIR;
const std::string kLib = VELMORA_LIB_DIR;
const std::string kReference = VELMORA_REFERENCE_DIR;

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int Shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A child's output lines, gathered as they come so it never blocks.
class Lines {
 public:
  explicit Lines(ChildProcess& child) : child_(child) {}
  // Reads until match says yes or the time is up.
  bool WaitFor(const std::function<bool(const std::string&)>& match, int timeoutMs = 20000) {
    for (size_t i = seen_; i < all.size(); ++i)
      if (match(all[i])) {
        seen_ = i + 1;
        return true;
      }
    seen_ = all.size();
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
      std::string line;
      if (!child_.ReadLine(&line, 20)) continue;
      all.push_back(line);
      seen_ = all.size();
      if (match(line)) return true;
    }
    return false;
  }
  void Pump(int ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    std::string line;
    while (Clock::now() < until)
      if (child_.ReadLine(&line, 10)) all.push_back(line);
  }
  bool Has(const std::string& prefix) const {
    for (const auto& l : all)
      if (l.rfind(prefix, 0) == 0) return true;
    return false;
  }
  std::vector<std::string> all;

 private:
  ChildProcess& child_;
  size_t seen_ = 0;
};

bool Starts(const std::string& line, const std::string& prefix) { return line.rfind(prefix, 0) == 0; }


// What the control's window looks like to a user's Alt+Shift right click.
void AltShiftRightClick(Display* d, Window target) {
  XEvent e{};
  e.xbutton.type = ButtonPress;
  e.xbutton.display = d;
  e.xbutton.window = target;
  e.xbutton.button = Button3;
  e.xbutton.state = ShiftMask | Mod1Mask;
  e.xbutton.x = 50;
  e.xbutton.y = 50;
  e.xbutton.same_screen = True;
  XSendEvent(d, target, False, ButtonPressMask, &e);
  XFlush(d);
}

// 0x00RRGGBB of every pixel of every picture of a YUV 4:2:0 file, converted
// as the decoder's colour stage does.
std::vector<std::vector<uint32_t>> PicturesOf(const std::string& yuvPath) {
  constexpr int W = 320, H = 240, kSize = W * H * 3 / 2;
  const std::string yuv = ReadText(yuvPath);
  std::vector<std::vector<uint32_t>> pictures;
  auto h = [](int x, int c) { return (x * c) >> 13; };
  auto clamp = [](int v) { return v < 0 ? 0 : v > 255 ? 255 : v; };
  for (size_t at = 0; at + kSize <= yuv.size(); at += kSize) {
    const auto* p = reinterpret_cast<const uint8_t*>(yuv.data() + at);
    std::vector<uint32_t> rgb(size_t(W) * H);
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        const int Y = p[y * W + x];
        const int U = p[W * H + (y / 2) * (W / 2) + x / 2] - 128;
        const int V = p[W * H + W * H / 4 + (y / 2) * (W / 2) + x / 2] - 128;
        const int l = h(Y > 16 ? Y - 16 : 0, 9576);
        rgb[size_t(y * W + x)] = uint32_t(clamp(l + h(V, 13123)) << 16 |
                                          clamp(l + (h(U, -3218) + h(V, -6686))) << 8 | clamp(l + h(U, 16591)));
      }
    pictures.push_back(std::move(rgb));
  }
  return pictures;
}

// The top-left 320 x 240 of a binary PPM as 0x00RRGGBB; empty when unreadable.
std::vector<uint32_t> VideoAreaOf(const std::string& ppmPath) {
  const std::string ppm = ReadText(ppmPath);
  std::istringstream header(ppm);
  std::string magic;
  int w = 0, h = 0, max = 0;
  header >> magic >> w >> h >> max;
  if (magic != "P6" || w < 320 || h < 240 || max != 255) return {};
  const size_t start = size_t(header.tellg()) + 1;
  if (ppm.size() < start + size_t(w) * h * 3) return {};
  std::vector<uint32_t> out;
  for (int y = 0; y < 240; ++y)
    for (int x = 0; x < 320; ++x) {
      const size_t at = start + (size_t(y) * w + x) * 3;
      out.push_back(uint32_t(uint8_t(ppm[at])) << 16 | uint32_t(uint8_t(ppm[at + 1])) << 8 | uint8_t(ppm[at + 2]));
    }
  return out;
}

double ProcessCpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 2));
  std::string f;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> f; ++i) {
    if (i == 14) utime = std::stoull(f);
    if (i == 15) stime = std::stoull(f);
  }
  return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ns_ = "e2e" + std::to_string(getpid()) + ".";
    setenv("VELMORA_NS", ns_.c_str(), 1);
    dir_ = fs::temp_directory_path() / ("velmora-e2e-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "registry");
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(dir_);
    testing_support::RemoveRuntimeFiles(ns_);
  }
  // The registry, as an installer fills it; its folder.
  std::string RegisterControl() {
    const std::string registry = (dir_ / "registry").string();
    EXPECT_EQ(Shell("VELMORA_REGISTRY='" + registry + "' " + kBin + "/velmora-regsvr " + kLib +
                    "/libvelmora.so >/dev/null"),
              0);
    return registry;
  }
  std::string ns_;
  fs::path dir_;
};

TEST_F(EndToEnd, TheRegisteredControlShowsPlaysTalksAndRecords) {
  testing_support::OwnDisplay display;
  std::string why;
  if (!display.Start(&why)) GTEST_SKIP() << why;

  const std::string registry = RegisterControl();
  ASSERT_FALSE(HasFailure());

  // The camera.
  const fs::path talkOut = dir_ / "talk.raw";
  ChildProcess camsim({kBin + "/camsim", "--port", "0", "--video", kReference + "/mpeg4/ts_q5.frames", "--audio",
                       "tone:1000", "--talk-out", talkOut.string()});
  Lines cam(camsim);
  std::string port;
  ASSERT_TRUE(cam.WaitFor([&](const std::string& l) {
    const auto at = l.find("audio on 127.0.0.1:");
    if (at == std::string::npos) return false;
    port = l.substr(at + 19, l.find(',', at) - at - 19);
    return true;
  }));

  // ALSA's default device writes what is played to a file.
  const fs::path played = dir_ / "played.raw";
  const fs::path conf = dir_ / "asound.conf";
  std::ofstream(conf) << "pcm.!default {\n  type file\n  slave.pcm { type null }\n  file \"" << played.string()
                      << "\"\n  format \"raw\"\n}\n";
  const fs::path console = dir_ / "console.txt";
  const fs::path screenshot = dir_ / "shot.ppm";
  const auto started = Clock::now();
  ChildProcess view({kBin + "/velmora-view", "--registry", registry, "--set", "ipaddr=127.0.0.1", "--set",
                     "port=" + port, "--screenshot", screenshot.string()},
                    {"ALSA_CONFIG_PATH=" + conf.string(), "VELMORA_AUDIO=", "VELMORA_VIDEO=",
                     "VELMORA_DRIVES=" + (dir_ / "drives").string(), "VELMORA_CONSOLE=" + console.string(),
                     "VELMORA_OSTRANE=" + kBin + "/ostrane", "OSTRANE_CAPTURE=test:sine:440", "OSTRANE_TICK_MS=100",
                     "VELMORA_MESSAGE_BOX=stderr"},
                    true, true);
  Lines out(view);
  auto send = [&](const std::string& line) {
    const std::string l = line + "\n";
    return write(view.stdinFd(), l.data(), l.size()) == ssize_t(l.size());
  };

  // The operator's console, opened with a click on the control's window.
  Display* d = XOpenDisplay(nullptr);
  ASSERT_NE(d, nullptr);
  Window form = 0;
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (!(form = testing_support::FindWindowNamed(d, DefaultRootWindow(d), "VelmoraX")) && Clock::now() < deadline)
    out.Pump(50);
  ASSERT_NE(form, 0u) << "the control's window never appeared";
  AltShiftRightClick(d, form);
  out.Pump(300);

  ASSERT_TRUE(send("set biauden 1"));
  ASSERT_TRUE(send("call ConnectWebcam"));
  ASSERT_TRUE(out.WaitFor([](const std::string& l) { return Starts(l, "32 "); }));
  const double toLogin = std::chrono::duration<double>(Clock::now() - started).count();
  ASSERT_TRUE(out.WaitFor([](const std::string& l) {
    return Starts(l, "stats frmrate=") && !Starts(l, "stats frmrate=0 ");
  }));
  const double toPictures = std::chrono::duration<double>(Clock::now() - started).count();
  const double cpuAtStart = ProcessCpuSeconds(view.pid());
  const auto streamingSince = Clock::now();

  out.Pump(2000);
  ASSERT_TRUE(send("call StartRecording"));
  // Six seconds from the first recorded picture, however late the call is taken.
  const fs::path kev = dir_ / "drives" / "c" / "live0.kev";
  auto recording = [&] {
    std::error_code error;
    const auto bytes = fs::file_size(kev, error);
    return !error && bytes > 8;  // past the signature
  };
  const auto recordBy = Clock::now() + std::chrono::seconds(20);
  while (!recording() && Clock::now() < recordBy) out.Pump(20);
  ASSERT_TRUE(recording()) << "nothing was recorded";
  // The window shows one of the stream's pictures, pixel for pixel. A view
  // that falls behind skips predicted pictures (those after them differ until
  // the next key picture), and a picture reaches the server in more than one
  // request, so one look may fall between two: look again until one is exact.
  const std::string yuv = (dir_ / "ts_q5.yuv").string();
  ASSERT_EQ(Shell(kBin + "/quenda-decode -o " + yuv + " " + kReference + "/mpeg4/ts_q5.frames >/dev/null"), 0);
  const auto streamPictures = PicturesOf(yuv);
  const std::string look = (dir_ / "look.ppm").string();
  bool matched = false;
  const auto recordedUntil = Clock::now() + std::chrono::seconds(6);
  const auto lookUntil = Clock::now() + std::chrono::seconds(60);
  while (Clock::now() < recordedUntil || (!matched && Clock::now() < lookUntil)) {
    out.Pump(100);
    if (matched || !platform::SaveWindowImage(form, look.c_str(), nullptr)) continue;
    const auto shown = VideoAreaOf(look);
    for (const auto& picture : streamPictures) matched = matched || picture == shown;
  }
  EXPECT_TRUE(matched) << "the window shows no picture of the stream";
  ASSERT_TRUE(send("call StopRecording"));
  out.Pump(2000);
  const double cpuPerSecond = (ProcessCpuSeconds(view.pid()) - cpuAtStart) /
                              std::chrono::duration<double>(Clock::now() - streamingSince).count();
  ASSERT_TRUE(send("quit"));
  EXPECT_EQ(view.WaitExitCode(20000), 0);
  out.Pump(100);
  XCloseDisplay(d);
  std::printf("velmora-view: 32 after %.2f s, pictures counted after %.2f s, %.1f ms CPU per second\n", toLogin,
              toPictures, cpuPerSecond * 1000);

  // Messages: connected, logged in, audio up; no error of any kind.
  EXPECT_TRUE(out.Has("16 ")) << "video connected";
  EXPECT_TRUE(out.Has("19 ")) << "audio connected";
  for (const char* bad : {"18 ", "21 ", "22 ", "23 "}) EXPECT_FALSE(out.Has(bad)) << bad;

  EXPECT_EQ(VideoAreaOf(screenshot.string()).size(), 320u * 240u) << "no screenshot";

  // The sound card played the camera's tone.
  const auto sound = testing_support::ReadSamples(played.string());
  ASSERT_GE(sound.size(), 8000u * 5) << "less than five seconds were played";
  EXPECT_GT(testing_support::ToneShare(sound.data() + 8000, sound.size() - 8000, 1000), 0.6);

  // The camera heard the microphone's 440 Hz, every talk frame in sequence.
  cam.Pump(200);
  int talkFrames = 0;
  for (const auto& l : cam.all) {
    if (l.find("TalkFrame") == std::string::npos) continue;
    ++talkFrames;
    EXPECT_NE(l.find("TalkFrame ok"), std::string::npos) << l;
  }
  EXPECT_GE(talkFrames, 100) << [&] {
    std::string all;
    for (const auto& l : out.all) all += l + "\n";
    return all;
  }();
  const auto talk = testing_support::ReadSamples(talkOut.string());
  ASSERT_GE(talk.size(), 100u * 240);
  EXPECT_GT(testing_support::ToneShare(talk.data(), talk.size(), 440), 0.8);

  // The recording is valid, and its pictures decode to the stream's.
  const std::string env = "VELMORA_DRIVES='" + (dir_ / "drives").string() + "' ";
  const std::string recinfo = env + kBin + "/velmora-recinfo 'c:\\live0'";
  ASSERT_EQ(Shell(recinfo + " >" + (dir_ / "recinfo.txt").string() + " 2>&1"), 0) << ReadText(dir_ / "recinfo.txt");
  const std::string extracted = (dir_ / "rec.frames").string();
  ASSERT_EQ(Shell(recinfo + " --from-key --extract-frames " + extracted + " >/dev/null 2>&1"), 0);
  ASSERT_EQ(Shell(kBin + "/quenda-decode " + extracted + " >" + (dir_ / "decoded.txt").string() + " 2>&1"), 0);
  const auto reference = quenda_tools::ReadFrameMd5s(kReference + "/mpeg4/ts_q5.framemd5");
  const std::set<std::string> known(reference.begin(), reference.end());
  std::istringstream decoded(ReadText(dir_ / "decoded.txt"));
  size_t pictures = 0;
  for (std::string line; std::getline(decoded, line);) {
    if (line.empty() || line[0] == '#') continue;
    ++pictures;
    EXPECT_EQ(known.count(line.substr(line.find_last_of(", ") + 1)), 1u) << line;
  }
  // Five of the six seconds at 30 pictures a second at least; the extraction
  // leaves out only what precedes the first key picture (one in 30).
  const std::string info = ReadText(dir_ / "recinfo.txt");
  const size_t videoLine = info.find("\nvideo: ");
  ASSERT_NE(videoLine, std::string::npos) << info;
  const size_t recorded = std::stoul(info.substr(videoLine + 8));
  EXPECT_GE(recorded, 150u) << info;
  EXPECT_GT(pictures + 30, recorded) << info;

  // The console took the connection's messages after the click.
  const std::string lines = ReadText(console);
  EXPECT_NE(lines.find("-login as admin"), std::string::npos) << lines;

  // With no viewer beating, the capture server ends on its own and the
  // machine's talk area goes with it. Its instance lock goes only when the
  // process has exited, a moment after the area.
  const std::string shm = "/dev/shm" + SharedAreaAttachment::ShmName();
  const fs::path lock = fs::path(platform::RuntimeDirectory()) / (ns_ + "MyProgram.lock");
  auto serverRuns = [&] {
    const int fd = open(lock.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0;
    close(fd);
    return held;
  };
  const auto until = Clock::now() + std::chrono::seconds(30);
  while ((fs::exists(shm) || serverRuns()) && Clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(fs::exists(shm)) << "the talk area outlived its users";
  EXPECT_FALSE(serverRuns()) << "ostrane still runs";
}

// Closed from the desktop, the program ends as "quit" does, its last line
// closed (if any); with its window, named title, destroyed from outside, or
// its connection killed, it says so and ends.
const std::vector<std::string> kWindowEnv = {"VELMORA_AUDIO=null", "VELMORA_VIDEO=", "VELMORA_OSTRANE=",
                                             "VELMORA_MESSAGE_BOX=stderr"};

void EndsWithItsWindow(const std::vector<std::string>& argv, const std::string& title, const std::string& closed) {
  testing_support::OwnDisplay display;
  std::string why;
  if (!display.Start(&why)) GTEST_SKIP() << why;
  const std::string name = fs::path(argv[0]).filename().string();
  Display* d = XOpenDisplay(nullptr);
  ASSERT_NE(d, nullptr);
  Atom deleteWindow = XInternAtom(d, "WM_DELETE_WINDOW", False);
  for (const int how : {0, 1, 2}) {  // close, destroy, kill
    ChildProcess view(argv, kWindowEnv, true, true);
    Lines out(view);
    Window w = 0;
    for (auto until = Clock::now() + std::chrono::seconds(20); !w && Clock::now() < until; out.Pump(50))
      w = testing_support::FindWindowNamed(d, DefaultRootWindow(d), title);
    ASSERT_NE(w, 0u);
    XClassHint hint{};
    ASSERT_TRUE(XGetClassHint(d, w, &hint));
    EXPECT_EQ(std::string(hint.res_name) + "/" + hint.res_class, name + "/Velmora");
    Atom type, *protocols = nullptr;
    int format, n = 0;
    unsigned long items, after;
    unsigned char* pid = nullptr;
    XGetWindowProperty(d, w, XInternAtom(d, "_NET_WM_PID", False), 0, 1, False, XA_CARDINAL, &type, &format, &items,
                       &after, &pid);
    EXPECT_TRUE(pid && *reinterpret_cast<long*>(pid) == view.pid());
    ASSERT_TRUE(XGetWMProtocols(d, w, &protocols, &n) && n == 1 && protocols[0] == deleteWindow);
    if (how == 0) {
      XEvent e{};
      e.xclient = {ClientMessage, 0, False, d, w, XInternAtom(d, "WM_PROTOCOLS", False), 32, {}};
      e.xclient.data.l[0] = long(deleteWindow);
      XSendEvent(d, w, False, NoEventMask, &e);
    }
    if (how == 1) XDestroyWindow(d, w);
    if (how == 2) XKillClient(d, w);
    XFlush(d);
    const std::string last = how == 0 ? closed : name + ": the window was destroyed from outside; ending";
    EXPECT_TRUE(last.empty() || out.WaitFor([&](const std::string& l) { return l == last; }));
    EXPECT_EQ(view.WaitExitCode(20000), how == 0 ? 0 : 1);
    for (void* p : {(void*)hint.res_name, (void*)hint.res_class, (void*)pid, (void*)protocols}) XFree(p);
  }
  XCloseDisplay(d);
}

TEST_F(EndToEnd, TheViewsWindowClosesLikeADesktopWindow) {
  EndsWithItsWindow({kBin + "/velmora-view", "--registry", RegisterControl()}, "velmora-view", "event OnDestroy");
}

// Stdin stays open and no --seconds is given: the window alone ends it.
TEST_F(EndToEnd, TheEnginesWindowClosesLikeADesktopWindow) {
  EndsWithItsWindow({kBin + "/velmora-engine", "127.0.0.1", "1", "tansy", "tansy", "--media"}, "Velmora", "");
}

// Activated as a window manager does it, with the pointer off the window and
// then over it, the view gives the control the keyboard: OnActivate, the
// typed key and OnDeactivate when the focus moves on, and nothing else.
TEST_F(EndToEnd, TheKeyboardFollowsTheViewsWindowNotThePointer) {
  testing_support::OwnDisplay display;
  std::string why;
  if (!display.Start(&why)) GTEST_SKIP() << why;
  const std::string registry = RegisterControl();
  Display* d = XOpenDisplay(nullptr);
  ASSERT_NE(d, nullptr);
  const Window root = DefaultRootWindow(d);
  const auto line = [](const char* want) { return [want](const std::string& l) { return l == want; }; };
  for (const int x : {600, 100}) {
    XWarpPointer(d, None, root, 0, 0, 0, 0, x, 100);
    XSync(d, False);
    ChildProcess view({kBin + "/velmora-view", "--registry", registry}, kWindowEnv, true, true);
    Lines out(view);
    ASSERT_TRUE(out.WaitFor(line("event OnPaint")));  // the control is on screen
    XSetInputFocus(d, testing_support::FindWindowNamed(d, root, "velmora-view"), RevertToPointerRoot, CurrentTime);
    XFlush(d);
    EXPECT_TRUE(out.WaitFor(line("event OnActivate")));
    XEvent key{};
    key.xkey = {KeyPress, 0, False, d, root, root, None, CurrentTime, 1, 1, x, 100, 0, XKeysymToKeycode(d, 'a'), True};
    XSendEvent(d, InputFocus, False, KeyPressMask, &key);  // where typing goes
    XFlush(d);
    EXPECT_TRUE(out.WaitFor(line("event OnKeyPress")));
    XSetInputFocus(d, root, RevertToPointerRoot, CurrentTime);
    XFlush(d);
    EXPECT_TRUE(out.WaitFor(line("event OnDeactivate")));
    view.CloseStdin();
    EXPECT_EQ(view.WaitExitCode(20000), 0);
    std::erase_if(out.all, [](const std::string& l) { return !l.ends_with("ctivate") && !l.ends_with("KeyPress"); });
    EXPECT_EQ(out.all, (std::vector<std::string>{"event OnActivate", "event OnKeyPress", "event OnDeactivate"}));
  }
  XCloseDisplay(d);
}

}  // namespace

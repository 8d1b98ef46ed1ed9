// An X display for a test: DISPLAY when it is set and opens, else an Xvfb of
// the test's own on a free display number, stopped at the end; and finding a
// window on it by name.
#pragma once

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <X11/Xlib.h>

namespace testing_support {

class OwnDisplay {
 public:
  // True when a display is usable afterwards; else why not.
  bool Start(std::string* why) {
    if (const char* d = std::getenv("DISPLAY"); d && *d) {
      if (Usable()) return true;
      *why = std::string("DISPLAY=") + d + " cannot be opened";
      return false;
    }
    std::string xvfb;
    for (const char* c : {"/usr/bin/Xvfb", "/usr/local/bin/Xvfb"})
      if (access(c, X_OK) == 0) xvfb = c;
    if (xvfb.empty()) {
      *why = "no DISPLAY and no Xvfb installed (scripts/deps.sh installs xvfb)";
      return false;
    }
    for (int n = 90 + int(getpid() % 800); n < 900; ++n) {
      if (std::filesystem::exists("/tmp/.X" + std::to_string(n) + "-lock") ||
          std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(n)))
        continue;
      const std::string display = ":" + std::to_string(n);
      pid_ = fork();
      if (pid_ == 0) {
        execl(xvfb.c_str(), "Xvfb", display.c_str(), "-screen", "0", "640x480x24", "-nolisten", "tcp", "-noreset",
              static_cast<char*>(nullptr));
        _exit(127);
      }
      setenv("DISPLAY", display.c_str(), 1);
      // Another test may start a server on the same number at the same
      // moment: only one of the two gets it, and the loser must not take the
      // winner's server for its own, which goes when the winner stops it.
      for (int i = 0; i < 200; ++i) {
        if (Usable(pid_)) return true;
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {  // lost the race for this number
          pid_ = -1;
          break;
        }
        usleep(50000);
      }
      Stop();
      unsetenv("DISPLAY");
    }
    *why = "Xvfb did not start";
    return false;
  }
  void Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGCONT);
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
      unsetenv("DISPLAY");
    }
  }
  ~OwnDisplay() { Stop(); }

  // The server dies under its clients; DISPLAY keeps naming it.
  void Kill() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }
  bool Own() const { return pid_ > 0; }
  // The server stops answering, and answers again.
  void Pause() { kill(pid_, SIGSTOP); }
  void Resume() { kill(pid_, SIGCONT); }

 private:
  // DISPLAY opens, and when `server` is given, on that process's server.
  static bool Usable(pid_t server = 0) {
    Display* d = XOpenDisplay(nullptr);
    if (!d) return false;
    ucred peer{};
    socklen_t size = sizeof peer;
    const bool answers = server == 0 || (getsockopt(ConnectionNumber(d), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 &&
                                         peer.pid == server);
    XCloseDisplay(d);
    return answers;
  }
  pid_t pid_ = -1;
};

// The first window named `name` at or below `w`, depth first; 0 if none.
inline Window FindWindowNamed(Display* d, Window w, const std::string& name) {
  char* n = nullptr;
  if (XFetchName(d, w, &n) && n) {
    const bool match = name == n;
    XFree(n);
    if (match) return w;
  }
  Window root, parent, *children = nullptr;
  unsigned count = 0;
  Window found = 0;
  if (XQueryTree(d, w, &root, &parent, &children, &count)) {
    for (unsigned i = 0; i < count && !found; ++i) found = FindWindowNamed(d, children[i], name);
    if (children) XFree(children);
  }
  return found;
}

}  // namespace testing_support

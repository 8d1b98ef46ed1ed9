// An X display for a test: DISPLAY when it is set and opens, else an Xvfb of
// the test's own on a display number it picks itself, stopped at the end;
// and finding a window on it by name.
#pragma once

#include <poll.h>
#include <signal.h>
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
    // The server picks a free display number itself and reports it once it
    // listens: numbers tried by hand race with other tests' servers, and a
    // loser would talk to the winner's server until that one is stopped.
    int report[2];
    if (pipe(report) != 0) {
      *why = "no pipe for Xvfb's display number";
      return false;
    }
    const std::string fd = std::to_string(report[1]);
    pid_ = fork();
    if (pid_ == 0) {
      close(report[0]);
      execl(xvfb.c_str(), "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "640x480x24", "-nolisten", "tcp",
            "-noreset", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(report[1]);
    std::string number;
    pollfd ready{report[0], POLLIN, 0};
    for (char c; number.find('\n') == std::string::npos && poll(&ready, 1, 30000) == 1 && read(report[0], &c, 1) == 1;)
      number += c;
    close(report[0]);
    if (pid_ > 0 && number.find('\n') != std::string::npos) {
      setenv("DISPLAY", (":" + number.substr(0, number.find('\n'))).c_str(), 1);
      if (Usable()) return true;
    }
    Stop();
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
  static bool Usable() {
    Display* d = XOpenDisplay(nullptr);
    if (!d) return false;
    XCloseDisplay(d);
    return true;
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

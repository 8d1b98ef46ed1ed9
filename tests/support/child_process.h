// Test helper: a child program with pipes on stdin and stdout, read line by
// line with a timeout, killed and reaped on demand or at destruction.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

extern char** environ;

namespace testing_support {

class ChildProcess {
 public:
  // Starts argv[0] (a path) with the current environment plus extraEnv
  // ("NAME=value"; later entries win). stderr is inherited unless
  // mergeStderr sends it into the stdout pipe too.
  explicit ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {},
                        bool pipeStdin = true, bool mergeStderr = false) {
    int out[2] = {-1, -1}, in[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0) return;
    if (pipeStdin && pipe2(in, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    if (mergeStderr) posix_spawn_file_actions_adddup2(&fa, out[1], 2);
    if (pipeStdin) {
      posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    } else {
      posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    }
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    for (const auto& extra : extraEnv) {
      const std::string name = extra.substr(0, extra.find('=') + 1);
      std::erase_if(env, [&](const std::string& s) { return s.compare(0, name.size(), name) == 0; });
      env.push_back(extra);
    }
    std::vector<char*> args, envp;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    out_ = out[0];
    if (pipeStdin) {
      close(in[0]);
      in_ = in[1];
    }
  }
  ~ChildProcess() {
    Kill(SIGKILL);
    Wait(10000);
    CloseStdin();
    if (out_ >= 0) close(out_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  // Still running (not yet reaped and not exited).
  bool Running() { return Wait(0) == -1 && !reaped_; }
  pid_t pid() const { return pid_; }

  // The next line of stdout without its newline; false on timeout or EOF.
  bool ReadLine(std::string* line, int timeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const auto nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        *line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return true;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0 || out_ < 0) return false;
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, int(left)) <= 0) continue;
      char chunk[4096];
      const ssize_t n = read(out_, chunk, sizeof chunk);
      if (n <= 0) return false;
      buffer_.append(chunk, size_t(n));
    }
  }

  int stdinFd() const { return in_; }
  void CloseStdin() {
    if (in_ >= 0) close(in_);
    in_ = -1;
  }
  void Kill(int sig) {
    if (pid_ > 0 && !reaped_) kill(pid_, sig);
  }
  // The exit status as from waitpid, or -1 when the child is still running
  // after timeoutMs.
  int Wait(int timeoutMs = 10000) {
    if (pid_ <= 0) return -1;
    if (reaped_) return status_;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const pid_t r = waitpid(pid_, &status_, WNOHANG);
      if (r == pid_) {
        reaped_ = true;
        return status_;
      }
      if (std::chrono::steady_clock::now() > deadline) return -1;
      usleep(2000);
    }
  }
  // Exit code when it exited normally, else -1 (killed or still running).
  int WaitExitCode(int timeoutMs = 10000) {
    const int s = Wait(timeoutMs);
    if (!reaped_ || !WIFEXITED(s)) return -1;
    return WEXITSTATUS(s);
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int in_ = -1;
  int status_ = 0;
  bool reaped_ = false;
  std::string buffer_;
};

}  // namespace testing_support

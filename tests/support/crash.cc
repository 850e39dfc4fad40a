#include "support/crash.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

namespace vbk::testing {

std::string ChildExit::describe() const {
  return exited ? "exited with " + std::to_string(code) : "killed by signal " + std::to_string(signal);
}

pid_t start_child(const std::function<int()>& body) {
  std::fflush(nullptr);  // nothing buffered is written twice
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int code = 125;
    try {
      code = body();
    } catch (...) {
    }
    std::fflush(nullptr);
    ::_exit(code);
  }
  return pid;
}

ChildExit wait_child(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error("waitpid failed");
  }
  ChildExit out;
  if (WIFEXITED(status)) {
    out.exited = true;
    out.code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    out.signal = WTERMSIG(status);
  }
  return out;
}

ChildExit run_in_child(const std::function<int()>& body) { return wait_child(start_child(body)); }

Pipe::Pipe() {
  if (::pipe(fds_) != 0) throw std::runtime_error("pipe failed");
}

Pipe::~Pipe() {
  close_read();
  close_write();
}

void Pipe::send(char c) {
  for (;;) {
    const ssize_t n = ::write(fds_[1], &c, 1);
    if (n == 1) return;
    if (n < 0 && errno != EINTR) throw std::runtime_error("pipe write failed");
  }
}

bool Pipe::receive() {
  char c = 0;
  for (;;) {
    const ssize_t n = ::read(fds_[0], &c, 1);
    if (n == 1) return true;
    if (n == 0) return false;
    if (errno != EINTR) throw std::runtime_error("pipe read failed");
  }
}

void Pipe::close_read() {
  if (fds_[0] >= 0) ::close(fds_[0]);
  fds_[0] = -1;
}

void Pipe::close_write() {
  if (fds_[1] >= 0) ::close(fds_[1]);
  fds_[1] = -1;
}

}  // namespace vbk::testing

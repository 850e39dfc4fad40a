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

ChildExit run_in_child(const std::function<int()>& body) {
  const pid_t pid = start_child(body);
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

}  // namespace vbk::testing

#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

namespace vbk::testing {

// How a forked child ended.
struct ChildExit {
  bool exited = false;  // returned normally; `code` is its exit status
  int code = 0;
  int signal = 0;       // killed by this signal when !exited

  bool killed_by(int sig) const { return !exited && signal == sig; }
  std::string describe() const;
};

// Forks and runs `body` in the child, which ends with the value `body`
// returns (an escaping exception ends it with 125); gives the child's pid to
// the parent, which must wait for it.
pid_t start_child(const std::function<int()>& body);

// Forks, runs `body` in the child and waits for it. The child ends with the
// value `body` returns (an escaping exception ends it with 125), so it never
// runs on into the parent's test code; assertions belong in the parent.
ChildExit run_in_child(const std::function<int()>& body);

}  // namespace vbk::testing

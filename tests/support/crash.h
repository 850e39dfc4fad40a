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

// Forks, runs `body` in the child and waits for it. The child ends with the
// value `body` returns (an escaping exception ends it with 125), so it never
// runs on into the parent's test code; assertions belong in the parent.
ChildExit run_in_child(const std::function<int()>& body);

// The same in two steps, for a parent that works alongside its child: the
// child runs `body` and ends with its value; wait_child waits for its end.
pid_t start_child(const std::function<int()>& body);
ChildExit wait_child(pid_t pid);

// A one-way pipe for handing steps between a parent and its child: each side
// closes the end it does not use. send writes one byte; receive waits for
// one and is false at end of file (the writer is gone).
class Pipe {
 public:
  Pipe();
  ~Pipe();
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;

  void send(char c = '.');
  bool receive();
  void close_read();
  void close_write();

 private:
  int fds_[2] = {-1, -1};
};

}  // namespace vbk::testing

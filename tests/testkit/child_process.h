// The programs a test starts beside itself (buses, keyrings, mocks, tools):
// started so that they die with the test program, and ended for sure.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace vantelo::testkit {

// A started child: its process id, and its standard input and output as the
// ends of pipes when they were asked for (-1 otherwise); the caller closes them.
struct TestChild {
  pid_t pid = -1;
  int in = -1;
  int out = -1;
};

struct ChildPipes {
  bool input = false;
  bool output = false;
};

// Starts argv[0] (a full path) with `argv` and this program's environment,
// or with `env` as its whole environment. The child gets SIGTERM when the
// test program dies, so a crashed test leaves nothing running.
TestChild StartChild(const std::vector<std::string>& argv, ChildPipes pipes = {});
TestChild StartChild(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                     ChildPipes pipes = {});

// Ends a child started by StartChild: wakes it if it is stopped, asks it with
// SIGTERM, kills it after 2 s, and reaps it; `pid` is then -1. Nothing for
// a pid that is not above 0.
void EndChild(pid_t& pid);

}  // namespace vantelo::testkit

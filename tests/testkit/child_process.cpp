#include "tests/testkit/child_process.h"

#include <chrono>
#include <csignal>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace vantelo::testkit {
namespace {

TestChild Start(const std::vector<std::string>& argv, const std::vector<std::string>* env,
                ChildPipes pipes) {
  int in[2] = {-1, -1}, out[2] = {-1, -1};
  if ((pipes.input && pipe(in) != 0) || (pipes.output && pipe(out) != 0)) {
    throw std::runtime_error("pipe failed");
  }
  // Built before the fork: the child of a threaded program only execs.
  std::vector<char*> args, envp;
  for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  if (env) {
    for (auto& e : *env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
  }
  TestChild child;
  child.pid = fork();
  if (child.pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (pipes.input) dup2(in[0], 0);
    if (pipes.output) dup2(out[1], 1);
    for (int fd : {in[0], in[1], out[0], out[1]}) {
      if (fd >= 0) close(fd);
    }
    execve(args[0], args.data(), env ? envp.data() : environ);
    _exit(127);
  }
  if (pipes.input) {
    close(in[0]);
    child.in = in[1];
  }
  if (pipes.output) {
    close(out[1]);
    child.out = out[0];
  }
  return child;
}

}  // namespace

TestChild StartChild(const std::vector<std::string>& argv, ChildPipes pipes) {
  return Start(argv, nullptr, pipes);
}

TestChild StartChild(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                     ChildPipes pipes) {
  return Start(argv, &env, pipes);
}

void EndChild(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGCONT);  // a stopped child would not see SIGTERM until woken
  kill(pid, SIGTERM);
  int status;
  for (int i = 0; i < 100; ++i) {
    if (waitpid(pid, &status, WNOHANG) == pid) {
      pid = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  pid = -1;
}

}  // namespace vantelo::testkit

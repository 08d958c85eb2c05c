// vantelo-initdb [FOLDER]: prepares a working folder for Vantelo. Creates
// FOLDER/config/log.mdb with the route table and the launcher FOLDER/config/link
// when they are missing; an existing file is never touched.
#include <climits>
#include <cstdio>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "routing/route_store.h"

namespace {

std::string ProgramFolder() {
  char buffer[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  std::string path(buffer, static_cast<std::size_t>(n));
  return path.substr(0, path.rfind('/'));
}

// Single-quoted for the shell.
std::string ShellQuoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

bool WriteLauncher(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return true;
  const std::string beside = ProgramFolder() + "/vantelo";
  std::ofstream out(path);
  out << "#!/bin/sh\n"
      << "# Starts Vantelo in the folder that holds config/, which is where it\n"
      << "# looks for its routes and settings.\n"
      << "cd \"$(dirname \"$0\")/..\" || exit 1\n"
      << "if [ -x " << ShellQuoted(beside) << " ]; then\n"
      << "  exec " << ShellQuoted(beside) << " \"$@\"\n"
      << "fi\n"
      << "exec vantelo \"$@\"\n";
  out.close();
  return out && chmod(path.c_str(), 0755) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2) {
    std::fprintf(stderr, "usage: vantelo-initdb [FOLDER]\n");
    return 2;
  }
  const std::string folder = argc == 2 ? argv[1] : ".";
  try {
    if (vantelo::routing::CreateRouteDatabase(folder)) {
      std::printf("created %s/config/log.mdb\n", folder.c_str());
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  if (!WriteLauncher(folder + "/config/link")) {
    std::fprintf(stderr, "cannot write %s/config/link\n", folder.c_str());
    return 1;
  }
  return 0;
}

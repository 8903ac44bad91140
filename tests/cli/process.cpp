#include "cli/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace clitest {

namespace {

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

Outcome run(const std::string& program, const std::vector<std::string>& args, const RunOptions& options) {
  int outPipe[2], errPipe[2], inPipe[2];
  if (pipe(outPipe) != 0 || pipe(errPipe) != 0 || pipe(inPipe) != 0) throw std::runtime_error("pipe failed");

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inPipe[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
  for (int fd : {inPipe[0], inPipe[1], outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) {
    posix_spawn_file_actions_addclose(&actions, fd);
  }
  std::vector<std::string> argStrings{program};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argStrings) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(inPipe[0]);
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  if (spawned != 0) {
    ::close(inPipe[1]);
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    throw std::runtime_error("cannot start " + program);
  }
  if (!options.input.empty()) {
    // Small inputs only: the pipe buffer holds them.
    [[maybe_unused]] const auto written = ::write(inPipe[1], options.input.data(), options.input.size());
  }
  ::close(inPipe[1]);

  Outcome outcome;
  const auto start = std::chrono::steady_clock::now();
  bool interruptSent = false;
  int fds[2] = {outPipe[0], errPipe[0]};
  std::string* sinks[2] = {&outcome.out, &outcome.err};
  while (fds[0] >= 0 || fds[1] >= 0) {
    const auto elapsed = std::chrono::steady_clock::now() - start;
    if (elapsed > options.limit) {
      kill(pid, SIGKILL);
      outcome.timedOut = true;
      break;
    }
    if (options.interruptAfter && !interruptSent && elapsed >= *options.interruptAfter) {
      kill(pid, SIGINT);
      interruptSent = true;
    }
    std::array<pollfd, 2> polls{};
    for (int i = 0; i < 2; ++i) polls[i] = {fds[i], POLLIN, 0};
    if (poll(polls.data(), polls.size(), 50) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i] < 0 || !(polls[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[65536];
      const ssize_t got = ::read(fds[i], buffer, sizeof buffer);
      if (got <= 0) {
        closeFd(fds[i]);
      } else {
        sinks[i]->append(buffer, static_cast<std::size_t>(got));
      }
    }
  }
  closeFd(fds[0]);
  closeFd(fds[1]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) {
    outcome.status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    outcome.status = 128 + WTERMSIG(status);
  }
  return outcome;
}

std::string mpegunit() { return MPEGUNIT_BINARY; }

Outcome mpegunit(const std::filesystem::path& stateDir, const std::vector<std::string>& args,
                 const RunOptions& options) {
  std::vector<std::string> all{"--state", stateDir.string()};
  all.insert(all.end(), args.begin(), args.end());
  return run(mpegunit(), all, options);
}

bool onPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  if (!path) return false;
  std::stringstream dirs(path);
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (!dir.empty() && access((std::filesystem::path(dir) / program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

}  // namespace clitest

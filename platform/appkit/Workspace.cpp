#include "platform/appkit/Workspace.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <thread>

namespace platform {

namespace {

// posix_spawn state, released on every path.
struct SpawnAttributes {
  SpawnAttributes() {
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_init(&actions);
  }
  ~SpawnAttributes() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
};

}  // namespace

NSWorkspace& NSWorkspace::sharedWorkspace() {
  static NSWorkspace workspace;
  return workspace;
}

bool NSWorkspace::openURL(const NSURL& url) {
  SpawnAttributes spawn;
  // The agent blocks and ignores the hang-up signal; the handler must not inherit either, nor
  // the agent's session and terminal.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&spawn.attributes, &none);
  posix_spawnattr_setsigdefault(&spawn.attributes, &all);
  posix_spawnattr_setflags(&spawn.attributes,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);
  posix_spawn_file_actions_addopen(&spawn.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&spawn.actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&spawn.actions, STDOUT_FILENO, STDERR_FILENO);

  std::string program = "xdg-open", address = url.absoluteString();
  char* argv[] = {program.data(), address.data(), nullptr};
  pid_t pid = 0;
  if (posix_spawnp(&pid, "xdg-open", &spawn.actions, &spawn.attributes, argv, environ) != 0)
    return false;
  // Reaped aside so that it leaves no zombie, however long the handler takes.
  std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
  return true;
}

}  // namespace platform

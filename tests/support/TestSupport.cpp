#include "tests/support/TestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testing_support {

namespace fs = std::filesystem;

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  path_ = std::string(base && *base ? base : "/tmp") + "/kapsho-test-XXXXXX";
  if (!mkdtemp(path_.data())) throw std::runtime_error("mkdtemp failed");
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(path_, ignored);
}

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) old_ = old;
  value ? setenv(name_.c_str(), value->c_str(), 1) : unsetenv(name_.c_str());
}

ScopedEnv::~ScopedEnv() {
  old_ ? setenv(name_.c_str(), old_->c_str(), 1) : unsetenv(name_.c_str());
}

TempHome::TempHome()
    : home_("HOME", dir_.path()),
      config_("XDG_CONFIG_HOME", dir_.path() + "/.config"),
      runtime_("XDG_RUNTIME_DIR", dir_.path() + "/run") {
  fs::create_directories(configHome());
  fs::create_directories(runtimeDir());
  fs::permissions(runtimeDir(), fs::perms::owner_all);
}

StderrCapture::StderrCapture() : saved_(dup(STDERR_FILENO)) {
  std::fflush(stderr);
  const int fd = open(dir_.file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  dup2(fd, STDERR_FILENO);
  close(fd);
}

StderrCapture::~StderrCapture() {
  std::fflush(stderr);
  dup2(saved_, STDERR_FILENO);
  close(saved_);
}

std::string StderrCapture::text() const {
  std::fflush(stderr);
  return readFile(dir_.file("stderr")).value_or("");
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + path);
}

void writeProgram(const std::string& path, const std::string& script) {
  writeFile(path, script);
  chmod(path.c_str(), 0755);
}

int loggedPort(const std::string& logPath, std::chrono::milliseconds deadline) {
  std::string log;
  if (!waitUntil(
          [&] {
            return (log = readFile(logPath).value_or("")).find(", storing in") != std::string::npos;
          },
          deadline))
    return 0;
  return std::atoi(log.c_str() + log.find(" port ") + 6);
}

std::optional<std::string> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::optional<long> processMemoryKiB(pid_t pid, const std::string& field) {
  const auto status = readFile("/proc/" + std::to_string(pid) + "/status");
  const auto at = status ? status->find("\n" + field + ":") : std::string::npos;
  if (at == std::string::npos) return std::nullopt;
  return std::stol(status->substr(at + field.size() + 2));
}

std::optional<std::string> mappingAt(const void* address) {
  std::istringstream maps(readFile("/proc/self/maps").value_or(""));
  const auto at = reinterpret_cast<uintptr_t>(address);
  for (std::string line; std::getline(maps, line);) {
    uintptr_t start = 0, end = 0;
    int path = 0;
    if (std::sscanf(line.c_str(), "%lx-%lx %*s %*s %*s %*s %n", &start, &end, &path) < 2 ||
        at < start || at >= end)
      continue;
    return path > 0 ? line.substr(static_cast<size_t>(path)) : "";
  }
  return std::nullopt;
}

// Started with posix_spawn: between fork and exec a threaded test may run nothing but what the
// kernel does (no setenv, no open), so the environment and the output files are prepared here.
ChildProcess::ChildProcess(std::vector<std::string> argv,
                           const std::map<std::string, std::string>& extraEnv,
                           const std::string& stdoutPath, const std::string& stderrPath) {
  std::vector<char*> cargs;
  for (auto& arg : argv) cargs.push_back(arg.data());
  cargs.push_back(nullptr);
  std::vector<std::string> environment;
  for (char** variable = environ; *variable; ++variable) {
    const std::string entry = *variable;
    if (!extraEnv.contains(entry.substr(0, entry.find('=')))) environment.push_back(entry);
  }
  for (const auto& [name, value] : extraEnv) environment.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  for (const auto& [path, target] :
       {std::pair{&stdoutPath, STDOUT_FILENO}, {&stderrPath, STDERR_FILENO}})
    if (!path->empty())
      posix_spawn_file_actions_addopen(&files, target, path->c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                       0644);
  // A clean signal mask and default dispositions: the test's own must not reach the program.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  const int error = posix_spawnp(&pid_, cargs[0], &files, &attributes, cargs.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&files);
  // As a shell reports a program it cannot run.
  if (error != 0) {
    pid_ = -1;
    status_ = W_EXITCODE(127, 0);
  }
}

ChildProcess::~ChildProcess() {
  if (pid_ <= 0 || status_) return;
  kill(pid_, SIGTERM);
  if (!wait(std::chrono::seconds(5))) {
    kill(pid_, SIGKILL);
    wait(std::chrono::seconds(5));
  }
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds deadline) {
  if (status_) return status_;
  waitUntil(
      [&] {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
        return status_.has_value();
      },
      deadline);
  return status_;
}

bool stopProcess(pid_t pid) {
  kill(pid, SIGSTOP);
  return waitUntil([&] {
    const auto stat = readFile("/proc/" + std::to_string(pid) + "/stat").value_or("");
    return stat.find(") T ") != std::string::npos;
  });
}

CommandResult runCommand(const std::vector<std::string>& argv, std::chrono::milliseconds deadline) {
  TempDir dir;
  CommandResult result;
  {
    ChildProcess child(argv, {}, dir.file("out"), dir.file("err"));
    auto status = child.wait(deadline);
    if (status && WIFEXITED(*status)) result.exitCode = WEXITSTATUS(*status);
  }
  result.out = readFile(dir.file("out")).value_or("");
  result.err = readFile(dir.file("err")).value_or("");
  return result;
}

std::string stagePath(const std::string& relative) {
  return std::string(KAPSHO_STAGE) + "/" + relative;
}

}  // namespace testing_support

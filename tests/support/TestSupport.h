// Helpers shared by the tests: temporary folders, environment, bounded waits, child processes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

// Owns something that must not be released twice.
struct NoCopy {
  NoCopy() = default;
  NoCopy(const NoCopy&) = delete;
  NoCopy& operator=(const NoCopy&) = delete;
};

// A fresh folder under $TMPDIR, removed with everything in it when the object goes.
class TempDir : NoCopy {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets (or, with nullopt, unsets) an environment variable and puts the old value back.
class ScopedEnv : NoCopy {
 public:
  ScopedEnv(std::string name, std::optional<std::string> value);
  ~ScopedEnv();

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// A temporary HOME with XDG_CONFIG_HOME and XDG_RUNTIME_DIR inside it.
class TempHome {
 public:
  TempHome();
  const std::string& path() const { return dir_.path(); }
  std::string configHome() const { return dir_.path() + "/.config"; }
  std::string runtimeDir() const { return dir_.path() + "/run"; }

 private:
  TempDir dir_;
  ScopedEnv home_, config_, runtime_;
};

// Everything the process writes to its standard error while the object lives: the log's lines.
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  std::string text() const;

 private:
  TempDir dir_;
  int saved_;
};

// Polls the condition until it holds or the deadline passes; gives whether it held.
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds deadline = std::chrono::seconds(10));

void writeFile(const std::string& path, const std::string& bytes);
// Writes the script and makes it executable.
void writeProgram(const std::string& path, const std::string& script);
std::optional<std::string> readFile(const std::string& path);

// A TCP port on 127.0.0.1 for a server that binds it with SO_REUSEADDR (as the upload server
// does), reserved for it until this program ends.
int freeLocalPort();

// A child process started from argv; ended (SIGTERM, then SIGKILL) and reaped when the object goes.
class ChildProcess : NoCopy {
 public:
  ChildProcess(std::vector<std::string> argv,
               const std::map<std::string, std::string>& extraEnv = {},
               const std::string& stdoutPath = "", const std::string& stderrPath = "");
  ~ChildProcess();

  pid_t pid() const { return pid_; }
  // Waits for the process to end; gives its wait status, or nullopt at the deadline.
  std::optional<int> wait(std::chrono::milliseconds deadline = std::chrono::seconds(10));

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// Stops the process (SIGSTOP) and waits until it is stopped; false if it does not stop.
bool stopProcess(pid_t pid);

// Runs a command to its end and gives its exit code and standard output.
struct CommandResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};
CommandResult runCommand(const std::vector<std::string>& argv,
                         std::chrono::milliseconds deadline = std::chrono::seconds(30));

// A memory figure of a running process from /proc (field "VmRSS" now, "VmHWM" its peak), in KiB.
std::optional<long> processMemoryKiB(pid_t pid, const std::string& field);

// What this process has mapped at the address: the mapped file's path, "" for anonymous memory,
// nullopt when nothing is mapped there.
std::optional<std::string> mappingAt(const void* address);

// The port a kapsho-upload-server started with --port 0 names in its log once it serves; 0 when
// it does not by the deadline.
int loggedPort(const std::string& logPath,
               std::chrono::milliseconds deadline = std::chrono::seconds(20));

// Paths into the staged install tree of the build.
std::string stagePath(const std::string& relative);

}  // namespace testing_support

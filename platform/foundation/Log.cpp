#include "platform/foundation/Log.h"

#include <errno.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

namespace platform {

namespace {

std::string timestamp() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char buffer[64];
  const size_t length = std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(buffer + length, sizeof buffer - length, ".%03d", static_cast<int>(millis));
  return buffer;
}

// Whether standard error is the journal's stream, which systemd names in JOURNAL_STREAM as
// "<device>:<inode>". The journal takes in what goes to syslog as well, so there a line goes only
// to standard error.
bool stderrIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  unsigned long long device = 0, inode = 0;
  int end = 0;
  struct stat st {};
  return stream && std::sscanf(stream, "%llu:%llu%n", &device, &inode, &end) == 2 &&
         stream[end] == '\0' && fstat(STDERR_FILENO, &st) == 0 && st.st_dev == device &&
         st.st_ino == inode;
}

}  // namespace

void logLine(const std::string& text) {
  static std::mutex mutex;
  static std::once_flag opened;
  std::call_once(opened, [] { openlog(program_invocation_short_name, LOG_PID, LOG_USER); });
  const std::string line = timestamp() + " " + program_invocation_short_name + "[" +
                           std::to_string(getpid()) + "] " + text + "\n";
  std::lock_guard lock(mutex);
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  if (!stderrIsJournal()) syslog(LOG_NOTICE, "%s", text.c_str());
}

}  // namespace platform

#include "platform/foundation/Log.h"

#include <errno.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
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
  syslog(LOG_NOTICE, "%s", text.c_str());
}

}  // namespace platform

// NSLog: one line to stderr, "<date> <process>[<pid>] <text>", and the same text to syslog,
// except where stderr is the journal, which would show it twice.
#pragma once

#include <string>
#include <string_view>

#include "platform/foundation/Format.h"

namespace platform {

void logLine(const std::string& text);

}  // namespace platform

template <typename... Args>
void NSLog(std::string_view format, const Args&... args) {
  platform::logLine(platform::stringWithFormat(format, args...));
}

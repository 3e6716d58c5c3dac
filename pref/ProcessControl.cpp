// Where the agent is stored and whether, and as which process, it runs. Nothing is kept: each
// call looks again.
#include <cstdint>
#include <typeinfo>

#include "common/constants.h"
#include "platform/carbon/Processes.h"
#include "platform/foundation/Log.h"
#include "pref/KapshoPref.h"

using namespace platform;

namespace {

// The process's bundle identifier, or nothing for a process without one or one that ended.
std::string bundleIdentifierOf(const ProcessSerialNumber& psn) {
  const CFRef<CFDictionaryRef> information(
      ProcessInformationCopyDictionary(&psn, kProcessDictionaryIncludeAllInformationMask));
  if (!information) return {};
  const auto identifier =
      static_cast<CFStringRef>(CFDictionaryGetValue(information.get(), kCFBundleIdentifierKey));
  const char* text =
      identifier ? CFStringGetCStringPtr(identifier, kCFStringEncodingUTF8) : nullptr;
  return text ? text : std::string();
}

}  // namespace

std::optional<NSBundle> KapshoPref::paneBundle() {
  return NSBundle::bundleForClass(typeid(KapshoPref));
}

std::optional<std::string> KapshoPref::pathForDaemon() const {
  const auto bundle = paneBundle();
  return bundle ? bundle->pathForResource("KapshoDaemon", "app") : std::nullopt;
}

bool KapshoPref::daemonRunning() const {
  return pidForDaemon() > 0;
}

pid_t KapshoPref::pidForDaemon() const {
  ProcessSerialNumber psn{0, kNoProcess};
  while (true) {
    const OSErr next = GetNextProcess(&psn);
    if (next == procNotFound) return 0;
    if (next != noErr) {
      NSLog("Unexpected result code from GetNextProcess: %d", static_cast<int>(next));
      return 0;
    }
    if (bundleIdentifierOf(psn) != DaemonBundleID) continue;
    pid_t pid = 0;
    const auto result = static_cast<std::int16_t>(GetProcessPID(&psn, &pid));
    if (result != 0) {
      NSLog("Unexpected result code from GetProcessPID: %d", static_cast<int>(result));
      return 0;
    }
    return pid;
  }
}

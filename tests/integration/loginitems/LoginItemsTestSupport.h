// Helpers for the login-items tests: finding System Events through the process walk and ending
// it, as a subreaper of the detached processes the tests cause to start, and reading listings.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "loginitems/LoginItemsAE/LoginItemsAE.h"
#include "platform/carbon/CoreFoundation.h"
#include "platform/carbon/Processes.h"
#include "tests/support/TestSupport.h"

namespace login_items_test {

inline constexpr OSType kSystemEventsSignature = fourCharCode("sevs");

inline std::vector<pid_t> systemEventsProcesses() {
  std::vector<pid_t> pids;
  ProcessSerialNumber psn{0, kNoProcess};
  while (GetNextProcess(&psn) == noErr) {
    ProcessInfoRec info{};
    if (GetProcessInformation(&psn, &info) == noErr &&
        info.processSignature == kSystemEventsSignature)
      pids.push_back(static_cast<pid_t>(psn.lowLongOfPSN));
  }
  return pids;
}

// Detached processes started during the test are reparented to this process, so it can reap
// them.
inline void becomeSubreaper() {
  prctl(PR_SET_CHILD_SUBREAPER, 1);
}

// Ends a process this test caused to start and waits until it is reaped; false if it lingers.
inline bool endProcess(pid_t pid) {
  kill(pid, SIGTERM);
  return testing_support::waitUntil([&] { return waitpid(pid, nullptr, WNOHANG) == pid; });
}

// Ends every System Events of the test's session, and reaps those that ended by themselves.
inline void endSystemEvents() {
  for (pid_t pid : systemEventsProcesses()) endProcess(pid);
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

// The paths of the listed entries, in order; empty when the listing failed.
inline std::vector<std::string> listedPaths(OSStatus* status = nullptr) {
  CFArrayRef items = nullptr;
  const OSStatus err = LIAECopyLoginItems(&items);
  if (status) *status = err;
  const platform::CFRef<CFArrayRef> owned(items);
  std::vector<std::string> paths;
  for (CFIndex i = 0; items && i < CFArrayGetCount(items); ++i) {
    const auto entry = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(items, i));
    paths.push_back(
        platform::toNSURL(static_cast<CFURLRef>(CFDictionaryGetValue(entry, CFSTR("URL")))).path());
  }
  return paths;
}

inline OSStatus addLoginItem(const std::string& path, bool hidden = false) {
  const platform::CFRef<CFURLRef> url(CFBridgingRetain(platform::NSURL::fileURLWithPath(path)));
  return LIAEAddURLAtEnd(url.get(), hidden);
}

// A temporary home and login session with the staged System Events; every System Events the test
// causes to start ends with it.
class LoginItemsSession : public ::testing::Test {
 protected:
  void SetUp() override { becomeSubreaper(); }
  void TearDown() override { endSystemEvents(); }

  std::string entryPath(unsigned long n) const {
    return home.configHome() + "/autostart/kapsho-login-item-" + std::to_string(n) + ".desktop";
  }
  // The text of autostart entry n; "" when there is none.
  std::string autostart(unsigned long n) const {
    return testing_support::readFile(entryPath(n)).value_or("");
  }

  testing_support::TempHome home;
  testing_support::ScopedEnv systemRoot{"KAPSHO_SYSTEM_ROOT",
                                        testing_support::stagePath("share/kapsho")};
  testing_support::TempDir apps;
};

}  // namespace login_items_test

// Helpers for the login-items tests: finding System Events through the process walk and ending
// it, as a subreaper of the detached processes the tests cause to start, and reading listings.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "loginitems/LoginItemsAE/LoginItemsAE.h"
#include "platform/carbon/CoreFoundation.h"
#include "platform/carbon/Processes.h"
#include "tests/support/TestSupport.h"

namespace login_items_test {

inline std::vector<pid_t> systemEventsProcesses() {
  std::vector<pid_t> pids;
  ProcessSerialNumber psn{0, kNoProcess};
  while (GetNextProcess(&psn) == noErr) {
    ProcessInfoRec info{};
    if (GetProcessInformation(&psn, &info) == noErr &&
        info.processSignature == fourCharCode("sevs"))
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

// Ends every System Events of the test's session: the pane (and so kapsho-prefs) starts one for
// the session when it shows the login item's state.
inline void endSystemEvents() {
  for (pid_t pid : systemEventsProcesses()) EXPECT_TRUE(endProcess(pid));
}

// Each listed entry's path and hidden flag, in order; empty when the listing failed.
using Listing = std::vector<std::pair<std::string, bool>>;
inline Listing listing() {
  CFArrayRef items = nullptr;
  LIAECopyLoginItems(&items);
  const platform::CFRef<CFArrayRef> owned(items);
  Listing listed;
  for (CFIndex i = 0; items && i < CFArrayGetCount(items); ++i) {
    const auto entry = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(items, i));
    const auto url = static_cast<CFURLRef>(CFDictionaryGetValue(entry, CFSTR("URL")));
    const auto hidden = static_cast<CFBooleanRef>(CFDictionaryGetValue(entry, CFSTR("Hidden")));
    listed.emplace_back(platform::toNSURL(url).path(), CFBooleanGetValue(hidden));
  }
  return listed;
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
  void TearDown() override {
    for (pid_t pid : systemEventsProcesses()) endProcess(pid);
  }

  std::string entryPath(unsigned long n) const {
    return home.configHome() + "/autostart/kapsho-login-item-" + std::to_string(n) + ".desktop";
  }
  // The text of autostart entry n; "" when there is none.
  std::string autostart(unsigned long n) const {
    return testing_support::readFile(entryPath(n)).value_or("");
  }
  // A new folder among the applications; its canonical path.
  std::string folder(const std::string& name) const {
    std::filesystem::create_directories(apps.file(name));
    return std::filesystem::canonical(apps.file(name)).string();
  }

  testing_support::TempHome home;
  testing_support::ScopedEnv systemRoot{"KAPSHO_SYSTEM_ROOT",
                                        testing_support::stagePath("share/kapsho")};
  testing_support::TempDir apps;
};

}  // namespace login_items_test

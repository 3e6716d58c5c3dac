// Helpers for the login-items tests: finding System Events through the process walk and ending
// it, as a subreaper of the detached processes the tests cause to start.
#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <vector>

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

}  // namespace login_items_test

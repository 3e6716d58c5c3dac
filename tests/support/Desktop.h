// The desktop around a program under test: a session bus and a display of the test's own.
#pragma once

#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace testing_support {

// A private session bus (a dbus-daemon of its own), named in DBUS_SESSION_BUS_ADDRESS while the
// object lives.
class PrivateBus {
 public:
  PrivateBus();
  const std::string& address() const { return address_; }

 private:
  TempDir logs_;
  ChildProcess daemon_;
  std::string address_;
  ScopedEnv environment_;
};

// A virtual display (Xvfb on a free display number it picks itself), named in DISPLAY while the
// object lives.
class VirtualDisplay {
 public:
  explicit VirtualDisplay(const std::string& screen = "320x240x24");
  const std::string& name() const { return name_; }

 private:
  TempDir logs_;
  ChildProcess server_;
  std::string name_;
  ScopedEnv environment_;
};

// Emits the distributed-notification signal with `gdbus emit`, as any process of the user may;
// the arguments follow the signal's name in GVariant text ("'name'", "{'key': <true>}"). Gives
// whether gdbus succeeded.
bool emitNotification(const std::vector<std::string>& arguments);

// The first line a child writes to its output file, once it is complete; "" at the deadline.
std::string firstLine(const std::string& path);

}  // namespace testing_support

#include "tests/support/Desktop.h"

#include <stdexcept>

namespace testing_support {

std::string firstLine(const std::string& path) {
  std::string line;
  waitUntil([&] {
    const std::string text = readFile(path).value_or("");
    if (text.find('\n') == std::string::npos) return false;
    line = text.substr(0, text.find('\n'));
    return true;
  });
  return line;
}

bool emitNotification(const std::vector<std::string>& arguments) {
  std::vector<std::string> command = {"gdbus",
                                      "emit",
                                      "--session",
                                      "--object-path",
                                      "/com/kapsho/DistributedNotificationCenter",
                                      "--signal",
                                      "com.kapsho.DistributedNotificationCenter.Notification"};
  command.insert(command.end(), arguments.begin(), arguments.end());
  return runCommand(command).exitCode == 0;
}

namespace {

std::string started(const std::string& line, const std::string& what) {
  if (line.empty()) throw std::runtime_error(what + " did not start");
  return line;
}

}  // namespace

PrivateBus::PrivateBus()
    : daemon_({"dbus-daemon", "--session", "--nofork", "--print-address=1"}, {}, logs_.file("out"),
              logs_.file("err")),
      address_(started(firstLine(logs_.file("out")), "dbus-daemon")),
      environment_("DBUS_SESSION_BUS_ADDRESS", address_) {}

VirtualDisplay::VirtualDisplay(const std::string& screen)
    : server_({"Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-noreset", "-screen", "0", screen},
              {}, logs_.file("out"), logs_.file("err")),
      name_(":" + started(firstLine(logs_.file("out")), "Xvfb")),
      environment_("DISPLAY", name_) {}

}  // namespace testing_support

#include "tests/support/Desktop.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

namespace testing_support {

namespace fs = std::filesystem;

namespace {

void writeProgram(const std::string& path, const std::string& script) {
  writeFile(path, script);
  chmod(path.c_str(), 0755);
}

std::string pathWith(const std::string& folder) {
  const char* path = std::getenv("PATH");
  return folder + ":" + (path ? path : "/usr/bin:/bin");
}

}  // namespace

std::string firstLine(const std::string& path) {
  std::string line;
  waitUntil([&] {
    const std::string text = readFile(path).value_or("");
    line = text.substr(0, text.find('\n'));
    return text.find('\n') != std::string::npos;
  });
  return line;
}

SessionBus::SessionBus()
    : daemon_({"dbus-daemon", "--session", "--nofork", "--print-address=1"}, {}, logs_.file("out"),
              logs_.file("err")),
      address_(firstLine(logs_.file("out"))),
      variable_("DBUS_SESSION_BUS_ADDRESS", address_) {}

VirtualDisplay::VirtualDisplay(const std::string& screen)
    : server_({"Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-br", "-screen", "0", screen}, {},
              logs_.file("out"), logs_.file("err")),
      name_(":" + firstLine(logs_.file("out"))),
      variable_("DISPLAY", name_) {}

RecordingWlClipboard::RecordingWlClipboard() : path_("PATH", pathWith(bin_.path())) {
  writeProgram(
      bin_.file("wl-copy"),
      "#!/bin/sh\n"
      "d=$(dirname \"$0\")\n"
      "printf '%s\\n' \"$*\" >> \"$d/calls\"\n"
      "case \"$1\" in --clear) : > \"$d/clipboard\" ;; *) cat > \"$d/clipboard\" ;; esac\n");
  writeProgram(bin_.file("wl-paste"), "#!/bin/sh\ncat \"$(dirname \"$0\")/clipboard\"\n");
}

bool agentWatching(pid_t pid) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error))
    if (entry.path().filename() != std::to_string(pid) &&
        readFile(entry.path().string() + "/wchan") == "do_epoll_wait")
      return true;
  return false;
}

}  // namespace testing_support

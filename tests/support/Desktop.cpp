#include "tests/support/Desktop.h"

#include <signal.h>
#include <sys/wait.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "platform/carbon/Processes.h"
#include "platform/foundation/UserDefaults.h"

namespace testing_support {

namespace fs = std::filesystem;

namespace {

std::string started(const std::string& line, const std::string& what) {
  if (line.empty()) throw std::runtime_error(what + " did not start");
  return line;
}

// A session bus of the user that lists no services to start on demand.
std::string busConfiguration(const TempDir& folder) {
  writeFile(folder.file("session.conf"),
            "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
            " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
            "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
            "<auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\" "
            "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>"
            "</busconfig>\n");
  return "--config-file=" + folder.file("session.conf");
}

// -noreset: without it the server resets whenever its last client leaves, and a client that
// connects just then is refused.
std::vector<std::string> serverCommand(const std::string& screen,
                                       const std::vector<std::string>& options) {
  std::vector<std::string> command{"Xvfb",     "-displayfd", "1",       "-nolisten", "tcp",
                                   "-noreset", "-br",        "-screen", "0",         screen};
  command.insert(command.end(), options.begin(), options.end());
  return command;
}

}  // namespace

PrivateBus::PrivateBus()
    : daemon_({"dbus-daemon", busConfiguration(logs_), "--nofork", "--print-address=1"}, {},
              logs_.file("out"), logs_.file("err")),
      environment_("DBUS_SESSION_BUS_ADDRESS",
                   started(firstLine(logs_.file("out")), "dbus-daemon")) {}

VirtualDisplay::VirtualDisplay(const std::string& screen, const std::vector<std::string>& options)
    : server_(serverCommand(screen, options), {}, logs_.file("out"), logs_.file("err")),
      environment_("DISPLAY", ":" + started(firstLine(logs_.file("out")), "Xvfb")) {}

RecordingWlClipboard::RecordingWlClipboard()
    : path_("PATH", bin_.path() + ":" + std::getenv("PATH")) {
  writeProgram(
      bin_.file("wl-copy"),
      "#!/bin/sh\n"
      "d=$(dirname \"$0\")\n"
      "printf '%s\\n' \"$*\" >> \"$d/calls\"\n"
      "case \"$1\" in --clear) : > \"$d/clipboard\" ;; *) cat > \"$d/clipboard\" ;; esac\n");
  writeProgram(bin_.file("wl-paste"), "#!/bin/sh\ncat \"$(dirname \"$0\")/clipboard\"\n");
}

bool systemTrayOwned() {
  const std::string_view TrayAtom = "_NET_SYSTEM_TRAY_S0";
  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  bool owned = false;
  if (!xcb_connection_has_error(connection)) {
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 1, TrayAtom.size(), TrayAtom.data()), nullptr);
    xcb_get_selection_owner_reply_t* owner =
        atom ? xcb_get_selection_owner_reply(
                   connection, xcb_get_selection_owner(connection, atom->atom), nullptr)
             : nullptr;
    owned = owner && owner->owner != XCB_NONE;
    free(owner);
    free(atom);
  }
  xcb_disconnect(connection);
  return owned;
}

bool emitNotification(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), {"gdbus", "emit", "--session", "--object-path",
                                       "/com/kapsho/DistributedNotificationCenter", "--signal",
                                       "com.kapsho.DistributedNotificationCenter.Notification"});
  return runCommand(arguments).exitCode == 0;
}

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

bool agentWatching(pid_t pid) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error))
    if (entry.path().filename() != std::to_string(pid) &&
        readFile(entry.path().string() + "/wchan") == "do_epoll_wait")
      return true;
  return false;
}

std::optional<int> stopAgent(pid_t agent) {
  if (agent <= 0) return std::nullopt;  // kill would signal a whole process group
  kill(agent, SIGCONT);
  waitUntil([&] { return agentWatching(agent); });
  kill(agent, SIGHUP);
  int status = 0;
  if (waitUntil([&] { return waitpid(agent, &status, WNOHANG) == agent; })) return status;
  kill(agent, SIGKILL);
  waitpid(agent, nullptr, 0);
  return std::nullopt;
}

platform::Dictionary storedDomain(const std::string& domain) {
  return platform::NSUserDefaults::persistentDomainForName(domain).value_or(platform::Dictionary{});
}

pid_t processOfBundle(const std::string& identifier) {
  ProcessSerialNumber psn{0, kNoProcess};
  while (GetNextProcess(&psn) == noErr) {
    const platform::CFRef<CFDictionaryRef> information(
        ProcessInformationCopyDictionary(&psn, kProcessDictionaryIncludeAllInformationMask));
    const auto value = information ? static_cast<CFStringRef>(CFDictionaryGetValue(
                                         information.get(), kCFBundleIdentifierKey))
                                   : nullptr;
    if (value && CFStringGetCStringPtr(value, kCFStringEncodingUTF8) == identifier)
      return static_cast<pid_t>(psn.lowLongOfPSN);
  }
  return 0;
}

}  // namespace testing_support

// The desktop around a program under test: a session bus and a display of the test's own, and a
// stand-in for wl-clipboard's programs.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"
#include "tests/support/TestSupport.h"

namespace testing_support {

// The agent's program in an installed tree (the staged one, or a package's usr).
inline const std::string kAgentInTree =
    "lib/kapsho/KapshoPref.prefPane/Contents/Resources/KapshoDaemon.app/Contents/MacOS/"
    "KapshoDaemon";

// A private session bus (a dbus-daemon of its own), named in DBUS_SESSION_BUS_ADDRESS while the
// object lives: what is broadcast on it reaches no other test. It starts no service on demand:
// the services a test needs, it starts itself (a notification server installed on the machine is
// not started behind its back).
class PrivateBus {
 public:
  PrivateBus();

 private:
  TempDir logs_;
  ChildProcess daemon_;
  ScopedEnv environment_;
};

// A virtual display (Xvfb on a free display number it picks itself, with a black root), named in
// DISPLAY while the object lives.
class VirtualDisplay {
 public:
  // Options are the server's own, after the screen.
  explicit VirtualDisplay(const std::string& screen = "320x240x24",
                          const std::vector<std::string>& options = {});

 private:
  TempDir logs_;
  ChildProcess server_;
  ScopedEnv environment_;
};

// Whether the system tray selection of the display's first screen (_NET_SYSTEM_TRAY_S0) has an
// owner: an X11 tray such as trayer runs.
bool systemTrayOwned();

// wl-copy and wl-paste stand-ins first on PATH: no Wayland compositor with a seat runs here
// (weston runs headless, but without a seat the real wl-copy cannot take the selection).
// wl-copy records its arguments, one call a line, and keeps its input as the clipboard.
class RecordingWlClipboard {
 public:
  RecordingWlClipboard();
  std::string calls() const { return readFile(bin_.file("calls")).value_or(""); }
  std::string clipboard() const { return readFile(bin_.file("clipboard")).value_or(""); }

 private:
  TempDir bin_;
  ScopedEnv path_;
};

// Emits the distributed-notification signal with `gdbus emit`, as any process of the user may;
// the arguments follow the signal's name in GVariant text ("'name'", "{'key': <true>}"). Gives
// whether gdbus succeeded.
bool emitNotification(std::vector<std::string> arguments);

// The first line a child writes to its output file, once it is complete; "" at the deadline.
std::string firstLine(const std::string& path);

// Whether the agent's watcher thread sleeps in its event queue, as it does once its set-up and
// first folder snapshot are done: from then on a file that enters the folder is new. It is the
// one thread that waits in epoll (the queue's implementation); Qt's threads use poll.
bool agentWatching(pid_t pid);

// Lets a held agent go on, waits until it has started (a hang-up before that is not heard),
// asks it to stop with the hang-up signal and reaps it, as its parent or subreaper; its wait
// status, or nullopt when it would not end and was killed.
std::optional<int> stopAgent(pid_t agent);

// A preferences domain as stored, or an empty dictionary while none is.
platform::Dictionary storedDomain(const std::string& domain);

// The first process of the process walk whose bundle identifier is the given one; 0 for none.
pid_t processOfBundle(const std::string& identifier);

}  // namespace testing_support

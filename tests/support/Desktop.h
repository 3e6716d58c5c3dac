// A desktop for tests that start real programs: a private session bus, a virtual X display,
// and a stand-in for wl-clipboard's programs.
#pragma once

#include <memory>
#include <string>

#include "tests/support/TestSupport.h"

namespace testing_support {

// The first line a child wrote to its output file, once it is complete; empty at the deadline.
std::string firstLine(const std::string& path);

// A dbus-daemon of its own, named in DBUS_SESSION_BUS_ADDRESS while the object lives.
class SessionBus {
 public:
  SessionBus();
  const std::string& address() const { return address_; }

 private:
  TempDir logs_;
  ChildProcess daemon_;
  std::string address_;
  ScopedEnv variable_;
};

// An Xvfb on a free display number with a black root, named in DISPLAY while the object lives.
class VirtualDisplay {
 public:
  explicit VirtualDisplay(const std::string& screen = "320x240x24");
  const std::string& name() const { return name_; }

 private:
  TempDir logs_;
  ChildProcess server_;
  std::string name_;
  ScopedEnv variable_;
};

// wl-copy and wl-paste stand-ins first on PATH: no Wayland compositor with a seat runs here
// (weston runs headless, but without a seat the real wl-copy cannot take the selection).
// wl-copy records its arguments, one call a line, and keeps its input as the clipboard.
class RecordingWlClipboard {
 public:
  RecordingWlClipboard();
  std::string calls() const { return readFile(bin_.file("calls")).value_or(""); }
  std::string clipboard() const { return readFile(bin_.file("clipboard")).value_or(""); }
  const std::string& folder() const { return bin_.path(); }

 private:
  TempDir bin_;
  ScopedEnv path_;
};

// Whether the agent's watcher thread sleeps in its event queue, as it does once its set-up and
// first folder snapshot are done (it is the one thread that waits in epoll; Qt's use poll).
bool agentWatching(pid_t pid);

}  // namespace testing_support

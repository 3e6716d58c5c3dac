// Whether the desktop has a tray to show status items in: a tray host registered with a
// StatusNotifierWatcher on the session bus, or on X11 an owner of the system tray selection
// (_NET_SYSTEM_TRAY_S<screen>). Stock GNOME has neither, and there a status item shows nowhere.
#pragma once

#include <functional>
#include <memory>

namespace platform {

class TrayHostsReceiver;

class TrayHosts {
 public:
  // Made on first use, which must be on the main thread; it then follows the watcher's coming
  // and going and its hosts' registering and unregistering as the bus announces them.
  static TrayHosts& shared();
  ~TrayHosts();

  // Either kind of host, now.
  bool present() const { return statusNotifierHostRegistered() || systemTrayOwned(); }
  // As last announced on the bus (asked once when this object is made).
  bool statusNotifierHostRegistered() const { return hostRegistered_; }
  // Asked of the X server at each call; false without DISPLAY or when it does not answer.
  bool systemTrayOwned() const;

  // Called on the main thread each time statusNotifierHostRegistered changes; one at a time.
  void setObserver(std::function<void()> observer) { observer_ = std::move(observer); }

 private:
  TrayHosts();
  void askWatcher();
  void setHostRegistered(bool registered);

  std::unique_ptr<TrayHostsReceiver> receiver_;
  bool hostRegistered_ = false;
  std::function<void()> observer_;
  struct X11;
  std::unique_ptr<X11> x11_;
  friend class TrayHostsReceiver;
};

}  // namespace platform

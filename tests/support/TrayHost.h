// A tray host of the StatusNotifierItem kind, as a desktop panel runs one: it owns
// org.kde.StatusNotifierWatcher on the session bus, answers on a thread of its own, records the
// items that register and notices when their bus names go. It reads an item's icon and its menu
// (com.canonical.dbusmenu GetLayout) and clicks menu entries (Event "clicked"), as the panel
// does when the user opens the menu.
#pragma once

#include <QDBusConnection>
#include <QThread>
#include <memory>
#include <string>
#include <vector>

namespace testing_support {

class StatusNotifierWatcher;

class TrayHost {
 public:
  // Serves on the session bus named in DBUS_SESSION_BUS_ADDRESS from the moment it is made.
  // Needs the process's QCoreApplication; makes one when there is none.
  TrayHost();
  ~TrayHost();

  // Whether a host is registered with the watcher (at first one is), and the watcher's signal
  // that says it registered or unregistered, as a panel's host coming and going gives them.
  void setHostRegistered(bool registered);

  // Bus names of the items registered and still on the bus, in order of registration.
  std::vector<std::string> items() const;

  // The item's menu as text: entries separated by '|', "-" for a separator, " (off)" after a
  // disabled entry, a submenu's entries in brackets after its entry. "" when it cannot be read.
  std::string menu(const std::string& item) const;
  // Clicks the first entry of that label, submenus included, without waiting for an answer;
  // false when there is none.
  bool click(const std::string& item, const std::string& label) const;
  // The pixels of the item's icon, every size it offers, as one string to compare.
  std::string icon(const std::string& item) const;

 private:
  QDBusConnection connection_;
  QThread thread_;
  StatusNotifierWatcher* watcher_;
};

}  // namespace testing_support

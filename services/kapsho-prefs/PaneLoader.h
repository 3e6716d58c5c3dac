// What the host needs of a preference pane bundle: its principal class made with the bundle,
// its main view loaded and mainViewDidLoad called once.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/appkit/PreferencePane.h"

class QWidget;

namespace kapsho_prefs {

struct LoadedPane {
  std::unique_ptr<platform::NSPreferencePane> pane;
  QWidget* view = nullptr;
  // What the pane calls itself (NSPrefPaneIconLabel, else CFBundleName, else the folder's name).
  std::string title;
};

// The installed KapshoPref: lib/kapsho/KapshoPref.prefPane of the tree this program lies in.
std::string defaultPanePath();

// Loads the pane at the path; nullopt, with a reason a person can act on, when the path is no
// preference pane, its plug-in cannot be loaded or lacks its principal class, or its interface
// file is missing or does not fit the class.
std::optional<LoadedPane> loadPane(const std::string& path, std::string* error);

}  // namespace kapsho_prefs

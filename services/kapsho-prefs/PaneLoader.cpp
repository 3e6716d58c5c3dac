#include "services/kapsho-prefs/PaneLoader.h"

#include <filesystem>

namespace kapsho_prefs {

namespace fs = std::filesystem;

namespace {

std::string stringFor(const platform::NSBundle& bundle, const char* key) {
  const platform::Value* value = platform::valueForKey(bundle.infoDictionary(), key);
  return value && value->string() ? *value->string() : std::string();
}

std::string titleOf(const platform::NSBundle& bundle) {
  for (const char* key : {"NSPrefPaneIconLabel", "CFBundleName"})
    if (auto title = stringFor(bundle, key); !title.empty()) return title;
  return fs::path(bundle.bundlePath()).stem().string();
}

// The principal class's entry, once the bundle is known to be a loadable pane.
platform::NSPreferencePaneClass principalClassOf(const platform::NSBundle& bundle,
                                                 std::string* error) {
  if (bundle.infoDictionary().empty()) {
    *error = "not a preference pane: it has no readable Contents/Info.plist";
    return nullptr;
  }
  const std::string name = stringFor(bundle, "NSPrincipalClass");
  if (name.empty()) {
    *error = "not a preference pane: its Info.plist names no NSPrincipalClass";
    return nullptr;
  }
  std::string reason;
  if (!bundle.load(&reason)) {
    *error = "its plug-in cannot be loaded: " + reason;
    return nullptr;
  }
  auto* principalClass = reinterpret_cast<platform::NSPreferencePaneClass>(bundle.principalClass());
  if (!principalClass) *error = "its plug-in has no principal class \"" + name + "\"";
  return principalClass;
}

}  // namespace

std::string defaultPanePath() {
  std::error_code ignored;
  const fs::path program = fs::read_symlink("/proc/self/exe", ignored);
  return (program.parent_path().parent_path() / "lib/kapsho/KapshoPref.prefPane").string();
}

std::optional<LoadedPane> loadPane(const std::string& path, std::string* error) {
  const auto bundle = platform::NSBundle::bundleWithPath(path);
  if (!bundle) {
    *error = "no such folder";
    return std::nullopt;
  }
  const auto principalClass = principalClassOf(*bundle, error);
  if (!principalClass) return std::nullopt;
  LoadedPane loaded{std::unique_ptr<platform::NSPreferencePane>(principalClass(*bundle)), nullptr,
                    titleOf(*bundle)};
  loaded.view = loaded.pane->loadMainView(error);
  if (!loaded.view) return std::nullopt;
  loaded.pane->mainViewDidLoad();
  return loaded;
}

}  // namespace kapsho_prefs

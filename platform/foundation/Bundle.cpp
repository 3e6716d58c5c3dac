#include "platform/foundation/Bundle.h"

#include <dirent.h>
#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>

#include "platform/foundation/FileIO.h"
#include "platform/foundation/PropertyList.h"

namespace platform {

namespace fs = std::filesystem;

namespace {

bool isDirectory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

std::string runningExecutablePath() {
  std::error_code ec;
  auto path = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : path.string();
}

bool endsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Names the original platform used for localization folders before language codes.
std::string legacyLocalizationName(const std::string& code) {
  static const std::pair<const char*, const char*> names[] = {
      {"en", "English"}, {"de", "German"},  {"fr", "French"}, {"ja", "Japanese"},
      {"es", "Spanish"}, {"it", "Italian"}, {"nl", "Dutch"}};
  for (const auto& [c, name] : names)
    if (code == c) return name;
  return {};
}

// "de_DE" gives "de_DE", "de-DE", "de" and "German": the forms a localization may be named by.
std::vector<std::string> candidateNames(const std::string& language) {
  std::vector<std::string> names{language};
  std::string dashed = language;
  std::replace(dashed.begin(), dashed.end(), '_', '-');
  if (dashed != language) names.push_back(dashed);
  const std::string base = language.substr(0, language.find_first_of("_-"));
  if (base != language) names.push_back(base);
  if (auto legacy = legacyLocalizationName(lower(base)); !legacy.empty()) names.push_back(legacy);
  return names;
}

std::string cleanLocaleName(std::string name) {
  name = name.substr(0, name.find_first_of(".@"));
  return name == "C" || name == "POSIX" ? std::string() : name;
}

}  // namespace

NSBundle::NSBundle(std::string path) : path_(std::move(path)) {
  if (auto info = dictionaryWithContentsOfFile(path_ + "/Contents/Info.plist")) info_ = *info;
}

NSBundle& NSBundle::mainBundle() {
  static NSBundle bundle([] {
    const fs::path folder = fs::path(runningExecutablePath()).parent_path();
    if (endsWith(folder.string(), "/Contents/MacOS"))
      return folder.parent_path().parent_path().string();
    return folder.string();
  }());
  return bundle;
}

std::optional<NSBundle> NSBundle::bundleWithPath(const std::string& path) {
  if (!isDirectory(path)) return std::nullopt;
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return NSBundle(p);
}

std::optional<NSBundle> NSBundle::bundleForClass(const std::type_info& aClass) {
  Dl_info info{};
  link_map* module = nullptr;
  if (dladdr1(&aClass, &info, reinterpret_cast<void**>(&module), RTLD_DL_LINKMAP) == 0 || !module ||
      !module->l_name || !*module->l_name)
    return mainBundle();
  const fs::path folder = fs::path(module->l_name).parent_path();
  if (!endsWith(folder.string(), "/Contents/MacOS")) return std::nullopt;
  return bundleWithPath(folder.parent_path().parent_path().string());
}

std::string NSBundle::bundleIdentifier() const {
  const Value* id = valueForKey(info_, "CFBundleIdentifier");
  return id && id->isString() ? *id->string() : std::string();
}

std::string NSBundle::resourcePath() const {
  return path_ + "/Contents/Resources";
}

std::optional<std::string> NSBundle::executablePath() const {
  const Value* name = valueForKey(info_, "CFBundleExecutable");
  if (!name || !name->string() || name->string()->empty()) return std::nullopt;
  const std::string executable = path_ + "/Contents/MacOS/" + *name->string();
  return access(executable.c_str(), X_OK) == 0 ? std::optional(executable) : std::nullopt;
}

bool NSBundle::load(std::string* error) const {
  const auto executable = executablePath();
  if (!executable) {
    *error = "the bundle names no executable in Contents/MacOS";
    return false;
  }
  // Loaded for the life of the process: the plug-in's classes outlive any handle to it.
  if (dlopen(executable->c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE)) return true;
  const char* reason = dlerror();
  *error = reason ? reason : "it cannot be loaded";
  return false;
}

void* NSBundle::principalClass() const {
  const Value* name = valueForKey(info_, "NSPrincipalClass");
  const auto executable = executablePath();
  if (!name || !name->string() || name->string()->empty() || !executable) return nullptr;
  void* plugIn = dlopen(executable->c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
  if (!plugIn) return nullptr;
  void* entry = dlsym(plugIn, ("NSPrincipalClass_" + *name->string()).c_str());
  dlclose(plugIn);
  return entry;
}

std::string NSBundle::developmentRegion() const {
  const Value* region = valueForKey(info_, "CFBundleDevelopmentRegion");
  return region && region->isString() ? *region->string() : std::string("en");
}

std::optional<std::string> NSBundle::pathForResource(const std::string& name,
                                                     const std::string& type) const {
  const std::string file = type.empty() ? name : name + "." + type;
  if (isFile(resourcePath() + "/" + file) || isDirectory(resourcePath() + "/" + file))
    return resourcePath() + "/" + file;
  for (const auto& localization :
       localizationsForPreferences(localizations(), userLanguagePreferences())) {
    const std::string path = resourcePath() + "/" + localization + ".lproj/" + file;
    if (isFile(path)) return path;
  }
  return std::nullopt;
}

std::vector<std::string> NSBundle::localizations() const {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(resourcePath(), ec)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_directory(ec) && endsWith(name, ".lproj") && name.size() > 6)
      names.push_back(name.substr(0, name.size() - 6));
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<NSURL> NSBundle::resourceURLsOfType(const std::string& type,
                                                const std::string& localization) const {
  const std::string folder = resourcePath() + "/" + localization + ".lproj";
  std::vector<std::string> files;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    const std::string name = entry.path().filename().string();
    if (!entry.is_directory(ec) && endsWith(name, "." + type)) files.push_back(name);
  }
  std::sort(files.begin(), files.end());
  std::vector<NSURL> urls;
  const NSURL base = NSURL::fileURLWithPath(folder, true);
  for (const auto& name : files) {
    const NSURL file = NSURL::fileURLWithPath(folder + "/" + name, false);
    // Relative to its folder: the last component of the file URL, encoded as in the file URL.
    const std::string& text = file.relativeString();
    if (auto url = NSURL::URLWithString(text.substr(text.rfind('/') + 1), base))
      urls.push_back(*url);
  }
  return urls;
}

std::vector<std::string> userLanguagePreferences() {
  std::vector<std::string> languages;
  auto add = [&](const std::string& name) {
    const std::string clean = cleanLocaleName(name);
    if (!clean.empty() && std::find(languages.begin(), languages.end(), clean) == languages.end())
      languages.push_back(clean);
  };
  if (const char* list = std::getenv("LANGUAGE")) {
    std::string s = list;
    for (size_t start = 0; start <= s.size();) {
      size_t end = s.find(':', start);
      if (end == std::string::npos) end = s.size();
      add(s.substr(start, end - start));
      start = end + 1;
    }
  }
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"})
    if (const char* value = std::getenv(variable)) add(value);
  return languages;
}

std::vector<std::string> localizationsForPreferences(const std::vector<std::string>& localizations,
                                                     const std::vector<std::string>& preferences) {
  std::vector<std::string> chosen;
  for (const auto& language : preferences) {
    for (const auto& name : candidateNames(language)) {
      auto match = std::find_if(localizations.begin(), localizations.end(),
                                [&](const std::string& l) { return lower(l) == lower(name); });
      if (match != localizations.end() &&
          std::find(chosen.begin(), chosen.end(), *match) == chosen.end()) {
        chosen.push_back(*match);
        break;
      }
    }
  }
  if (!chosen.empty() || localizations.empty()) return chosen;
  for (const auto& fallback :
       {NSBundle::mainBundle().developmentRegion(), std::string("en"), std::string("English")})
    if (std::find(localizations.begin(), localizations.end(), fallback) != localizations.end())
      return {fallback};
  return {localizations.front()};
}

std::string systemRoot() {
  if (const char* root = std::getenv(PLATFORM_SYSTEM_ROOT_VARIABLE); root && *root) return root;
  const fs::path shared = fs::path("share") / PLATFORM_VENDOR;
  for (fs::path p = fs::path(runningExecutablePath()).parent_path(); p.has_relative_path();
       p = p.parent_path())
    if (isDirectory((p / shared).string())) return (p / shared).string();
  return PLATFORM_INSTALLED_SYSTEM_ROOT;
}

std::string systemPath(const std::string& fixedPath) {
  return systemRoot() + fixedPath;
}

CFBundleRef CFBundleCreate(const NSURL& bundleURL) {
  auto bundle = NSBundle::bundleWithPath(bundleURL.path());
  return bundle ? std::make_shared<const NSBundle>(*bundle) : nullptr;
}

std::vector<std::string> CFBundleCopyBundleLocalizations(const CFBundleRef& bundle) {
  return bundle ? bundle->localizations() : std::vector<std::string>{};
}

std::vector<std::string> CFBundleCopyLocalizationsForPreferences(
    const std::vector<std::string>& locArray) {
  return localizationsForPreferences(locArray, userLanguagePreferences());
}

std::vector<NSURL> CFBundleCopyResourceURLsOfTypeForLocalization(const CFBundleRef& bundle,
                                                                 const std::string& resourceType,
                                                                 const std::string& localization) {
  return bundle ? bundle->resourceURLsOfType(resourceType, localization) : std::vector<NSURL>{};
}

std::vector<std::string> NSSearchPathForDirectoriesInDomains(NSSearchPathDirectory,
                                                             NSSearchPathDomainMask,
                                                             bool expandTilde) {
  const char* homeVar = std::getenv("HOME");
  const std::string home = homeVar ? homeVar : "";
  const char* config = std::getenv("XDG_CONFIG_HOME");
  const std::string configHome = config && *config ? config : home + "/.config";
  std::string desktop = home + "/Desktop";
  if (auto dirs = contentsOfFile(configHome + "/user-dirs.dirs")) {
    size_t at = 0;
    while (at < dirs->size()) {
      size_t end = dirs->find('\n', at);
      if (end == std::string::npos) end = dirs->size();
      std::string line = dirs->substr(at, end - at);
      at = end + 1;
      const std::string prefix = "XDG_DESKTOP_DIR=\"";
      if (line.compare(0, prefix.size(), prefix) != 0 || line.back() != '"') continue;
      std::string value = line.substr(prefix.size(), line.size() - prefix.size() - 1);
      if (value.compare(0, 5, "$HOME") == 0)
        desktop = home + value.substr(5);
      else if (!value.empty() && value[0] == '/')
        desktop = value;
    }
  }
  if (!expandTilde && !home.empty() && desktop.compare(0, home.size(), home) == 0)
    desktop = "~" + desktop.substr(home.size());
  return {desktop};
}

}  // namespace platform

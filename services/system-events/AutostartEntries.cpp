#include "services/system-events/AutostartEntries.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileIO.h"
#include "platform/foundation/Log.h"

namespace system_events {

namespace {

const std::string kEntryPrefix = "kapsho-login-item-";
const std::string kEntrySuffix = ".desktop";

std::string entryPath(std::size_t number) {
  return autostartFolder() + "/" + kEntryPrefix + std::to_string(number) + kEntrySuffix;
}

// A string value of a desktop entry: backslash and control characters escaped.
std::string escapeValue(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// One argument of an Exec line: double-quoted, with the characters the format reserves inside
// quotes escaped, and '%' doubled so that it is no field code.
std::string quoteArgument(const std::string& argument) {
  std::string out = "\"";
  for (char c : argument) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
    if (c == '%') out += '%';
    out += c;
  }
  return out + "\"";
}

std::optional<std::string> bundleExecutable(const std::string& path) {
  if (path.size() < 4 || path.compare(path.size() - 4, 4, ".app") != 0) return std::nullopt;
  const auto bundle = platform::NSBundle::bundleWithPath(path);
  return bundle ? bundle->executablePath() : std::nullopt;
}

std::string displayName(const std::string& path) {
  std::string name = path.substr(path.find_last_of('/') + 1);
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".app") == 0)
    name.resize(name.size() - 4);
  return name.empty() ? path : name;
}

std::string desktopEntry(const std::string& path, bool hidden) {
  const auto executable = bundleExecutable(path);
  const std::string exec =
      executable ? quoteArgument(*executable) : "xdg-open " + quoteArgument(path);
  return "[Desktop Entry]\nType=Application\nName=" + escapeValue(displayName(path)) +
         "\nExec=" + escapeValue(exec) +
         "\nX-GNOME-Autostart-enabled=true\nX-Kapsho-Hidden=" + (hidden ? "true" : "false") + "\n";
}

void writeIfChanged(const std::string& path, const std::string& text) {
  if (platform::contentsOfFile(path) == text) return;
  std::string error;
  if (!platform::writeFileAtomically(path, text, &error))
    NSLog("Couldn't write autostart entry %@: %@", path, error);
}

// Entries numbered beyond the list, left from a longer one.
void removeEntriesAfter(std::size_t count) {
  DIR* folder = opendir(autostartFolder().c_str());
  if (!folder) return;
  while (const dirent* entry = readdir(folder)) {
    const std::string name = entry->d_name;
    if (name.rfind(kEntryPrefix, 0) != 0 ||
        name.size() <= kEntryPrefix.size() + kEntrySuffix.size())
      continue;
    char* end = nullptr;
    const unsigned long number = std::strtoul(name.c_str() + kEntryPrefix.size(), &end, 10);
    if (end && std::string(end) == kEntrySuffix && number > count)
      unlink((autostartFolder() + "/" + name).c_str());
  }
  closedir(folder);
}

}  // namespace

std::string autostartFolder() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && *config) return std::string(config) + "/autostart";
  const char* home = std::getenv("HOME");
  return std::string(home ? home : "") + "/.config/autostart";
}

void mirrorToAutostart(const std::vector<LoginItem>& items) {
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i].path)
      writeIfChanged(entryPath(i + 1),
                     desktopEntry(*items[i].path, items[i].hidden.value_or(false)));
    else
      unlink(entryPath(i + 1).c_str());
  }
  removeEntriesAfter(items.size());
}

}  // namespace system_events

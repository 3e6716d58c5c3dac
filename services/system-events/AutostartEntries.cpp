#include "services/system-events/AutostartEntries.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileIO.h"
#include "platform/foundation/Log.h"

namespace system_events {

namespace {

const std::string kEntryPrefix = "kapsho-login-item-";
const std::string kEntrySuffix = ".desktop";
const std::string kPathKey = "X-Kapsho-Path=";
const std::string kHiddenKey = "X-Kapsho-Hidden=";

std::string entryPath(unsigned long entry) {
  return autostartFolder() + "/" + kEntryPrefix + std::to_string(entry) + kEntrySuffix;
}

// The number of an entry's file name; 0 for a file that is no login item's entry.
unsigned long entryNumber(const std::string& name) {
  if (name.size() <= kEntryPrefix.size() + kEntrySuffix.size() ||
      name.compare(0, kEntryPrefix.size(), kEntryPrefix) != 0 ||
      name.compare(name.size() - kEntrySuffix.size(), kEntrySuffix.size(), kEntrySuffix) != 0)
    return 0;
  const std::string digits =
      name.substr(kEntryPrefix.size(), name.size() - kEntryPrefix.size() - kEntrySuffix.size());
  if (digits.size() > 18 || !std::all_of(digits.begin(), digits.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c));
      }))
    return 0;
  return std::strtoul(digits.c_str(), nullptr, 10);
}

// A string value of a desktop entry: backslash, line breaks and tabs escaped, and a leading
// space, which readers would drop.
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
      case ' ':
        out += out.empty() ? "\\s" : " ";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string unescapeValue(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    switch (text[++i]) {
      case 's':
        out += ' ';
        break;
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case 'r':
        out += '\r';
        break;
      default:
        out += text[i];
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
         "\nExec=" + escapeValue(exec) + "\nX-GNOME-Autostart-enabled=true\n" + kPathKey +
         escapeValue(path) + "\n" + kHiddenKey + (hidden ? "true" : "false") + "\n";
}

}  // namespace

std::string autostartFolder() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && *config) return std::string(config) + "/autostart";
  const char* home = std::getenv("HOME");
  return std::string(home ? home : "") + "/.config/autostart";
}

bool hasAutostartEntry(unsigned long entry) {
  return access(entryPath(entry).c_str(), F_OK) == 0;
}

void writeAutostartEntry(const LoginItem& item) {
  std::string error;
  if (!platform::writeFileAtomically(entryPath(item.entry),
                                     desktopEntry(*item.path, item.hidden.value_or(false)), &error))
    NSLog("Couldn't write autostart entry %@: %@", entryPath(item.entry), error);
}

void removeAutostartEntry(unsigned long entry) {
  unlink(entryPath(entry).c_str());
}

std::vector<unsigned long> autostartEntries() {
  std::vector<unsigned long> entries;
  DIR* folder = opendir(autostartFolder().c_str());
  if (!folder) return entries;
  while (const dirent* file = readdir(folder))
    if (const unsigned long entry = entryNumber(file->d_name)) entries.push_back(entry);
  closedir(folder);
  std::sort(entries.begin(), entries.end());
  return entries;
}

std::optional<LoginItem> itemOfAutostartEntry(unsigned long entry) {
  const auto text = platform::contentsOfFile(entryPath(entry)).value_or("");
  LoginItem item;
  item.entry = entry;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = std::min(text.find('\n', start), text.size());
    const std::string line = text.substr(start, end - start);
    if (line.compare(0, kPathKey.size(), kPathKey) == 0)
      item.path = unescapeValue(line.substr(kPathKey.size()));
    else if (line.compare(0, kHiddenKey.size(), kHiddenKey) == 0)
      item.hidden = line.substr(kHiddenKey.size()) == "true";
    start = end + 1;
  }
  if (!item.path || item.path->empty()) return std::nullopt;
  return item;
}

}  // namespace system_events

#include "tools/kapsho-defaults/DefaultsCommand.h"

#include <charconv>
#include <optional>

#include "platform/foundation/UserDefaults.h"

using platform::Dictionary;
using platform::NSUserDefaults;
using platform::Value;

namespace kapsho_defaults {

namespace {

constexpr const char* kUsage =
    "usage: kapsho-defaults read <domain> [<key>]\n"
    "       kapsho-defaults write <domain> <key> [-string|-bool|-int|-float] <value>\n"
    "       kapsho-defaults delete <domain> [<key>]\n";

int usage(std::ostream& err, const std::string& problem) {
  err << "kapsho-defaults: " << problem << "\n" << kUsage;
  return 1;
}

std::optional<Value> parseBool(const std::string& text) {
  for (const char* yes : {"YES", "yes", "TRUE", "true", "1"})
    if (text == yes) return Value(true);
  for (const char* no : {"NO", "no", "FALSE", "false", "0"})
    if (text == no) return Value(false);
  return std::nullopt;
}

std::optional<Value> parseInt(const std::string& text) {
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return Value(value);
}

std::optional<Value> parseFloat(const std::string& text) {
  double value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return Value(value);
}

// The value of a write: the type flag (string when none is given) and the text.
std::optional<Value> typedValue(const std::string& flag, const std::string& text,
                                std::string& problem) {
  std::optional<Value> value;
  if (flag == "-string")
    value = Value(text);
  else if (flag == "-bool" || flag == "-boolean")
    value = parseBool(text);
  else if (flag == "-int" || flag == "-integer")
    value = parseInt(text);
  else if (flag == "-float")
    value = parseFloat(text);
  else
    problem = "unknown type " + flag;
  if (!value && problem.empty()) problem = "invalid value for " + flag + ": '" + text + "'";
  return value;
}

std::string missingPair(const std::string& domain, const std::string& key) {
  return "The domain/default pair of (" + domain + ", " + key + ") does not exist\n";
}

int read(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.size() < 2 || args.size() > 3) return usage(err, "read takes a domain and a key");
  auto domain = NSUserDefaults::persistentDomainForName(args[1]);
  if (!domain) {
    err << "Domain " << args[1] << " does not exist\n";
    return 1;
  }
  if (args.size() == 2) {
    out << Value(*domain).description() << "\n";
    return 0;
  }
  const Value* value = platform::valueForKey(*domain, args[2]);
  if (!value) {
    err << missingPair(args[1], args[2]);
    return 1;
  }
  out << (value->isString() ? *value->string() : value->description()) << "\n";
  return 0;
}

int write(const std::vector<std::string>& args, std::ostream& err) {
  if (args.size() != 4 && args.size() != 5)
    return usage(err, "write takes a domain, a key, an optional type and a value");
  std::string problem;
  auto value = args.size() == 5 ? typedValue(args[3], args[4], problem) : Value(args[3]);
  if (!value) return usage(err, problem);
  const platform::PreferencesDomainLock lock(args[1]);
  Dictionary domain = NSUserDefaults::persistentDomainForName(args[1]).value_or(Dictionary{});
  domain.insert_or_assign(args[2], *value);
  if (!NSUserDefaults::setPersistentDomain(domain, args[1])) {
    err << "kapsho-defaults: could not write domain " << args[1] << "\n";
    return 1;
  }
  return 0;
}

int remove(const std::vector<std::string>& args, std::ostream& err) {
  if (args.size() < 2 || args.size() > 3) return usage(err, "delete takes a domain and a key");
  const platform::PreferencesDomainLock lock(args[1]);
  auto domain = NSUserDefaults::persistentDomainForName(args[1]);
  if (!domain) {
    err << "Domain " << args[1] << " does not exist\n";
    return 1;
  }
  if (args.size() == 2) return NSUserDefaults::removePersistentDomainForName(args[1]) ? 0 : 1;
  if (!domain->erase(args[2])) {
    err << missingPair(args[1], args[2]);
    return 1;
  }
  return NSUserDefaults::setPersistentDomain(*domain, args[1]) ? 0 : 1;
}

}  // namespace

int runDefaultsCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.empty()) return usage(err, "no command given");
  if (args[0] == "-h" || args[0] == "--help" || args[0] == "help") {
    out << kUsage;
    return 0;
  }
  if (args.size() >= 2 && !NSUserDefaults::pathForDomain(args[1]))
    return usage(err, "invalid domain '" + args[1] + "'");
  if (args[0] == "read") return read(args, out, err);
  if (args[0] == "write") return write(args, err);
  if (args[0] == "delete") return remove(args, err);
  return usage(err, "unknown command '" + args[0] + "'");
}

}  // namespace kapsho_defaults

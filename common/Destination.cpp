#include "common/Destination.h"

#include <sys/random.h>

#include <algorithm>
#include <cctype>

#include "platform/foundation/AWSCredentials.h"
#include "platform/foundation/FileIO.h"

using namespace platform;

const std::string Destination::URLKey = "Destination";
const std::string Destination::AddressKey = "Destination Address";
const std::string Destination::KeyFileKey = "Destination Key File";
const std::string Destination::KeysFileKey = "Destination Keys File";
const std::string Destination::EndpointKey = "Destination Endpoint";
const std::string Destination::RegionKey = "Destination Region";
const std::string Destination::NamingKey = "Destination Naming";
const std::string Destination::PublicReadKey = "Destination Public Read";

namespace {

const std::string NamePlaceholder = "{name}";
constexpr size_t RandomNameLength = 20;
constexpr int HighestPort = 65535;

bool isSafe(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-';
}

// Letters and digits, about 103 bits of them.
std::string randomName() {
  static constexpr char Alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string name;
  while (name.size() < RandomNameLength) {
    unsigned char bytes[32];
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) continue;
    // 252 is the largest multiple of 36 that a byte holds: no letter is likelier than another.
    for (unsigned char byte : bytes)
      if (byte < 252 && name.size() < RandomNameLength) name += Alphabet[byte % 36];
  }
  return name;
}

// ".png" of "Picture 3.PNG"; "" when the name has no extension that is a short word.
std::string extensionOf(const std::string& fileName) {
  const size_t dot = fileName.rfind('.');
  if (dot == std::string::npos || dot == 0 || fileName.size() - dot > 11) return "";
  std::string extension = fileName.substr(dot);
  if (extension.size() == 1 || !std::all_of(extension.begin() + 1, extension.end(),
                                            [](unsigned char c) { return std::isalnum(c); }))
    return "";
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return extension;
}

std::string percentDecoded(const std::string& text) {
  std::string decoded;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() &&
        std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      decoded += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      decoded += text[i];
    }
  }
  return decoded;
}

// Whether the text is an http or https URL with a host.
bool isWebAddress(const std::string& text) {
  const size_t start = text.starts_with("https://") ? 8 : text.starts_with("http://") ? 7 : 0;
  return start > 0 && start < text.size() && text.find_first_of("/?#@ ", start) != start &&
         text.find_first_of(" \t\r\n") == std::string::npos;
}

void setString(Dictionary& domain, const std::string& key, const std::string& value) {
  if (value.empty())
    domain.erase(key);
  else
    domain.insert_or_assign(key, Value(value));
}

std::string stringIn(const Dictionary& domain, const std::string& key) {
  const Value* value = valueForKey(domain, key);
  return value && value->string() ? *value->string() : "";
}

Destination::Failure failure(const std::string& key, const std::string& reason) {
  return {key + ": " + reason};
}

}  // namespace

std::variant<Destination, Destination::Failure> Destination::make(const Settings& settings) {
  Destination destination;
  destination.settings_ = settings;
  if (auto failed = destination.readURL()) return *failed;
  const std::string& address = settings.address;
  if (address.empty())
    return failure(AddressKey,
                   "no address template, so no address can be made for the clipboard (give one "
                   "such as https://img.example.org/{name})");
  if (address.find(NamePlaceholder) == std::string::npos)
    return failure(AddressKey, address + " has no {name} for the stored name");
  if (!isWebAddress(destination.addressFor("x.png")))
    return failure(AddressKey, address + " makes no http or https address");
  if (settings.naming != "own" && settings.naming != "random")
    return failure(NamingKey, settings.naming + " is neither own nor random");
  if (destination.kind_ == Kind::S3) {
    if (auto failed = destination.checkStore()) return *failed;
  } else if (!settings.keysFile.empty() || !settings.endpoint.empty() || !settings.region.empty() ||
             settings.publicRead) {
    return failure(URLKey,
                   "an sftp destination has no keys file, endpoint, region or public "
                   "reading: those are an s3 destination's");
  }
  if (auto failed = destination.checkFiles()) return *failed;
  return destination;
}

// sftp://user@host[:port]/folder/ or s3://bucket/prefix/.
std::optional<Destination::Failure> Destination::readURL() {
  const std::string& url = settings_.url;
  const bool sftp = url.starts_with("sftp://"), s3 = url.starts_with("s3://");
  if ((!sftp && !s3) || url.find_first_of("?# \t\r\n") != std::string::npos)
    return failure(URLKey, url + " is neither sftp://user@host/folder/ nor s3://bucket/prefix/");
  kind_ = sftp ? Kind::SFTP : Kind::S3;
  const size_t start = url.find("://") + 3, slash = url.find('/', start);
  const std::string authority = url.substr(start, slash - start);
  // Without a path, an sftp destination is the user's home folder.
  std::string path = slash != std::string::npos ? url.substr(slash) : sftp ? "/~/" : "/";
  if (!path.ends_with('/')) path += '/';
  if (s3) {
    if (authority.empty() || !std::all_of(authority.begin(), authority.end(), isSafe))
      return failure(URLKey, url + " names no bucket (letters, digits, '.', '_', '-')");
    folder_ = authority;
    prefix_ = percentDecoded(path.substr(1));
    return std::nullopt;
  }
  const size_t at = authority.rfind('@');
  const std::string user = at == std::string::npos ? "" : authority.substr(0, at);
  const std::string server = at == std::string::npos ? authority : authority.substr(at + 1);
  if (user.find(':') != std::string::npos)
    return failure(URLKey,
                   "the address holds a password: log in with a key file or through "
                   "the SSH agent instead");
  if (user.empty()) return failure(URLKey, url + " names no user (sftp://user@host/folder/)");
  const size_t colon = server.rfind(':');
  const bool hasPort = colon != std::string::npos && server.find(']', colon) == std::string::npos;
  const std::string host = hasPort ? server.substr(0, colon) : server;
  const std::string port = hasPort ? server.substr(colon + 1) : "22";
  if (host.empty() || port.empty() || port.size() > 5 ||
      !std::all_of(port.begin(), port.end(), [](unsigned char c) { return std::isdigit(c); }) ||
      std::stoi(port) < 1 || std::stoi(port) > HighestPort)
    return failure(URLKey, url + " names no host and port to reach");
  location_ = url.substr(0, start) + authority + path;
  // A path under "/~/" lies in the user's home folder, where an SFTP session starts.
  folder_ = percentDecoded(path.starts_with("/~/") ? path.substr(3) : path);
  return std::nullopt;
}

std::optional<Destination::Failure> Destination::checkStore() {
  if (!settings_.keyFile.empty())
    return failure(KeyFileKey, "an s3 destination has no SSH key: its keys file is --keys");
  std::string endpoint = settings_.endpoint;
  while (endpoint.ends_with('/')) endpoint.pop_back();
  if (endpoint.empty())
    return failure(EndpointKey,
                   "an s3 destination needs the store's URL (such as "
                   "https://s3.us-east-1.amazonaws.com)");
  const size_t host = endpoint.find("://") + 3;
  if (!isWebAddress(endpoint) || endpoint.find_first_of("/?#", host) != std::string::npos)
    return failure(EndpointKey, settings_.endpoint + " is no http or https URL of a store");
  if (settings_.region.empty() ||
      !std::all_of(settings_.region.begin(), settings_.region.end(), isSafe))
    return failure(RegionKey, "an s3 destination needs the store's region (such as us-east-1)");
  location_ = endpoint;
  return std::nullopt;
}

// The files the settings name exist and are their owner's alone; a keys file holds keys.
std::optional<Destination::Failure> Destination::checkFiles() const {
  std::string error;
  if (!settings_.keyFile.empty() && !contentsOfPrivateFile(settings_.keyFile, &error))
    return failure(KeyFileKey, settings_.keyFile + ": " + error);
  if (settings_.keysFile.empty()) return std::nullopt;
  const auto text = contentsOfPrivateFile(settings_.keysFile, &error);
  if (!text) return failure(KeysFileKey, settings_.keysFile + ": " + error);
  if (!AWSCredentials::fromCredentialsText(*text, "default"))
    return failure(KeysFileKey, settings_.keysFile +
                                    ": no aws_access_key_id and aws_secret_access_key in "
                                    "[default]");
  return std::nullopt;
}

std::optional<Destination::Settings> Destination::settingsIn(const Dictionary& domain) {
  Settings settings;
  settings.url = stringIn(domain, URLKey);
  if (settings.url.empty()) return std::nullopt;
  settings.address = stringIn(domain, AddressKey);
  settings.keyFile = stringIn(domain, KeyFileKey);
  settings.keysFile = stringIn(domain, KeysFileKey);
  settings.endpoint = stringIn(domain, EndpointKey);
  settings.region = stringIn(domain, RegionKey);
  if (const std::string naming = stringIn(domain, NamingKey); !naming.empty())
    settings.naming = naming;
  const Value* publicRead = valueForKey(domain, PublicReadKey);
  settings.publicRead = publicRead && publicRead->boolValue();
  return settings;
}

void Destination::removeFrom(Dictionary& domain) {
  for (const std::string* key : {&URLKey, &AddressKey, &KeyFileKey, &KeysFileKey, &EndpointKey,
                                 &RegionKey, &NamingKey, &PublicReadKey})
    domain.erase(*key);
}

void Destination::storeIn(Dictionary& domain) const {
  removeFrom(domain);
  setString(domain, URLKey, settings_.url);
  setString(domain, AddressKey, settings_.address);
  setString(domain, KeyFileKey, settings_.keyFile);
  setString(domain, KeysFileKey, settings_.keysFile);
  setString(domain, EndpointKey, settings_.endpoint);
  setString(domain, RegionKey, settings_.region);
  setString(domain, NamingKey, settings_.naming);
  if (settings_.publicRead) domain.insert_or_assign(PublicReadKey, Value(true));
}

std::string Destination::nameFor(const std::string& fileName) const {
  const std::string extension = extensionOf(fileName);
  if (!namesItsOwn()) return randomName() + extension;
  const std::string stem = fileName.substr(0, fileName.size() - extension.size());
  std::string safe;
  for (char c : stem) {
    if (isSafe(c))
      safe += c;
    else if (!safe.empty() && safe.back() != '-')
      safe += '-';
  }
  // Never a hidden name: the upload's own dot name must not be taken for it.
  while (!safe.empty() && (safe.front() == '.' || safe.front() == '-')) safe.erase(0, 1);
  while (!safe.empty() && safe.back() == '-') safe.pop_back();
  return (safe.empty() ? randomName() : safe) + extension;
}

std::string Destination::variant(const std::string& name, int number) {
  if (number <= 1) return name;
  const std::string extension = extensionOf(name);
  return name.substr(0, name.size() - extension.size()) + "-" + std::to_string(number) + extension;
}

std::string Destination::addressFor(const std::string& storedName) const {
  std::string address = settings_.address;
  for (size_t at = 0; (at = address.find(NamePlaceholder, at)) != std::string::npos;
       at += storedName.size())
    address.replace(at, NamePlaceholder.size(), storedName);
  return address;
}

std::string Destination::description() const {
  return settings_.url + ", served at " + settings_.address;
}

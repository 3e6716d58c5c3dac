#include "platform/carbon/Processes.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/foundation/Bundle.h"

namespace {

constexpr OSType kApplicationType = fourCharCode("APPL");

std::string procPath(pid_t pid, const char* entry) {
  return "/proc/" + std::to_string(pid) + "/" + entry;
}

std::vector<pid_t> processIDs() {
  std::vector<pid_t> pids;
  DIR* proc = opendir("/proc");
  if (!proc) return pids;
  while (const dirent* entry = readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (*end == '\0' && pid > 0) pids.push_back(static_cast<pid_t>(pid));
  }
  closedir(proc);
  std::sort(pids.begin(), pids.end());
  return pids;
}

// The walk in progress on this thread. It lists /proc once, when it starts (at kNoProcess, or at
// a process its listing does not hold), and goes on through that listing: listing /proc again at
// every step made a walk quadratic in the number of processes. The process it stepped to last
// was found to be ours just then: asking for its information checks only that it still exists.
struct Walk {
  std::vector<pid_t> listing;
  pid_t current = 0;
};

Walk& walk() {
  thread_local Walk current;
  return current;
}

std::span<const pid_t> processIDsAfter(pid_t after) {
  std::vector<pid_t>& listing = walk().listing;
  if (after == kNoProcess || !std::binary_search(listing.begin(), listing.end(), after))
    listing = processIDs();
  return {std::upper_bound(listing.begin(), listing.end(), after), listing.end()};
}

// The environment a process of this user started with; nullopt for another user's process or
// one that is gone. One look-up of its path: the file belongs to the process's user.
std::optional<std::string> environmentOfUsers(pid_t pid) {
  const int fd = open(procPath(pid, "environ").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  std::optional<std::string> contents;
  if (fstat(fd, &st) == 0 && st.st_uid == geteuid()) {
    contents.emplace();
    char buffer[16384];
    ssize_t n = 0;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
      contents->append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return contents;
}

// The value of XDG_RUNTIME_DIR in a process's environment; nullopt when it has none.
std::optional<std::string> runtimeDirOf(const std::string& environment) {
  static const std::string key = "XDG_RUNTIME_DIR=";
  size_t start = 0;
  while (start < environment.size()) {
    const size_t end = std::min(environment.find('\0', start), environment.size());
    if (environment.compare(start, key.size(), key) == 0)
      return environment.substr(start + key.size(), end - start - key.size());
    start = end + 1;
  }
  return std::nullopt;
}

// A process of this user that shares our login session's runtime folder. /proc shows the
// environment a process started with, so this process counts whatever it changed since.
// A process of this user that still runs (or is yet to be reaped).
bool isUsers(pid_t pid) {
  struct stat st {};
  return stat(procPath(pid, "").c_str(), &st) == 0 && st.st_uid == geteuid();
}

bool isOurs(pid_t pid) {
  if (pid == getpid()) return true;
  const auto environment = environmentOfUsers(pid);
  if (!environment) return false;
  const char* ours = std::getenv("XDG_RUNTIME_DIR");
  const auto theirs = runtimeDirOf(*environment);
  return ours ? theirs == std::string(ours) : !theirs;
}

std::optional<pid_t> pidOf(const ProcessSerialNumber* psn) {
  if (!psn || psn->highLongOfPSN != 0 || psn->lowLongOfPSN == kNoProcess) return std::nullopt;
  const auto pid = static_cast<pid_t>(psn->lowLongOfPSN);
  const bool ours = pid == walk().current ? isUsers(pid) : isOurs(pid);
  return ours ? std::optional(pid) : std::nullopt;
}

// The bundle whose Contents/MacOS folder holds the process's executable.
std::optional<platform::NSBundle> bundleOf(pid_t pid) {
  char target[4096];
  const ssize_t n = readlink(procPath(pid, "exe").c_str(), target, sizeof target - 1);
  if (n <= 0) return std::nullopt;
  const std::string executable(target, static_cast<size_t>(n));
  static const std::string macOS = "/Contents/MacOS/";
  const size_t at = executable.rfind(macOS);
  if (at == std::string::npos || executable.find('/', at + macOS.size()) != std::string::npos)
    return std::nullopt;
  return platform::NSBundle::bundleWithPath(executable.substr(0, at));
}

OSType signatureOf(const platform::NSBundle& bundle) {
  const platform::Value* signature =
      platform::valueForKey(bundle.infoDictionary(), "CFBundleSignature");
  const std::string* text = signature ? signature->string() : nullptr;
  if (!text || text->size() != 4) return 0;
  return static_cast<OSType>(static_cast<unsigned char>((*text)[0])) << 24 |
         static_cast<OSType>(static_cast<unsigned char>((*text)[1])) << 16 |
         static_cast<OSType>(static_cast<unsigned char>((*text)[2])) << 8 |
         static_cast<OSType>(static_cast<unsigned char>((*text)[3]));
}

}  // namespace

OSErr GetNextProcess(ProcessSerialNumber* psn) {
  if (!psn || psn->highLongOfPSN != 0) return paramErr;
  for (const pid_t pid : processIDsAfter(static_cast<pid_t>(psn->lowLongOfPSN))) {
    if (isOurs(pid)) {
      walk().current = pid;
      *psn = ProcessSerialNumber{0, static_cast<UInt32>(pid)};
      return noErr;
    }
  }
  return procNotFound;
}

OSErr GetProcessInformation(const ProcessSerialNumber* psn, ProcessInfoRec* info) {
  if (!info) return paramErr;
  const auto pid = pidOf(psn);
  if (!pid) return procNotFound;
  const auto bundle = bundleOf(*pid);
  info->processInfoLength = sizeof *info;
  info->processNumber = *psn;
  info->processType = bundle ? kApplicationType : 0;
  info->processSignature = bundle ? signatureOf(*bundle) : 0;
  return noErr;
}

CFDictionaryRef ProcessInformationCopyDictionary(const ProcessSerialNumber* psn, UInt32) {
  const auto pid = pidOf(psn);
  if (!pid) return nullptr;
  const auto bundle = bundleOf(*pid);
  const std::string identifier = bundle ? bundle->bundleIdentifier() : std::string();
  if (identifier.empty())
    return CFDictionaryCreate(kCFAllocatorDefault, nullptr, nullptr, 0,
                              &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  const platform::CFRef<CFStringRef> value(
      CFStringCreateWithCString(kCFAllocatorDefault, identifier.c_str(), kCFStringEncodingUTF8));
  const void* keys[] = {kCFBundleIdentifierKey};
  const void* values[] = {value.get()};
  return CFDictionaryCreate(kCFAllocatorDefault, keys, values, 1, &kCFTypeDictionaryKeyCallBacks,
                            &kCFTypeDictionaryValueCallBacks);
}

OSStatus GetProcessPID(const ProcessSerialNumber* psn, pid_t* pid) {
  const auto found = pidOf(psn);
  if (!found || !pid) return procNotFound;
  *pid = *found;
  return noErr;
}

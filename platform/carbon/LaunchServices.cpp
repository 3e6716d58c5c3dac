#include "platform/carbon/LaunchServices.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/carbon/AETransport.h"
#include "platform/foundation/Bundle.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kLaunchTimeout = std::chrono::seconds(5);
constexpr auto kLaunchPoll = std::chrono::milliseconds(5);

std::vector<std::string> applicationFolders() {
  std::vector<std::string> folders = {platform::systemPath("/System/Library/CoreServices"),
                                      platform::systemPath("/Applications")};
  if (const char* home = std::getenv("HOME"); home && *home)
    folders.push_back(std::string(home) + "/Applications");
  return folders;
}

std::vector<std::string> bundlesIn(const std::string& folder) {
  std::vector<std::string> bundles;
  DIR* dir = opendir(folder.c_str());
  if (!dir) return bundles;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".app") == 0)
      bundles.push_back(folder + "/" + name);
  }
  closedir(dir);
  std::sort(bundles.begin(), bundles.end());
  return bundles;
}

bool hasSignature(const std::string& bundlePath, OSType creator) {
  const auto bundle = platform::NSBundle::bundleWithPath(bundlePath);
  const platform::Value* signature =
      bundle ? platform::valueForKey(bundle->infoDictionary(), "CFBundleSignature") : nullptr;
  const std::string* text = signature ? signature->string() : nullptr;
  if (!text || text->size() != 4) return false;
  char code[5] = {};
  std::memcpy(code, text->data(), 4);
  return fourCharCode(reinterpret_cast<const char(&)[5]>(code)) == creator;
}

std::optional<std::string> executableOf(const std::string& bundlePath) {
  const auto bundle = platform::NSBundle::bundleWithPath(bundlePath);
  return bundle ? bundle->executablePath() : std::nullopt;
}

// In the new process, before exec: only async-signal-safe calls.
[[noreturn]] void execDetached(const char* executable) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction defaults {};
  defaults.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &defaults, nullptr);
  const int null = open("/dev/null", O_RDWR);
  for (int fd = 0; fd < 3; ++fd) dup2(null, fd);
  close_range(3, ~0U, 0);
  char* const argv[] = {const_cast<char*>(executable), nullptr};
  execv(executable, argv);
  _exit(127);
}

// Starts the executable as a grandchild in a session of its own, so that it outlives us and
// never becomes our zombie; gives its process ID.
std::optional<pid_t> spawnDetached(const std::string& executable) {
  int channel[2];
  if (pipe2(channel, O_CLOEXEC) != 0) return std::nullopt;
  const pid_t child = fork();
  if (child == 0) {
    setsid();
    const pid_t grandchild = fork();
    if (grandchild == 0) execDetached(executable.c_str());
    [[maybe_unused]] const ssize_t n = write(channel[1], &grandchild, sizeof grandchild);
    _exit(0);
  }
  close(channel[1]);
  pid_t launched = -1;
  const bool received =
      child > 0 && read(channel[0], &launched, sizeof launched) == sizeof launched;
  close(channel[0]);
  if (child > 0) waitpid(child, nullptr, 0);
  return received && launched > 0 ? std::optional(launched) : std::nullopt;
}

bool running(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char stat[512];
  const ssize_t n = read(fd, stat, sizeof stat - 1);
  close(fd);
  if (n <= 0) return false;
  stat[n] = '\0';
  const char* afterName = std::strrchr(stat, ')');
  return afterName && afterName[1] == ' ' && afterName[2] != 'Z' && afterName[2] != 'X';
}

bool answersEvents(pid_t pid) {
  const std::string path = platform::eventSocketPath(pid);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool accepted =
      fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  if (fd >= 0) close(fd);
  return accepted;
}

}  // namespace

OSStatus LSFindApplicationForInfo(OSType inCreator, CFStringRef inBundleID, CFStringRef inName,
                                  FSRef* outAppRef, CFURLRef* outAppURL) {
  if (inBundleID || inName || outAppURL || !outAppRef || inCreator == 0) return paramErr;
  for (const auto& folder : applicationFolders())
    for (const auto& bundle : bundlesIn(folder))
      if (hasSignature(bundle, inCreator) &&
          FSPathMakeRef(reinterpret_cast<const UInt8*>(bundle.c_str()), outAppRef, nullptr) ==
              noErr)
        return noErr;
  return kLSApplicationNotFoundErr;
}

OSStatus LSOpenApplication(const LSApplicationParameters* appParams, ProcessSerialNumber* outPSN) {
  if (!appParams || !appParams->application || appParams->version != 0 ||
      appParams->flags != kLSLaunchDefaults || appParams->asyncLaunchRefCon ||
      appParams->environment || appParams->argv || appParams->initialEvent)
    return paramErr;
  const auto executable = executableOf(appParams->application->path);
  if (!executable) return kLSNoExecutableErr;
  const auto pid = spawnDetached(*executable);
  if (!pid) return kLSUnknownErr;
  const auto deadline = Clock::now() + kLaunchTimeout;
  while (!answersEvents(*pid) && Clock::now() < deadline) {
    if (!running(*pid)) return kLSUnknownErr;
    std::this_thread::sleep_for(kLaunchPoll);
  }
  if (outPSN) *outPSN = ProcessSerialNumber{0, static_cast<UInt32>(*pid)};
  return noErr;
}

#include "platform/carbon/LaunchServices.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/carbon/AETransport.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileIO.h"

namespace {

constexpr auto kLaunchTimeout = std::chrono::seconds(5);
// How long an instance already running gets to show that it answers.
constexpr auto kRunningInstanceBudget = std::chrono::seconds(1);

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

// The bundle's CFBundleSignature; 0 when it has none.
OSType signatureOf(const std::string& bundlePath) {
  const auto bundle = platform::NSBundle::bundleWithPath(bundlePath);
  const platform::Value* signature =
      bundle ? platform::valueForKey(bundle->infoDictionary(), "CFBundleSignature") : nullptr;
  const std::string* text = signature ? signature->string() : nullptr;
  if (!text || text->size() != 4) return 0;
  char code[5] = {};
  std::memcpy(code, text->data(), 4);
  return fourCharCode(reinterpret_cast<const char(&)[5]>(code));
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

std::string canonicalPath(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  const std::string canonical = resolved ? resolved : "";
  std::free(resolved);
  return canonical;
}

std::string programOf(pid_t pid) {
  char target[4096];
  const std::string link = "/proc/" + std::to_string(pid) + "/exe";
  const ssize_t n = readlink(link.c_str(), target, sizeof target);
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

// An application: its program, and its signature, which another copy of it has too.
struct Application {
  std::string program;
  OSType signature;
};

bool runs(const ProcessSerialNumber& psn, const Application& application) {
  ProcessInfoRec info{};
  return programOf(static_cast<pid_t>(psn.lowLongOfPSN)) == application.program ||
         (application.signature && GetProcessInformation(&psn, &info) == noErr &&
          info.processSignature == application.signature);
}

// The first process of this session that runs the application and answers events.
std::optional<pid_t> answeringInstance(const Application& application) {
  ProcessSerialNumber psn{0, kNoProcess};
  while (GetNextProcess(&psn) == noErr) {
    const auto pid = static_cast<pid_t>(psn.lowLongOfPSN);
    if (runs(psn, application) && platform::processAnswersEvents(pid, kRunningInstanceBudget))
      return pid;
  }
  return std::nullopt;
}

// Starts the program and waits until it answers. One that steps aside at once, because an
// instance started meanwhile serves the session, leaves that instance to be used.
std::optional<pid_t> launch(const Application& application) {
  const auto pid = spawnDetached(application.program);
  if (!pid) return std::nullopt;
  if (platform::processAnswersEvents(*pid, kLaunchTimeout)) return pid;
  return answeringInstance(application);
}

}  // namespace

OSStatus LSFindApplicationForInfo(OSType inCreator, CFStringRef inBundleID, CFStringRef inName,
                                  FSRef* outAppRef, CFURLRef* outAppURL) {
  if (inBundleID || inName || outAppURL || !outAppRef || inCreator == 0) return paramErr;
  for (const auto& folder : applicationFolders())
    for (const auto& bundle : bundlesIn(folder))
      if (signatureOf(bundle) == inCreator &&
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
  const Application application{executable ? canonicalPath(*executable) : std::string(),
                                signatureOf(appParams->application->path)};
  if (application.program.empty()) return kLSNoExecutableErr;
  // Opens in one session take turns, so that two at once never both start the application.
  std::string error;
  const std::string folder = platform::eventSocketFolder(&error);
  std::optional<platform::FileLock> turn;
  if (!folder.empty()) turn.emplace(folder + "/launch.lock", kLaunchTimeout);
  auto pid = answeringInstance(application);
  if (!pid) pid = launch(application);
  if (!pid) return kLSUnknownErr;
  if (outPSN) *outPSN = ProcessSerialNumber{0, static_cast<UInt32>(*pid)};
  return noErr;
}

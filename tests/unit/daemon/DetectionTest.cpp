// Screenshot detection: the pattern from the capture tool's strings tables, the capture settings,
// and the folder watcher on real folders: which names are handed on, in which order, and when.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <regex.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <filesystem>

#include "platform/foundation/Exception.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/unit/daemon/AgentFixture.h"

using namespace agent_testing;
using testing_support::ScopedEnv;
namespace fs = std::filesystem;

namespace {

// Only the one localization that fits the user's language is searched; without a usable table
// there, or with a pattern that does not compile, the start-up ends.
TEST(Pattern, EachLanguageHasItsOwnAnchoredPatternOrEndsTheStartUp) {
  AgentEnvironment environment;
  testing_support::TempDir root;
  const auto table = [&](const std::string& language, const std::string& file,
                         const std::string& text) {
    const std::string folder =
        root.path() + "/System/Library/CoreServices/SystemUIServer.app/Contents/Resources/" +
        language + ".lproj";
    fs::create_directories(folder);
    testing_support::writeFile(folder + "/" + file, text);
  };
  table("sv", "ScreenCapture.strings", "\"%@ %@\" = \"%@ %@\";\n\"Picture\" = \"Picture\";\n");
  table("en", "ScreenCapture.strings", "\"%@ %@\" = \"%@ %@\";\n\"Picture\" = \"Pic(ture\";\n");
  table("fr", "Other.strings", "\"Picture\" = \"Image\";\n");
  ScopedEnv systemRoot("KAPSHO_SYSTEM_ROOT", root.path());
  // Without a stored folder the Desktop is watched.
  platform::NSUserDefaults::setPersistentDomain({{"type", "JPG"}}, "com.apple.screencapture");
  fs::create_directories(std::string(getenv("HOME")) + "/Desktop");
  regex_t expected;
  const int code = regcomp(&expected, "^Pic(ture [[:digit:]]+$", REG_EXTENDED | REG_NOSUB);
  const std::string unlocalized =
      "LocalizationError: Could not find SystemUIServer localization for ScreenCapture";
  const struct {
    const char* language;
    std::vector<const char*> matching, other;
    std::string failure = "";
  } cases[] = {
      {"sv",
       {"Picture 12", "Picture 007"},
       {"Picture", "Picture ", "Picture 12 copy", "My Picture 12", "picture 12"}},
      {"en", {}, {}, "RegexError: Error compiling regex: " + regerror_str(code, &expected)},
      {"fr", {}, {}, unlocalized},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.language);
    ScopedEnv language("LANGUAGE", c.language);
    try {
      KapshoController controller;
      EXPECT_EQ(c.failure, "");
      for (const char* name : c.matching) EXPECT_TRUE(controller.matchPicture(name)) << name;
      for (const char* name : c.other) EXPECT_FALSE(controller.matchPicture(name)) << name;
      EXPECT_EQ(controller.scType(), "JPG");
      EXPECT_EQ(controller.scPath(), std::string(getenv("HOME")) + "/Desktop");
    } catch (const platform::NSException& exception) {
      EXPECT_EQ(exception.name() + ": " + exception.reason(), c.failure);
    }
  }
}

// Records what the watcher hands on instead of uploading it.
class RecordingController : public KapshoController {
 public:
  void matchPath(const std::string& path) override { handedOn.push_back(path); }
  std::vector<std::string> handedOn;
};

// Modification times in seconds after an arbitrary start: files are handed on in their order,
// which the clock's coarse steps would leave to chance.
void setTime(const std::string& path, int second) {
  const timespec times[2] = {{1000000000L + second, 0}, {1000000000L + second, 0}};
  utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

void touch(const std::string& path, int second = 0) {
  testing_support::writeFile(path, "bytes");
  setTime(path, second);
}

// Driven event by event, so that each step is seen by the watcher before the next one.
TEST(Watcher, FreshWholeScreenshotsGoOnceOldestFirst) {
  AgentEnvironment environment;
  const std::string folder = environment.folder();
  touch(folder + "/Picture 1.png");
  RecordingController controller;
  const auto handle = [&](uint32_t flags) {
    struct kevent event;
    EV_SET(&event, 3, EVFILT_VNODE, EV_CLEAR, flags, 0, nullptr);
    controller.handleEvents(&event, 1);
    QCoreApplication::processEvents();
  };
  const auto expectHandedOn = [&](const std::vector<const char*>& names) {
    std::vector<std::string> paths;
    for (const char* name : names) paths.push_back(folder + "/Picture " + name + ".png");
    EXPECT_EQ(controller.handedOn, paths);
  };
  // One burst: the newest goes last; a file still open for writing waits for its writers.
  const int first = open((folder + "/Picture 3.png").c_str(), O_WRONLY | O_CREAT, 0600);
  const int second = open((folder + "/Picture 3.png").c_str(), O_WRONLY);
  setTime(folder + "/Picture 3.png", 4);
  touch(folder + "/Picture 2.png", 3);
  touch(folder + "/Picture 10.png", 2);
  touch(folder + "/Picture 11.png", 2);
  for (const char* other : {"Picture 4.PNG", "Picture 4.jpeg", "Screenshot 5.png", "Picture 6"})
    touch(folder + "/" + other);
  fs::create_directory(folder + "/Picture 7.png");
  fs::create_symlink(folder + "/Picture 1.png", folder + "/Picture 8.png");
  handle(NOTE_WRITE);
  expectHandedOn({"8", "10", "11", "2"});
  // A writer that opens a file while its lease is tried breaks the lease: the kernel's SIGIO
  // must not end the agent.
  struct sigaction io {};
  sigaction(SIGIO, nullptr, &io);
  EXPECT_EQ(io.sa_handler, SIG_IGN);
  close(first);
  handle(NOTE_CLOSE_WRITE);
  expectHandedOn({"8", "10", "11", "2"});
  close(second);
  handle(NOTE_WRITE | NOTE_CLOSE_WRITE);
  expectHandedOn({"8", "10", "11", "2", "3"});

  // A skipped name renamed to a qualifying one, and a file moved in, are fresh; none seen before.
  fs::rename(folder + "/Screenshot 5.png", folder + "/Picture 5.png");
  testing_support::TempDir outside;
  touch(outside.file("capture"), -1);
  fs::rename(outside.file("capture"), folder + "/Picture 9.png");
  handle(NOTE_WRITE);
  expectHandedOn({"8", "10", "11", "2", "3", "9", "5"});

  // A file that leaves the folder while it is written is no longer awaited: back and closed, it
  // goes once like any other.
  const int third = open((folder + "/Picture 12.png").c_str(), O_WRONLY | O_CREAT, 0600);
  setTime(folder + "/Picture 12.png", 5);
  handle(NOTE_WRITE);
  fs::rename(folder + "/Picture 12.png", outside.file("moved"));
  handle(NOTE_WRITE);
  fs::rename(outside.file("moved"), folder + "/Picture 12.png");
  close(third);
  handle(NOTE_WRITE | NOTE_CLOSE_WRITE);
  expectHandedOn({"8", "10", "11", "2", "3", "9", "5", "12"});

  // A listing that fails empties the snapshot: once the folder lists again, all are fresh.
  fs::rename(folder, folder + ".away");
  handle(NOTE_WRITE);
  fs::rename(folder + ".away", folder);
  controller.handedOn.clear();
  handle(NOTE_WRITE);
  expectHandedOn({"9", "1", "5", "8", "10", "11", "2", "3", "12"});
}

}  // namespace

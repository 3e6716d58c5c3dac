// Screenshot detection: the pattern from the capture tool's strings tables, the capture settings
// and the set-up failures that end the start-up, and the folder watcher on real folders: which
// names are handed on, in which order, and when.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <regex.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <atomic>
#include <filesystem>
#include <thread>

#include "platform/foundation/Exception.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/unit/daemon/AgentFixture.h"

using namespace agent_testing;
using testing_support::ScopedEnv;
namespace fs = std::filesystem;

namespace {

platform::NSException setupFailure() {
  try {
    KapshoController controller;
  } catch (const platform::NSException& exception) {
    return exception;
  }
  return platform::NSException("", "");
}

// Only the one localization that fits the user's language is searched; without a usable table
// there, or with a pattern that does not compile, the start-up ends.
TEST(Pattern, EachLanguageHasItsOwnAnchoredPatternOrEndsTheStartUp) {
  AgentEnvironment environment;
  testing_support::TempDir root;
  const auto table = [&](const std::string& language, const std::string& file,
                         const std::string& text) {
    const std::string folder = root.path() +
                               "/System/Library/CoreServices/SystemUIServer.app/Contents/"
                               "Resources/" +
                               language + ".lproj";
    std::filesystem::create_directories(folder);
    testing_support::writeFile(folder + "/" + file, text);
  };
  const auto pattern = [&](const char* language, const std::string& format,
                           const std::string& word) {
    table(language, "ScreenCapture.strings",
          "\"%@ %@\" = \"" + format + "\";\n\"Picture\" = \"" + word + "\";\n");
  };
  pattern("sv", "%@ %@", "Picture");
  pattern("de", "%2$@ %1$@", "Bild");
  pattern("es", "%@-%@", "Pic.ure");
  pattern("nl", "%@ (%@)", "Shot");
  pattern("en", "%@ %@", "Pic(ture");
  table("fr", "Other.strings", "\"Picture\" = \"Image\";\n");
  table("it", "ScreenCapture.strings", "\"Picture\" = \"Immagine\";\n");
  ScopedEnv systemRoot("KAPSHO_SYSTEM_ROOT", root.path());
  regex_t expected;
  const int code = regcomp(&expected, "^Pic(ture [[:digit:]]+$", REG_EXTENDED | REG_NOSUB);
  const std::string unlocalized = "Could not find SystemUIServer localization for ScreenCapture";
  const struct {
    const char* language;
    std::vector<const char*> matching, other;
    std::string failure = "", reason = "";
  } cases[] = {
      {"sv",
       {"Picture 12", "Picture 007", "Picture 1"},
       {"Picture", "Picture 1a", "Picture 12 copy", "My Picture 12", "picture 12", "Picture  1"}},
      {"de", {"12 Bild"}, {"Bild 12", "12 Bild 3", "Picture 12"}},
      {"es", {"Picture-3", "PicXure-3"}, {"Picture 3", "Pic-3"}},
      {"nl", {"Shot 4", "Shot 44"}, {"Shot (4)"}},
      {"en", {}, {}, "RegexError", "Error compiling regex: " + regerror_str(code, &expected)},
      {"fr", {}, {}, "LocalizationError", unlocalized},
      {"it", {}, {}, "LocalizationError", unlocalized},
  };
  for (const auto& c : cases) {
    ScopedEnv language("LANGUAGE", c.language);
    if (!c.failure.empty()) {
      const auto failure = setupFailure();
      EXPECT_EQ(failure.name(), c.failure) << c.language;
      EXPECT_EQ(failure.reason(), c.reason) << c.language;
      continue;
    }
    KapshoController controller;
    for (const char* name : c.matching) EXPECT_TRUE(controller.matchPicture(name)) << name;
    for (const char* name : c.other) EXPECT_FALSE(controller.matchPicture(name)) << name;
  }
  // The staged Japanese table numbers its placeholders.
  ScopedEnv staged("KAPSHO_SYSTEM_ROOT", testing_support::stagePath("share/kapsho"));
  ScopedEnv language("LANGUAGE", "ja");
  KapshoController controller;
  EXPECT_TRUE(controller.matchPicture("12 \xE3\x83\x94\xE3\x82\xAF\xE3\x83\x81\xE3\x83\xA3"));
  EXPECT_FALSE(controller.matchPicture("Picture 12"));
}

// Stored values are taken as they are; without them, png files on the Desktop.
TEST(CaptureSettings, StoredValuesAsTheyAreElseFallbacks) {
  AgentEnvironment environment;
  const std::string desktop = std::string(getenv("HOME")) + "/Desktop";
  std::filesystem::create_directories(desktop);
  const struct {
    platform::Dictionary settings;
    std::string type, path;
  } cases[] = {
      {{{"location", environment.folder()}, {"type", "JPG"}}, "JPG", environment.folder()},
      {{}, "png", desktop},
  };
  for (const auto& c : cases) {
    platform::NSUserDefaults::setPersistentDomain(c.settings, "com.apple.screencapture");
    KapshoController controller;
    EXPECT_EQ(controller.scType(), c.type);
    EXPECT_EQ(controller.scPath(), c.path);
  }
}

// Records what the watcher hands on, with the file's bytes at that moment, instead of uploading
// it, and counts the folder listings.
class RecordingController : public KapshoController {
 public:
  std::optional<NameSet> scanDirectory(const std::string& path, int mask) override {
    auto names = KapshoController::scanDirectory(path, mask);
    ++scans;
    return names;
  }
  void matchPath(const std::string& path) override {
    handedOn.push_back(path);
    contents.push_back(testing_support::readFile(path).value_or("(unreadable)"));
  }

  std::atomic<int> scans{0};
  std::vector<std::string> handedOn, contents;
};

// Runs the watcher's loop on a thread of its own until the hang-up signal ends it.
struct Watcher {
  ~Watcher() {
    kill(getpid(), SIGHUP);
    thread.join();
  }
  std::thread thread;
};

// A file with the given modification time, in seconds after an arbitrary start.
void touch(const std::string& path, int second = 0) {
  testing_support::writeFile(path, "bytes");
  const timespec times[2] = {{1000000000L + second, 0}, {1000000000L + second, 0}};
  utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

TEST(Watcher, HandsOnFreshScreenshotsOnceOldestFirst) {
  AgentEnvironment environment;
  const std::string folder = environment.folder();
  // The capture folder is named through a link (the last component), with slashes to spare.
  testing_support::TempDir links;
  fs::create_directory_symlink(folder, links.file("shots"));
  platform::NSUserDefaults::setPersistentDomain({{"location", links.path() + "//shots"}},
                                                "com.apple.screencapture");
  const std::string shots = links.file("shots") + "/";
  touch(folder + "/Picture 1.png");
  RecordingController controller;
  // Made before the watcher first waits: one burst, one listing, the newest handed on last.
  touch(folder + "/Picture 2.png", 3);
  touch(folder + "/Picture 10.png", 2);
  touch(folder + "/Picture 11.png", 2);
  for (const char* other : {"Picture 3.PNG", "Picture 4.jpeg", "Screenshot 5.png", "Picture 6"})
    touch(folder + "/" + other);
  fs::create_directory(folder + "/Picture 7.png");
  fs::create_symlink(folder + "/Picture 1.png", folder + "/Picture 8.png");
  Watcher watcher{std::thread([&] { controller.watchQueue(); })};
  ASSERT_TRUE(spinUntil([&] { return controller.handedOn.size() == 4; }));
  EXPECT_EQ(controller.scans, 1);
  EXPECT_EQ(controller.handedOn,
            (std::vector<std::string>{shots + "Picture 8.png", shots + "Picture 10.png",
                                      shots + "Picture 11.png", shots + "Picture 2.png"}));

  // A skipped name is remembered; renamed to a qualifying name, and moved in from outside, it
  // is fresh. Names seen before are not handed on again.
  fs::rename(folder + "/Screenshot 5.png", folder + "/Picture 5.png");
  testing_support::TempDir outside;
  touch(outside.file("capture"), -1);
  fs::rename(outside.file("capture"), folder + "/Picture 9.png");
  ASSERT_TRUE(spinUntil([&] { return controller.handedOn.size() >= 6; }));
  const int scans = controller.scans;
  touch(folder + "/notes.txt");
  ASSERT_TRUE(spinUntil([&] { return controller.scans > scans; }));
  QCoreApplication::processEvents();
  ASSERT_EQ(controller.handedOn.size(), 6u);
  EXPECT_EQ(std::set<std::string>(controller.handedOn.begin() + 4, controller.handedOn.end()),
            (std::set<std::string>{shots + "Picture 5.png", shots + "Picture 9.png"}));
}

// Driven event by event, so that each step is seen by the watcher before the next one.
TEST(Watcher, EventByEventOnlyWholeFilesGoAndEachOnce) {
  AgentEnvironment environment;
  const std::string folder = environment.folder();
  RecordingController controller;
  struct kevent changed, closed, both;
  EV_SET(&changed, 3, EVFILT_VNODE, EV_CLEAR, NOTE_WRITE, 0, nullptr);
  EV_SET(&closed, 3, EVFILT_VNODE, EV_CLEAR, NOTE_CLOSE_WRITE, 0, nullptr);
  EV_SET(&both, 3, EVFILT_VNODE, EV_CLEAR, NOTE_WRITE | NOTE_CLOSE_WRITE, 0, nullptr);
  // The hang-up signal ends a batch, odd events do not, and an error event raises.
  struct kevent batch[3];
  EV_SET(&batch[0], SIGUSR1, EVFILT_SIGNAL, EV_CLEAR, 0, 1, nullptr);
  EV_SET(&batch[1], 3, -9, EV_CLEAR, 0, 0, nullptr);
  EV_SET(&batch[2], SIGHUP, EVFILT_SIGNAL, EV_CLEAR, 0, 1, nullptr);
  EXPECT_FALSE(controller.handleEvents(batch, 2));
  EXPECT_TRUE(controller.handleEvents(batch, 3));
  EV_SET(&batch[0], 3, EVFILT_VNODE, EV_ERROR, 0, EBADF, nullptr);
  try {
    controller.handleEvents(batch, 1);
    ADD_FAILURE() << "an error event raises";
  } catch (const platform::NSException& exception) {
    EXPECT_EQ(exception.name(), "KQueueError");
    EXPECT_EQ(exception.reason(), "An error occurred with kqueue: Bad file descriptor");
  }

  const int first = open((folder + "/Picture 1.png").c_str(), O_WRONLY | O_CREAT, 0600);
  const int second = open((folder + "/Picture 1.png").c_str(), O_WRONLY);
  ASSERT_EQ(write(first, "first-half-", 11), 11);
  touch(folder + "/Picture 2.png");
  controller.handleEvents(&changed, 1);
  ASSERT_TRUE(spinUntil([&] { return controller.handedOn.size() == 1; }));
  EXPECT_EQ(controller.handedOn[0], folder + "/Picture 2.png") << "a whole file goes at once";
  // A writer that opens a file while its lease is tried breaks the lease: the kernel's SIGIO
  // (measured: within 40,000 tries) must not end the agent.
  struct sigaction io {};
  sigaction(SIGIO, nullptr, &io);
  EXPECT_EQ(io.sa_handler, SIG_IGN);

  close(first);
  controller.handleEvents(&closed, 1);
  ASSERT_EQ(pwrite(second, "second-half", 11, 11), 11);
  close(second);
  controller.handleEvents(&closed, 1);
  controller.handleEvents(&both, 1);
  ASSERT_TRUE(spinUntil([&] { return controller.handedOn.size() == 2; }));
  EXPECT_EQ(controller.handedOn[1], folder + "/Picture 1.png");
  EXPECT_EQ(controller.contents[1], "first-half-second-half");
  controller.handleEvents(&both, 1);
  QCoreApplication::processEvents();
  EXPECT_EQ(controller.handedOn.size(), 2u) << "exactly once";

  // A file that leaves the folder while it is written is no longer awaited: back and closed, it
  // is a fresh file like any other.
  testing_support::TempDir outside;
  const int third = open((folder + "/Picture 3.png").c_str(), O_WRONLY | O_CREAT, 0600);
  controller.handleEvents(&changed, 1);
  fs::rename(folder + "/Picture 3.png", outside.file("moved"));
  controller.handleEvents(&changed, 1);
  fs::rename(outside.file("moved"), folder + "/Picture 3.png");
  close(third);
  controller.handleEvents(&both, 1);
  QCoreApplication::processEvents();
  const std::vector<std::string> whole = {folder + "/Picture 2.png", folder + "/Picture 1.png",
                                          folder + "/Picture 3.png"};
  EXPECT_EQ(controller.handedOn, whole);

  // A listing that fails (the folder moved away) empties the snapshot: once the folder lists
  // again, every screenshot in it is fresh.
  fs::rename(folder, folder + ".away");
  controller.handleEvents(&changed, 1);
  fs::rename(folder + ".away", folder);
  controller.handleEvents(&changed, 1);
  ASSERT_TRUE(spinUntil([&] { return controller.handedOn.size() == 6; }));
  EXPECT_EQ(std::vector(controller.handedOn.begin() + 3, controller.handedOn.end()), whole);
}

}  // namespace

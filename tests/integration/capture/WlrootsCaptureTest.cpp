// kapsho-capture on a real wlroots compositor: sway, headless, showing a red background. Its
// session bus starts the real portal on demand, as a desktop's does: without an Access backend
// (xdg-desktop-portal-gtk) the portal offers no Screenshot interface and grim takes the picture;
// with it, the portal and xdg-desktop-portal-wlr do. sway refuses to run as root, so as root the
// compositor, the session and the tool run as nobody, in a home under the test's folder.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QImage>
#include <QImageReader>
#include <filesystem>

#include "tests/support/Desktop.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

const std::string PortalBackends = "/usr/share/xdg-desktop-portal/portals";

bool installed(const std::string& path) {
  return access(path.c_str(), X_OK) == 0;
}

// A session of nobody's (of the test's own user when it is not root): a home and a runtime
// folder of its own, the environment a program of the session starts with.
class Session {
 public:
  Session() : home_(root_.file("home")), runtime_(root_.file("run")) {
    chmod(root_.path().c_str(), 0755);
    fs::create_directories(home_ + "/.config");
    fs::create_directories(runtime_);
    chmod(runtime_.c_str(), 0700);
    for (const auto& entry : fs::recursive_directory_iterator(root_.path()))
      own(entry.path().string());
  }
  // The command as the session's user, with only the session's environment and `more`.
  std::vector<std::string> as(const std::vector<std::string>& command,
                              const std::vector<std::string>& more = {}) const {
    std::vector<std::string> argv;
    if (getuid() == 0)
      argv = {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"};
    argv.insert(argv.end(),
                {"env", "-i", "HOME=" + home_, "XDG_RUNTIME_DIR=" + runtime_,
                 "XDG_CONFIG_HOME=" + home_ + "/.config", "LANGUAGE=en", "XDG_CURRENT_DESKTOP=sway",
                 "KAPSHO_SYSTEM_ROOT=" + stagePath("share/kapsho")});
    argv.insert(argv.end(), more.begin(), more.end());
    argv.insert(argv.end(), command.begin(), command.end());
    return argv;
  }
  // A folder of the session's user.
  std::string folder(const std::string& name) const {
    fs::create_directories(home_ + "/" + name);
    own(home_ + "/" + name);
    return home_ + "/" + name;
  }
  const std::string& runtime() const { return runtime_; }
  std::string logs(const std::string& name) const { return root_.file(name); }

 private:
  static void own(const std::string& path) {
    if (getuid() == 0) {
      EXPECT_EQ(lchown(path.c_str(), 65534, 65534), 0) << path;
    }
  }
  TempDir root_;
  std::string home_, runtime_;
};

// The compositor's socket in the runtime folder, once it listens; "" at the deadline.
std::string waylandSocket(const std::string& runtime) {
  std::string name;
  waitUntil([&] {
    for (const auto& entry : fs::directory_iterator(runtime))
      if (entry.is_socket() && entry.path().filename().string().starts_with("wayland-"))
        name = entry.path().filename().string();
    return !name.empty();
  });
  return name;
}

// Each capture as the session's user, with a bus of its own that starts the portal on demand,
// told where the portal's backends are described; on the capture's PATH only the named programs.
// What the capture left in the folder (name, format, size, and whether its middle is the
// background's red), then its status and, after a failure, its errors without the program's name.
std::string capture(const Session& session, const std::string& wayland, const std::string& type,
                    const std::vector<std::string>& arguments, const std::string& backends,
                    const std::vector<std::string>& programs) {
  TempDir bin;
  chmod(bin.path().c_str(), 0755);
  for (const std::string& program : programs)
    fs::create_symlink(program, bin.file(fs::path(program).filename()));
  const std::string folder = session.folder("shots-" + type), bus = session.runtime() + "/bus";
  // The services the bus starts find their programs as on any desktop (the portal's -wlr runs
  // grim); the capture finds only the named ones.
  std::vector<std::string> environment = {"WAYLAND_DISPLAY=" + wayland, "PATH=/usr/bin:/bin",
                                          "XDG_DESKTOP_PORTAL_DIR=" + backends,
                                          "DBUS_SESSION_BUS_ADDRESS=unix:path=" + bus};
  runCommand(session.as({stagePath("bin/kapsho-defaults"), "write", "com.apple.screencapture",
                         "location", "-string", folder}));
  runCommand(session.as({stagePath("bin/kapsho-defaults"), "write", "com.apple.screencapture",
                         "type", "-string", type}));
  ChildProcess daemon(
      session.as({"/usr/bin/dbus-daemon", "--session", "--nofork", "--address=unix:path=" + bus},
                 environment),
      {}, "/dev/null", session.logs("bus.err"));
  if (!waitUntil([&] { return fs::exists(bus); }))
    return "no session bus: " + readFile(session.logs("bus.err")).value_or("");
  // The bus starts the portal and its backends on the first call, which on a busy machine took
  // longer than a call's 25 s once: started here, with time to spare, the capture finds it up.
  runCommand(
      session.as({"gdbus", "call", "--session", "--timeout", "120", "--dest",
                  "org.freedesktop.portal.Desktop", "--object-path",
                  "/org/freedesktop/portal/desktop", "--method", "org.freedesktop.DBus.Peer.Ping"},
                 environment),
      std::chrono::seconds(130));
  std::vector<std::string> command = {stagePath("bin/kapsho-capture")};
  command.insert(command.end(), arguments.begin(), arguments.end());
  environment[1] = "PATH=" + bin.path();
  const CommandResult result = runCommand(session.as(command, environment));
  std::string text;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const QImage picture(QString::fromStdString(entry.path()));
    text += entry.path().filename().string() + " " +
            QImageReader(QString::fromStdString(entry.path())).format().toStdString() + " " +
            std::to_string(picture.width()) + "x" + std::to_string(picture.height()) +
            (picture.pixelColor(picture.rect().center()).red() > 250 ? " red" : "") + " | ";
    fs::remove(entry.path());
  }
  text += "status " + std::to_string(result.exitCode);
  return result.exitCode ? text + ": " + result.err.substr(result.err.find(": ") + 2) : text;
}

// Where the portal offers no screenshots, grim takes the screen (encoded again for another type),
// -i needs slurp and says so, and without grim the error names what to install. Where the portal
// and its backends answer, the portal's picture is moved into place.
TEST(WlrootsCapture, GrimTakesTheScreenWhereThePortalOffersNoScreenshotsElseThePortalDoes) {
  if (!installed("/usr/bin/sway") || !installed("/usr/bin/grim"))
    GTEST_SKIP() << "sway or grim is not installed (scripts/setup.sh installs them)";
  Session session;
  writeFile(session.logs("sway.conf"),
            "output * bg #ff0000 solid_color\noutput HEADLESS-1 mode 320x240\n");
  ChildProcess sway(session.as({"sway", "-c", session.logs("sway.conf")},
                               {"WLR_BACKENDS=headless", "WLR_LIBINPUT_NO_DEVICES=1",
                                "WLR_RENDERER=pixman", "PATH=/usr/bin:/bin"}),
                    {}, "/dev/null", session.logs("sway.err"));
  const std::string wayland = waylandSocket(session.runtime());
  ASSERT_NE(wayland, "") << readFile(session.logs("sway.err")).value_or("");
  // The portal's backends as they are without xdg-desktop-portal-gtk.
  TempDir wlrOnly;
  chmod(wlrOnly.path().c_str(), 0755);
  fs::copy(PortalBackends + "/wlr.portal", wlrOnly.file("wlr.portal"));

  const std::string grim = "/usr/bin/grim", slurp = "/usr/bin/slurp";
  // The capture type, the arguments, the programs on PATH, and what it did.
  using Strings = std::vector<std::string>;
  const std::string slurpMissing = "-i needs slurp to choose a part of the screen here: install";
  const std::tuple<std::string, Strings, Strings, std::string> cases[] = {
      {"png", {}, {grim, slurp}, "Picture 1.png png 320x240 red | status 0"},
      {"jpg", {}, {grim}, "Picture 1.jpg jpeg 320x240 red | status 0"},
      {"png", {"-i"}, {grim}, "status 1: " + slurpMissing + " slurp\n"},
      {"png", {}, {}, "status 1: no screenshot portal (xdg-desktop-portal) answered: "},
  };
  for (const auto& [type, arguments, programs, expected] : cases) {
    SCOPED_TRACE(type + " " + ::testing::PrintToString(arguments) + " " +
                 ::testing::PrintToString(programs));
    const std::string did = capture(session, wayland, type, arguments, wlrOnly.path(), programs);
    EXPECT_THAT(did, testing::StartsWith(expected));
    EXPECT_TRUE(!programs.empty() ||
                did.ends_with("\nkapsho-capture: install xdg-desktop-portal-gtk (beside "
                              "xdg-desktop-portal-wlr on sway and other wlroots desktops), or "
                              "grim and slurp\n"))
        << did;
  }

  if (!installed("/usr/libexec/xdg-desktop-portal-gtk") ||
      !installed("/usr/libexec/xdg-desktop-portal-wlr") || !installed("/usr/bin/pipewire"))
    GTEST_SKIP() << "xdg-desktop-portal-wlr, -gtk or pipewire is not installed (scripts/setup.sh "
                    "installs them): the portal's own capture is not tried";
  // xdg-desktop-portal-wlr ends at once without a running pipewire.
  ChildProcess pipewire(session.as({"pipewire"}, {"PATH=/usr/bin:/bin"}), {}, "/dev/null",
                        "/dev/null");
  ASSERT_TRUE(waitUntil([&] { return fs::exists(session.runtime() + "/pipewire-0"); }));
  EXPECT_EQ(capture(session, wayland, "png", {}, PortalBackends, {}),
            "Picture 1.png png 320x240 red | status 0");
}

}  // namespace

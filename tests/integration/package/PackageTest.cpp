// The Debian package as a user gets it: what it holds against the staged tree, lintian's verdict,
// and the package unpacked into a folder of its own, away from the build tree, where its service
// unit is scored and its programs run, down to the agent uploading to the unpacked server.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "tests/support/Desktop.h"
#include "tests/support/LoopbackSocket.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace testing_support;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string kUnit = "kapsho-upload-server.service";

// The one package CPack made for this build.
std::string packageFile() {
  return runCommand({"sh", "-c", "printf %s " KAPSHO_PACKAGE_DIR "/*.deb"}).out;
}

// Its debugging information, made beside it.
std::string debugPackageFile() {
  return runCommand({"sh", "-c", "printf %s " KAPSHO_PACKAGE_DIR "/*-dbgsym*.ddeb"}).out;
}

// The files and links of a tree, as paths relative to it.
std::set<std::string> filesUnder(const std::string& root) {
  std::set<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    if (entry.is_symlink() || entry.is_regular_file())
      files.insert(fs::relative(entry.path(), root).string());
  return files;
}

TEST(PackageTest, HoldsTheStagedTreeAndTheServiceWhichScoresOkAndEachProgramRunsUnpacked) {
  TempDir root;
  ASSERT_EQ(runCommand({"dpkg-deb", "-x", packageFile(), root.path()}).exitCode, 0);
  std::set<std::string> expected;
  for (const auto& file : filesUnder(stagePath(""))) expected.insert("usr/" + file);
  expected.insert({"usr/lib/systemd/system/" + kUnit, "etc/default/kapsho-upload-server",
                   "usr/share/lintian/overrides/kapsho"});
  EXPECT_EQ(filesUnder(root.path()), expected);
  EXPECT_TRUE(expected.contains("usr/share/mime/packages/kapsho.xml"));
  const std::string depends = runCommand({"dpkg-deb", "-f", packageFile(), "Depends"}).out;
  EXPECT_NE(depends.find("xdg-utils, wl-clipboard, "), std::string::npos) << depends;
  EXPECT_EQ(runCommand({"dpkg-deb", "-f", packageFile(), "Recommends", "Suggests"}).out,
            "Recommends: qt6-wayland, xdg-desktop-portal, xdg-desktop-portal-gtk | "
            "xdg-desktop-portal-gnome | xdg-desktop-portal-kde, qt6-image-formats-plugins\n"
            "Suggests: grim, slurp\n");
  // Lintian's hardening notes are information only, so they are asked for by name.
  const auto lintian =
      runCommand({"lintian", "--fail-on", "error,warning", "--display-info", packageFile()}, 240s);
  EXPECT_EQ(lintian.exitCode, 0) << lintian.out;
  EXPECT_EQ(lintian.out.find("hardening-"), std::string::npos) << lintian.out;

  const auto verify = runCommand({"systemd-analyze", "verify", "--man=no", "--recursive-errors=no",
                                  "--root=" + root.path(), kUnit});
  EXPECT_EQ(verify.exitCode, 0) << verify.err;
  const auto security =
      runCommand({"systemd-analyze", "security", "--offline=yes", "--root=" + root.path(), kUnit});
  EXPECT_NE(security.out.find("Overall exposure level for " + kUnit + ": 1.1 OK"),
            std::string::npos)
      << security.out;
  // Each program and the plug-in is stripped, and its debugging information lies in the
  // -dbgsym package under the build ID the program names.
  TempDir symbols;
  ASSERT_EQ(runCommand({"dpkg-deb", "-x", debugPackageFile(), symbols.path()}).exitCode, 0);
  for (const std::string& program : std::vector<std::string>{
           "usr/bin/kapsho-prefs", "usr/bin/kapsho-defaults", "usr/bin/kapsho-upload-server",
           "usr/bin/kapsho-capture", "usr/lib/kapsho/KapshoPref.prefPane/Contents/MacOS/KapshoPref",
           "usr/" + kAgentInTree,
           "usr/lib/kapsho/System/Library/CoreServices/System Events.app/Contents/MacOS/"
           "System Events"}) {
    SCOPED_TRACE(program);
    const std::string sections = runCommand({"readelf", "-S", "-n", root.file(program)}).out;
    EXPECT_EQ(sections.find(".debug_info"), std::string::npos);
    const auto id = sections.find("Build ID: ");
    ASSERT_NE(id, std::string::npos);
    const std::string build = sections.substr(id + 10, 40);
    const auto debug = runCommand({"readelf", "-S",
                                   symbols.file("usr/lib/debug/.build-id/" + build.substr(0, 2) +
                                                "/" + build.substr(2) + ".debug")});
    EXPECT_NE(debug.out.find(".debug_info"), std::string::npos) << debug.err;
  }

  // The other programs run below.
  EXPECT_EQ(runCommand({root.file("usr/bin/kapsho-prefs"), "--help"}).exitCode, 0);

  // A downloaded custom uploader file is of Kapsho's own type, which Kapsho Settings opens, once
  // the desktop's databases hold the package's files (dpkg's triggers see to that).
  const std::string share = root.file("usr/share");
  const auto valid =
      runCommand({"desktop-file-validate", share + "/applications/kapsho-prefs.desktop"});
  EXPECT_EQ(std::tuple(valid.exitCode, valid.out), std::tuple(0, ""));
  ASSERT_EQ(runCommand({"update-mime-database", share + "/mime"}).exitCode, 0);
  ASSERT_EQ(runCommand({"update-desktop-database", share + "/applications"}).exitCode, 0);
  {
    const ScopedEnv dataDirs("XDG_DATA_DIRS", share + ":/usr/share"),
        path("PATH", root.file("usr/bin") + ":" + std::getenv("PATH"));
    writeFile(root.file("host.sxcu"), "{}");
    EXPECT_NE(runCommand({"gio", "info", "-a", "standard::content-type", root.file("host.sxcu")})
                  .out.find("standard::content-type: application/x-kapsho-uploader\n"),
              std::string::npos);
    const std::string handlers = runCommand({"gio", "mime", "application/x-kapsho-uploader"}).out;
    EXPECT_NE(handlers.find("\tkapsho-prefs.desktop\n", handlers.find("Registered applications:")),
              std::string::npos)
        << handlers;
  }

  // The agent uploads a capture of the unpacked kapsho-capture, whole and once, and copies its
  // address.
  TempHome home;
  PrivateBus bus;
  VirtualDisplay display;
  const ScopedEnv noWayland("WAYLAND_DISPLAY", std::nullopt), english("LANGUAGE", "en");
  TempDir folder, data;
  const std::string port = std::to_string(freeLocalPort()), host = "127.0.0.1:" + port;
  ChildProcess server(
      {root.file("usr/bin/kapsho-upload-server"), "--port", port, "--data-dir", data.path()});
  ASSERT_TRUE(waitUntil([&] { return LoopbackSocket(std::stoi(port)).connected(); }));
  const std::string defaults = root.file("usr/bin/kapsho-defaults");
  runCommand({defaults, "write", "com.apple.screencapture", "location", folder.path()});
  runCommand({defaults, "write", "com.kapsho.KapshoDaemon", "Upload Host", host});
  ChildProcess agent({root.file("usr/" + kAgentInTree)}, {}, "", data.file("agent.err"));
  ASSERT_TRUE(waitUntil([&] { return agentWatching(agent.pid()); }));
  ASSERT_EQ(runCommand({root.file("usr/bin/kapsho-capture")}).exitCode, 0);
  std::string address;
  ASSERT_TRUE(waitUntil([&] {
    address = runCommand({"xclip", "-o", "-selection", "clipboard"}).out;
    return address.starts_with("http://" + host + "/i/");
  }));
  EXPECT_EQ(readFile(data.file(address.substr(address.rfind('/') + 1))),
            readFile(folder.file("Picture 1.png")));
  const std::string log = readFile(data.file("agent.err")).value_or("");
  EXPECT_EQ(log.find("Copying URL to clipboard: "), log.rfind("Copying URL to clipboard: ")) << log;
}

// Only where installing into the machine itself harms no one: CI's machine, as root.
TEST(PackageTest, InstallsAndRemovesWithApt) {
  const char* ci = std::getenv("CI");
  if (!ci || std::string(ci) != "true" || getuid() != 0 ||
      runCommand({"dpkg-query", "-W", "kapsho"}).exitCode == 0)
    GTEST_SKIP() << "installs into the machine only on CI, as root, where kapsho is not installed";
  const auto apt = [](const std::string& arguments) {
    const auto result =
        runCommand({"sh", "-c", "DEBIAN_FRONTEND=noninteractive apt-get -y -q " + arguments}, 240s);
    EXPECT_EQ(result.exitCode, 0) << arguments << ": " << result.out << result.err;
    return result.exitCode == 0;
  };
  ASSERT_TRUE(apt("install --no-install-recommends " + packageFile()));
  EXPECT_EQ(runCommand({"/usr/bin/kapsho-upload-server", "--help"}).exitCode, 0);
  apt("remove kapsho");
  EXPECT_FALSE(fs::exists("/usr/bin/kapsho-upload-server"));
  EXPECT_TRUE(fs::exists("/etc/default/kapsho-upload-server")) << "a conffile stays until purge";
  apt("purge kapsho");
  EXPECT_FALSE(fs::exists("/etc/default/kapsho-upload-server"));
}

}  // namespace

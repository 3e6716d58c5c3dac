#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <regex>

#include "platform/foundation/UserDefaults.h"
#include "tests/support/TestSupport.h"

using namespace testing_support;

namespace {

const std::string kDomain = "com.kapsho.KapshoDaemon";

CommandResult defaults(std::vector<std::string> args) {
  args.insert(args.begin(), stagePath("bin/kapsho-defaults"));
  return runCommand(args);
}

// Each type written reads back; bad usage is explained and leaves the file byte for byte; delete
// takes a key or the whole domain; writers of one domain at once lose no key.
TEST(DefaultsTool, TypesRoundTripBadUsageChangesNothingDeleteTakesAKeyOrTheDomainNoKeyIsLost) {
  TempHome home;
  for (const auto& [key, type, value, read] :
       {std::tuple{"Label", "-string", "two words \"quoted\"", "two words \"quoted\"\n"},
        {"On", "-bool", "NO", "0\n"},
        {"Count", "-int", "-42", "-42\n"},
        {"Ratio", "-float", "0.25", "0.25\n"}}) {
    SCOPED_TRACE(type);
    ASSERT_EQ(defaults({"write", kDomain, key, type, value}).exitCode, 0);
    EXPECT_EQ(defaults({"read", kDomain, key}).out, read);
  }

  const std::string file = home.configHome() + "/kapsho/Preferences/" + kDomain + ".plist";
  const auto before = readFile(file);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"write", kDomain, "k", "-int", "12abc"},
           {"write", kDomain, "k", "-int", "99999999999999999999"},
           {"write", kDomain, "k", "-float", "0.5x"},
           {"write", "../escape", "k", "v"},
           {"read", kDomain, "k", "extra"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    EXPECT_NE(defaults(args).err.find("usage:"), std::string::npos);
  }
  EXPECT_EQ(readFile(file), before) << "byte for byte";

  EXPECT_EQ(defaults({"delete", kDomain, "Count"}).exitCode, 0);
  EXPECT_EQ(defaults({"delete", kDomain, "Count"}).exitCode, 1);
  defaults({"delete", kDomain});
  EXPECT_FALSE(std::filesystem::exists(file));

  runCommand({"sh", "-c", "for i in $(seq 0 19); do \"$0\" write \"$1\" key$i -int $i & done; wait",
              stagePath("bin/kapsho-defaults"), kDomain});
  EXPECT_EQ(platform::NSUserDefaults::persistentDomainForName(kDomain).value().size(), 20u);
}

// Under the journal (JOURNAL_STREAM names standard error's device and inode) a log line goes to
// standard error alone, as the journal takes in syslog too; elsewhere to syslog as well, here a
// receiver of the test's own at /dev/log.
TEST(DefaultsTool, ALogLineGoesToSyslogTooUnlessStandardErrorIsTheJournal) {
  TempHome home;
  TempDir scratch;
  const std::string domain = home.configHome() + "/kapsho/Preferences/" + kDomain + ".plist",
                    err = scratch.file("err"),
                    line = "Preferences file " + domain +
                           " could not be parsed (not a property "
                           "list); moved aside to " +
                           domain + ".corrupt\n";
  writeFile(err, "");
  std::filesystem::create_directories(home.configHome() + "/kapsho/Preferences");
  const auto streamOf = [](const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  };
  const std::pair<std::optional<std::string>, bool> cases[] = {{streamOf(err), false},
                                                               {streamOf(err) + "x", true},
                                                               {streamOf(home.configHome()), true},
                                                               {std::nullopt, true}};
  for (const auto& [journal, syslogged] : cases) {
    SCOPED_TRACE("JOURNAL_STREAM " + journal.value_or("unset"));
    writeFile(domain, "<plist><dict>");
    writeFile(err, "");
    const ScopedEnv stream("JOURNAL_STREAM", journal);
    const auto result =
        runCommand({"unshare", "--mount", "python3",
                    KAPSHO_SOURCE_DIR "/tests/integration/defaults/with_own_syslog.py",
                    scratch.file("root"), err, stagePath("bin/kapsho-defaults"), "read", kDomain});
    EXPECT_EQ(
        std::regex_replace(result.out, std::regex("^<13>.* kapsho-defaults\\[[0-9]+\\]: "), ""),
        syslogged ? line : "");
    EXPECT_EQ(std::regex_replace(*readFile(err),
                                 std::regex("^[-0-9]+ [0-9:.]+ kapsho-defaults\\[[0-9]+\\] "), ""),
              line + "Domain " + kDomain + " does not exist\n");
    std::filesystem::remove(domain + ".corrupt");
  }
}

}  // namespace

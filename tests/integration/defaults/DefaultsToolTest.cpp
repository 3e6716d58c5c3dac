#include <gtest/gtest.h>

#include <filesystem>

#include "platform/foundation/UserDefaults.h"
#include "tests/support/TestSupport.h"

using namespace testing_support;

namespace {

const std::string kDomain = "com.kapsho.KapshoDaemon";

CommandResult defaults(std::vector<std::string> args) {
  args.insert(args.begin(), stagePath("bin/kapsho-defaults"));
  return runCommand(args);
}

// Each type written reads back and lands in a plain property list; bad usage is explained and
// leaves the file byte for byte; delete takes a key or the whole domain.
TEST(DefaultsTool, EveryTypeRoundTripsBadUsageChangesNothingAndDeleteTakesAKeyOrTheDomain) {
  TempHome home;
  for (const auto& [key, type, value] : {std::tuple{"Label", "-string", "two words \"quoted\""},
                                         {"On", "-bool", "NO"},
                                         {"Count", "-int", "-42"},
                                         {"Ratio", "-float", "0.25"}})
    ASSERT_EQ(defaults({"write", kDomain, key, type, value}).exitCode, 0) << key;
  EXPECT_EQ(defaults({"read", kDomain, "Label"}).out, "two words \"quoted\"\n");
  const std::string file = home.configHome() + "/kapsho/Preferences/" + kDomain + ".plist";
  EXPECT_EQ(
      runCommand(
          {"python3", "-c",
           "import plistlib,sys; print(sorted(plistlib.load(open(sys.argv[1],'rb')).items()))",
           file})
          .out,
      "[('Count', -42), ('Label', 'two words \"quoted\"'), ('On', False), ('Ratio', 0.25)]\n");

  const auto before = readFile(file);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"frobnicate", kDomain},
           {"write", kDomain, "k"},
           {"write", kDomain, "k", "-bool", "maybe"},
           {"write", kDomain, "k", "-int", "12abc"},
           {"write", kDomain, "k", "-int", "99999999999999999999"},
           {"write", kDomain, "k", "-date", "now"},
           {"write", "../escape", "k", "v"},
           {"read", kDomain, "k", "extra"}}) {
    const auto result = defaults(args);
    EXPECT_TRUE(result.exitCode == 1 && result.err.find("usage:") != std::string::npos)
        << result.err;
  }
  EXPECT_EQ(readFile(file), before) << "byte for byte";

  EXPECT_EQ(defaults({"delete", kDomain, "Count"}).exitCode, 0);
  EXPECT_EQ(defaults({"delete", kDomain, "Count"}).exitCode, 1);
  EXPECT_EQ(defaults({"delete", kDomain}).exitCode, 0);
  EXPECT_FALSE(std::filesystem::exists(file));
}

TEST(DefaultsTool, WritersOfOneDomainAtOnceLoseNoKey) {
  TempHome home;
  runCommand({"sh", "-c", "for i in $(seq 0 19); do \"$0\" write \"$1\" key$i -int $i & done; wait",
              stagePath("bin/kapsho-defaults"), kDomain});
  platform::Dictionary expected;
  for (int i = 0; i < 20; ++i) expected["key" + std::to_string(i)] = std::int64_t{i};
  EXPECT_EQ(platform::NSUserDefaults::persistentDomainForName(kDomain), expected);
}

}  // namespace

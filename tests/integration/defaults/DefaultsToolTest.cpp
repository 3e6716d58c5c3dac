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

// Each type written reads back; bad usage is explained and leaves the file byte for byte; delete
// takes a key or the whole domain; writers of one domain at once lose no key.
TEST(DefaultsTool, TypesRoundTripBadUsageChangesNothingDeleteTakesAKeyOrTheDomainNoKeyIsLost) {
  TempHome home;
  for (const auto& [key, type, value, read] :
       {std::tuple{"Label", "-string", "two words \"quoted\"", "two words \"quoted\"\n"},
        {"On", "-bool", "NO", "0\n"},
        {"Count", "-int", "-42", "-42\n"},
        {"Ratio", "-float", "0.25", "0.25\n"}}) {
    ASSERT_EQ(defaults({"write", kDomain, key, type, value}).exitCode, 0) << key;
    EXPECT_EQ(defaults({"read", kDomain, key}).out, read);
  }

  const std::string file = home.configHome() + "/kapsho/Preferences/" + kDomain + ".plist";
  const auto before = readFile(file);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"write", kDomain, "k", "-int", "12abc"},
           {"write", kDomain, "k", "-int", "99999999999999999999"},
           {"write", kDomain, "k", "-float", "0.5x"},
           {"write", "../escape", "k", "v"},
           {"read", kDomain, "k", "extra"}})
    EXPECT_NE(defaults(args).err.find("usage:"), std::string::npos) << args[0] << " " << args[1];
  EXPECT_EQ(readFile(file), before) << "byte for byte";

  EXPECT_EQ(defaults({"delete", kDomain, "Count"}).exitCode, 0);
  EXPECT_EQ(defaults({"delete", kDomain, "Count"}).exitCode, 1);
  defaults({"delete", kDomain});
  EXPECT_FALSE(std::filesystem::exists(file));

  runCommand({"sh", "-c", "for i in $(seq 0 19); do \"$0\" write \"$1\" key$i -int $i & done; wait",
              stagePath("bin/kapsho-defaults"), kDomain});
  EXPECT_EQ(platform::NSUserDefaults::persistentDomainForName(kDomain).value().size(), 20u);
}

}  // namespace

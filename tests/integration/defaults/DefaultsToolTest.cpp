#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

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
  const struct {
    std::vector<std::string> write;
    std::string read;
  } values[] = {
      {{"write", kDomain, "Upload Host", "127.0.0.1:9999"}, "127.0.0.1:9999\n"},
      {{"write", kDomain, "Label", "-string", "two words \"quoted\""}, "two words \"quoted\"\n"},
      {{"write", kDomain, "Show Status Item", "-bool", "NO"}, "0\n"},
      {{"write", kDomain, "Count", "-int", "-42"}, "-42\n"},
      {{"write", kDomain, "Ratio", "-float", "0.25"}, "0.25\n"},
  };
  for (const auto& value : values) ASSERT_EQ(defaults(value.write).exitCode, 0);
  for (const auto& value : values)
    EXPECT_EQ(defaults({"read", kDomain, value.write[2]}).out, value.read);
  EXPECT_NE(defaults({"read", kDomain}).out.find("\"Upload Host\" = 127.0.0.1:9999;"),
            std::string::npos);
  const std::string file = home.configHome() + "/kapsho/Preferences/" + kDomain + ".plist";
  const auto python =
      runCommand({"python3", "-c",
                  "import plistlib,sys; d=plistlib.load(open(sys.argv[1],'rb')); "
                  "print(d['Show Status Item'] is False, d['Count'], d['Ratio'], d['Label'])",
                  file});
  EXPECT_EQ(python.out, "True -42 0.25 two words \"quoted\"\n") << python.err;

  const auto before = readFile(file);
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"frobnicate", kDomain},
      {"read"},
      {"write", kDomain, "k"},
      {"write", kDomain, "k", "-bool", "maybe"},
      {"write", kDomain, "k", "-int", "12abc"},
      {"write", kDomain, "k", "-int", "99999999999999999999"},
      {"write", kDomain, "k", "-float", "x"},
      {"write", kDomain, "k", "-date", "now"},
      {"write", "../escape", "k", "v"},
      {"read", kDomain, "k", "extra"},
  };
  for (const auto& args : bad) {
    const auto result = defaults(args);
    EXPECT_TRUE(result.exitCode == 1 && result.err.find("usage:") != std::string::npos)
        << result.err;
  }
  EXPECT_EQ(readFile(file), before) << "byte for byte";

  EXPECT_EQ(defaults({"delete", kDomain, "Count"}).exitCode, 0);
  EXPECT_EQ(defaults({"delete", kDomain, "Count"}).exitCode, 1);
  EXPECT_EQ(defaults({"read", kDomain, "Ratio"}).out, "0.25\n");
  EXPECT_EQ(defaults({"delete", kDomain}).exitCode, 0);
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_NE(defaults({"read", kDomain}).err.find("does not exist"), std::string::npos);
}

TEST(DefaultsTool, WritersOfOneDomainAtOnceLoseNoKey) {
  TempHome home;
  std::vector<std::unique_ptr<ChildProcess>> writers;
  platform::Dictionary expected;
  for (int i = 0; i < 20; ++i) {
    writers.push_back(std::make_unique<ChildProcess>(
        std::vector<std::string>{stagePath("bin/kapsho-defaults"), "write", kDomain,
                                 "key" + std::to_string(i), "-int", std::to_string(i)}));
    expected["key" + std::to_string(i)] = std::int64_t{i};
  }
  // A writer that failed is missing from the domain.
  for (auto& writer : writers) writer->wait();
  EXPECT_EQ(platform::NSUserDefaults::persistentDomainForName(kDomain), expected);
}

}  // namespace

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <memory>

#include "platform/foundation/UserDefaults.h"
#include "tests/support/TestSupport.h"

using namespace testing_support;

namespace {

CommandResult defaults(std::vector<std::string> args) {
  args.insert(args.begin(), stagePath("bin/kapsho-defaults"));
  return runCommand(args);
}

class DefaultsTool : public ::testing::Test {
 protected:
  TempHome home;
  const std::string domain = "com.kapsho.KapshoDaemon";
  std::string file() { return home.configHome() + "/kapsho/Preferences/" + domain + ".plist"; }
};

TEST_F(DefaultsTool, EveryTypeRoundTripsAndTheFileIsAPlainPlist) {
  ASSERT_EQ(defaults({"write", domain, "Upload Host", "127.0.0.1:9999"}).exitCode, 0);
  ASSERT_EQ(defaults({"write", domain, "Label", "-string", "two words \"quoted\""}).exitCode, 0);
  ASSERT_EQ(defaults({"write", domain, "Show Status Item", "-bool", "NO"}).exitCode, 0);
  ASSERT_EQ(defaults({"write", domain, "Count", "-int", "-42"}).exitCode, 0);
  ASSERT_EQ(defaults({"write", domain, "Ratio", "-float", "0.25"}).exitCode, 0);

  EXPECT_EQ(defaults({"read", domain, "Upload Host"}).out, "127.0.0.1:9999\n");
  EXPECT_EQ(defaults({"read", domain, "Label"}).out, "two words \"quoted\"\n");
  EXPECT_EQ(defaults({"read", domain, "Show Status Item"}).out, "0\n");
  EXPECT_EQ(defaults({"read", domain, "Count"}).out, "-42\n");
  EXPECT_EQ(defaults({"read", domain, "Ratio"}).out, "0.25\n");
  const auto whole = defaults({"read", domain});
  EXPECT_EQ(whole.exitCode, 0);
  EXPECT_NE(whole.out.find("\"Upload Host\" = 127.0.0.1:9999;"), std::string::npos);

  // The file is read by an independent reader with the same values and types.
  const auto python =
      runCommand({"python3", "-c",
                  "import plistlib,sys; d=plistlib.load(open(sys.argv[1],'rb')); "
                  "print(d['Show Status Item'] is False, d['Count'], d['Ratio'], d['Label'])",
                  file()});
  EXPECT_EQ(python.exitCode, 0) << python.err;
  EXPECT_EQ(python.out, "True -42 0.25 two words \"quoted\"\n");

  // The store reads what the tool wrote.
  auto stored = platform::NSUserDefaults::persistentDomainForName(domain);
  ASSERT_TRUE(stored);
  EXPECT_EQ(*stored->at("Count").integer(), -42);
}

TEST_F(DefaultsTool, DeleteRemovesAKeyOrTheWholeDomain) {
  ASSERT_EQ(defaults({"write", domain, "a", "1"}).exitCode, 0);
  ASSERT_EQ(defaults({"write", domain, "b", "2"}).exitCode, 0);
  EXPECT_EQ(defaults({"delete", domain, "a"}).exitCode, 0);
  EXPECT_EQ(defaults({"read", domain, "a"}).exitCode, 1);
  EXPECT_EQ(defaults({"read", domain, "b"}).out, "2\n");
  EXPECT_EQ(defaults({"delete", domain, "a"}).exitCode, 1);
  EXPECT_EQ(defaults({"delete", domain}).exitCode, 0);
  EXPECT_FALSE(std::filesystem::exists(file()));
  const auto missing = defaults({"read", domain});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.err.find("does not exist"), std::string::npos);
}

TEST_F(DefaultsTool, BadUsageIsExplainedAndLeavesTheDomainAlone) {
  ASSERT_EQ(defaults({"write", domain, "keep", "-int", "7"}).exitCode, 0);
  const auto before = readFile(file());
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"frobnicate", domain},
      {"read"},
      {"write", domain, "k"},
      {"write", domain, "k", "-bool", "maybe"},
      {"write", domain, "k", "-int", "12abc"},
      {"write", domain, "k", "-int", "99999999999999999999"},
      {"write", domain, "k", "-float", "x"},
      {"write", domain, "k", "-date", "now"},
      {"write", "../escape", "k", "v"},
      {"read", domain, "k", "extra"},
  };
  for (const auto& args : bad) {
    const auto result = defaults(args);
    EXPECT_EQ(result.exitCode, 1) << (args.empty() ? "" : args[0]);
    EXPECT_NE(result.err.find("usage:"), std::string::npos) << result.err;
  }
  EXPECT_EQ(readFile(file()), before);
}

TEST_F(DefaultsTool, WritersOfOneDomainAtOnceLoseNoKey) {
  constexpr int kWriters = 20;
  std::vector<std::unique_ptr<ChildProcess>> writers;
  for (int i = 0; i < kWriters; ++i)
    writers.push_back(std::make_unique<ChildProcess>(
        std::vector<std::string>{stagePath("bin/kapsho-defaults"), "write", domain,
                                 "key" + std::to_string(i), "-int", std::to_string(i)}));
  for (auto& writer : writers) {
    const auto status = writer->wait();
    ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  }
  const auto stored = platform::NSUserDefaults::persistentDomainForName(domain);
  ASSERT_TRUE(stored);
  ASSERT_EQ(stored->size(), static_cast<size_t>(kWriters));
  for (int i = 0; i < kWriters; ++i) EXPECT_EQ(stored->at("key" + std::to_string(i)).integer(), i);
}

}  // namespace

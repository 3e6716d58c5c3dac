#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "platform/foundation/FileIO.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/support/TestSupport.h"

using namespace platform;
using testing_support::readFile;
using testing_support::TempHome;
using testing_support::writeFile;

namespace {

class UserDefaultsTest : public ::testing::Test {
 protected:
  TempHome home;
  std::string fileOf(const std::string& domain) { return *NSUserDefaults::pathForDomain(domain); }
};

TEST_F(UserDefaultsTest, RegisteredValuesApplyUntilAValueIsStoredInAnXmlPlistKeepingOtherKeys) {
  NSUserDefaults defaults("com.example.agent");
  EXPECT_FALSE(defaults.boolForKey("Show Status Item"));
  defaults.registerDefaults({{"Show Status Item", Value(true)}});
  EXPECT_TRUE(defaults.boolForKey("Show Status Item"));
  EXPECT_FALSE(std::filesystem::exists(fileOf("com.example.agent")));  // registration is not stored
  defaults.setBool(false, "Show Status Item");
  EXPECT_FALSE(defaults.boolForKey("Show Status Item"));
  defaults.setObject(Value(Array{Value(Dictionary{{"url", Value("http://h/i/1.png")}})}),
                     "Recent Images");
  defaults.setObject(Value("kept"), "Other");
  const auto bytes = readFile(home.configHome() + "/kapsho/Preferences/com.example.agent.plist");
  ASSERT_TRUE(bytes);
  EXPECT_NE(bytes->find("<plist"), std::string::npos);
  EXPECT_EQ(*defaults.arrayForKey("Recent Images"),
            Array{Value(Dictionary{{"url", Value("http://h/i/1.png")}})});
  EXPECT_FALSE(defaults.arrayForKey("Other"));  // a string is no array
  defaults.removeObjectForKey("Show Status Item");
  defaults.removeObjectForKey("Recent Images");
  EXPECT_TRUE(defaults.boolForKey("Show Status Item"));
  EXPECT_EQ(*defaults.stringForKey("Other"), "kept");
}

TEST_F(UserDefaultsTest, AValueWrittenByAnotherWriterIsSeenByTheNextRead) {
  NSUserDefaults defaults("com.example.agent");
  defaults.setObject(Value("first"), "k");
  EXPECT_EQ(*defaults.stringForKey("k"), "first");
  // Another process replaces the file atomically, as the store itself does.
  ASSERT_TRUE(writeFileAtomically(fileOf("com.example.agent"),
                                  xmlPropertyList(Value(Dictionary{{"k", Value("second")}}))));
  EXPECT_EQ(*defaults.stringForKey("k"), "second");
  // A change in place with the same size is seen too.
  writeFile(fileOf("com.example.agent"), xmlPropertyList(Value(Dictionary{{"k", Value("third")}})));
  std::filesystem::last_write_time(
      fileOf("com.example.agent"),
      std::filesystem::file_time_type::clock::now() + std::chrono::seconds(5));
  EXPECT_EQ(*defaults.stringForKey("k"), "third");
}

TEST_F(UserDefaultsTest, UnparseableFileIsMovedAsideReadAsAbsentAndNothingElseIsLost) {
  const std::string path = fileOf("com.example.broken");
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  writeFile(path, "<plist><dict><key>a</key>");
  EXPECT_FALSE(NSUserDefaults::persistentDomainForName("com.example.broken"));
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(*readFile(path + ".corrupt"), "<plist><dict><key>a</key>");
  // A second damaged file does not overwrite the first one set aside.
  writeFile(path, xmlPropertyList(Value(Array{})));  // parses, but is no dictionary
  EXPECT_FALSE(NSUserDefaults::persistentDomainForName("com.example.broken"));
  EXPECT_TRUE(std::filesystem::exists(path + ".corrupt.1"));
  EXPECT_EQ(*readFile(path + ".corrupt"), "<plist><dict><key>a</key>");
  // The domain can be written again afterwards.
  EXPECT_TRUE(NSUserDefaults::setPersistentDomain({{"a", Value(1)}}, "com.example.broken"));
  EXPECT_EQ(*NSUserDefaults::persistentDomainForName("com.example.broken")->at("a").integer(), 1);
}

TEST_F(UserDefaultsTest, WholeDomainsByNameAndNamesThatCannotNameAFile) {
  EXPECT_FALSE(NSUserDefaults::persistentDomainForName("com.example.pane"));
  Dictionary domain{{"Show Status Item", Value(false)}, {"x", Value(2.5)}};
  ASSERT_TRUE(NSUserDefaults::setPersistentDomain(domain, "com.example.pane"));
  EXPECT_EQ(*NSUserDefaults::persistentDomainForName("com.example.pane"), domain);
  EXPECT_TRUE(NSUserDefaults::removePersistentDomainForName("com.example.pane"));
  EXPECT_FALSE(NSUserDefaults::persistentDomainForName("com.example.pane"));
  for (const char* name : {"", "../escape", "a/b", ".hidden"}) {
    EXPECT_FALSE(NSUserDefaults::pathForDomain(name)) << name;
    EXPECT_FALSE(NSUserDefaults::setPersistentDomain({{"a", Value(1)}}, name)) << name;
    EXPECT_FALSE(NSUserDefaults::persistentDomainForName(name)) << name;
  }
}

TEST_F(UserDefaultsTest, ProcessesSettingKeysOfOneDomainAtOnceKeepEachOthersKeys) {
  constexpr int kWriters = 10;
  std::vector<pid_t> writers;
  for (int i = 0; i < kWriters; ++i) {
    const pid_t pid = fork();
    if (pid == 0) {
      NSUserDefaults("com.example.shared").setObject(Value(i), "key" + std::to_string(i));
      _exit(0);
    }
    writers.push_back(pid);
  }
  for (pid_t pid : writers) ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
  const auto stored = NSUserDefaults::persistentDomainForName("com.example.shared");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->size(), static_cast<size_t>(kWriters));
}

TEST_F(UserDefaultsTest, ADomainLockHeldAroundTheStoresOwnWritesIsHeldThroughout) {
  const PreferencesDomainLock lock("com.example.held");
  ASSERT_TRUE(lock.held());
  EXPECT_TRUE(NSUserDefaults::setPersistentDomain({{"a", Value(1)}}, "com.example.held"));
  const pid_t other = fork();
  if (other == 0)
    _exit(FileLock(fileOf("com.example.held") + ".lock", std::chrono::milliseconds(100)).held());
  int status = -1;
  ASSERT_EQ(waitpid(other, &status, 0), other);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "another process took the lock meanwhile";
}

}  // namespace

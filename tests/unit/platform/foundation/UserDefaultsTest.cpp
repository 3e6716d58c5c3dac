#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "platform/foundation/FileIO.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/support/TestSupport.h"

using namespace platform;
using namespace testing_support;

namespace {

std::string xmlWith(const std::string& value) {
  return xmlPropertyList(Value(Dictionary{{"k", Value(value)}}));
}

// Registration is not stored. A value written by another process, atomically or in place with
// the same size, is seen by the next read.
TEST(UserDefaults, RegisteredValuesApplyUntilAValueIsStoredInAnXmlPlistKeepingOtherKeys) {
  TempHome home;
  NSUserDefaults defaults("com.example.agent");
  const std::string path = home.configHome() + "/kapsho/Preferences/com.example.agent.plist";
  defaults.registerDefaults({{"Show Status Item", Value(true)}});
  EXPECT_FALSE(std::filesystem::exists(path));
  defaults.setBool(false, "Show Status Item");
  EXPECT_FALSE(defaults.boolForKey("Show Status Item"));
  const Array recent{Value(Dictionary{{"url", Value("http://h/i/1.png")}})};
  defaults.setObject(Value(recent), "Recent Images");
  EXPECT_NE(readFile(path).value_or("").find("<plist"), std::string::npos);
  defaults.removeObjectForKey("Show Status Item");
  EXPECT_TRUE(defaults.boolForKey("Show Status Item"));
  EXPECT_EQ(defaults.arrayForKey("Recent Images"), recent);

  ASSERT_TRUE(writeFileAtomically(path, xmlWith("later")));
  EXPECT_EQ(defaults.stringForKey("k"), "later");
  // Whole seconds later: only the seconds tell the change.
  const auto written = std::filesystem::last_write_time(path);
  writeFile(path, xmlWith("third"));
  std::filesystem::last_write_time(path, written + std::chrono::seconds(5));
  EXPECT_EQ(defaults.stringForKey("k"), "third");
}

// A damaged file is moved aside, and a second one does not overwrite the first set aside; names
// that cannot name a file are refused.
TEST(UserDefaults, WholeDomainsByNameAndDamagedFilesAreMovedAsideNotLost) {
  TempHome home;
  const std::string path = *NSUserDefaults::pathForDomain("com.example.pane");
  const Dictionary domain{{"Show Status Item", Value(false)}, {"x", Value(2.5)}};
  ASSERT_TRUE(NSUserDefaults::setPersistentDomain(domain, "com.example.pane"));
  EXPECT_EQ(NSUserDefaults::persistentDomainForName("com.example.pane"), domain);
  EXPECT_TRUE(NSUserDefaults::removePersistentDomainForName("com.example.pane"));
  writeFile(path, "<plist><dict><key>a</key>");
  EXPECT_FALSE(NSUserDefaults::persistentDomainForName("com.example.pane"));
  writeFile(path, xmlPropertyList(Value(Array{})));  // parses, but is no dictionary
  EXPECT_FALSE(NSUserDefaults::persistentDomainForName("com.example.pane"));
  EXPECT_EQ(readFile(path + ".corrupt"), "<plist><dict><key>a</key>");
  EXPECT_EQ(readFile(path + ".corrupt.1"), xmlPropertyList(Value(Array{})));
  for (const char* name : {"", "../escape", "a/b", ".hidden"})
    EXPECT_FALSE(NSUserDefaults::setPersistentDomain({{"a", Value(1)}}, name)) << name;
}

// Every read-change-write of a domain holds its lock between processes, and a lock held around
// the store's own writes stays held through them.
TEST(UserDefaults, ProcessesSettingKeysOfOneDomainAtOnceKeepEachOthersKeys) {
  TempHome home;
  std::vector<pid_t> writers;
  for (int i = 0; i < 10; ++i) {
    writers.push_back(fork());
    if (writers.back() == 0) {
      NSUserDefaults("com.example.shared").setObject(Value(i), "key" + std::to_string(i));
      _exit(0);
    }
  }
  for (pid_t pid : writers) ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
  EXPECT_EQ(NSUserDefaults::persistentDomainForName("com.example.shared").value().size(), 10u);

  const PreferencesDomainLock lock("com.example.shared");
  EXPECT_TRUE(NSUserDefaults::setPersistentDomain({{"a", Value(1)}}, "com.example.shared"));
  const pid_t other = fork();
  if (other == 0)
    _exit(FileLock(*NSUserDefaults::pathForDomain("com.example.shared") + ".lock",
                   std::chrono::milliseconds(100))
              .held());
  int status = -1;
  ASSERT_EQ(waitpid(other, &status, 0), other);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "another process took the lock meanwhile";
}

}  // namespace

// Files: whole reads into Data, and preferences stored under a lock between processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "platform/foundation/FileIO.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/support/TestSupport.h"

using namespace platform;
using namespace testing_support;

namespace {

std::string text(const Data& data) {
  return std::string(data.begin(), data.end());
}

// Appending to a copy, or to the Data a copy was taken from, changes nothing in the other, even
// where their shared last piece has room for more. A fill that fails appends nothing. Large
// storage goes back with its last holder.
TEST(Data, AppendingSharesLargePiecesAndCopiesChangeNoOtherCopy) {
  const std::string large(Data::LargeBytes, 'L');
  const std::uint8_t* address;
  {
    Data body("head", 4);
    {
      const Data file(large.data(), large.size());
      address = file.bytes();
      body.append(file);
    }
    body.append("tail", 4);
    body.append(Data("!", 1));  // the last piece now has room for more
    EXPECT_EQ(body.pieces().at(1).data(), address) << "the large piece is not copied";
    EXPECT_EQ(mappingAt(address), "");
    Data copy = body;
    copy.append("+1", 2);
    body.append("-2", 2);
    EXPECT_EQ(text(copy), "head" + large + "tail!+1");
    body.append(body);
    EXPECT_EQ(text(body), "head" + large + "tail!-2head" + large + "tail!-2");
  }
  EXPECT_EQ(mappingAt(address), std::nullopt) << "still mapped";
  Data empty;
  EXPECT_EQ(empty.appendFrom(10, [](std::uint8_t*, size_t) { return ssize_t(-1); }), -1);
  EXPECT_TRUE(empty.pieces().empty());
}

// A FIFO is refused at once: a read that waited for a writer would hold the agent's main thread.
// A large file is mapped under a read lease: a writer that rewrites or truncates it waits until
// the Data holds a copy of its own, and the lease goes with the Data. A file that another process
// has open for writing is read instead. Paths join with one slash.
TEST(FileIO, WholeReadsNeverWaitAndKeepTheirBytesWhenAWriterComes) {
  TempDir dir;
  const std::string path = std::filesystem::canonical(dir.path()).string() + "/big";
  // Three large pieces and a bit, in a pattern whose period is prime: no two pages alike.
  std::string bytes(Data::LargeBytes * 3 + 5, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 % 251);
  writeFile(path, bytes);
  ASSERT_EQ(symlink("big", dir.file("link").c_str()), 0);
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  // A call that waits ends the test: a read waiting for a FIFO's writer, or a writer waiting out
  // a lease left held (the kernel's lease-break time is 45 s).
  alarm(20);
  for (const char* name : {"fifo", "missing", "."})
    EXPECT_FALSE(dataWithContentsOfFile(dir.file(name))) << name;
  const int writing = open(path.c_str(), O_WRONLY);
  const auto read = dataWithContentsOfFile(dir.file("link"));
  close(writing);
  EXPECT_EQ(mappingAt(read.value().bytes()), "");
  EXPECT_EQ(text(*read), bytes);
  {
    const auto data = dataWithContentsOfFile(path);
    ASSERT_EQ(mappingAt(data.value().bytes()), path);
    EXPECT_EQ(truncate(path.c_str(), 10), 0);
    EXPECT_EQ(mappingAt(data->bytes()), "");
    EXPECT_EQ(text(*data), bytes);
  }
  writeFile(path, bytes);
  ASSERT_EQ(mappingAt(dataWithContentsOfFile(path)->bytes()), path);
  writeFile(path, "after");  // rewritten in place, with no lease left to wait out
  alarm(0);
  EXPECT_EQ(stringByAppendingPathComponent("/tmp//shots//", "a.png"), "/tmp/shots/a.png");
  EXPECT_EQ(stringByAppendingPathComponent("relative/", "a/"), "relative/a");
}

// Registration is not stored. A value written by another process, atomically or in place with
// the same size, is seen by the next read. A damaged file is moved aside, and a second one does
// not overwrite the first set aside; names that cannot name a file are refused. Every
// read-change-write of a domain holds its lock between processes, and a lock held around the
// store's own writes stays held through them.
TEST(UserDefaults, XmlPlistsReadAgainWhenChangedDamagedOnesMovedAsideAndProcessesKeepAllKeys) {
  TempHome home;
  NSUserDefaults defaults("com.example.agent");
  const std::string path = home.configHome() + "/kapsho/Preferences/com.example.agent.plist";
  defaults.registerDefaults({{"Show Status Item", true}});
  EXPECT_FALSE(std::filesystem::exists(path));
  defaults.setBool(false, "Show Status Item");
  defaults.setObject("kept", "Other");
  EXPECT_FALSE(defaults.boolForKey("Show Status Item"));
  EXPECT_NE(readFile(path).value_or("").find("<plist"), std::string::npos);
  defaults.removeObjectForKey("Show Status Item");
  EXPECT_TRUE(defaults.boolForKey("Show Status Item"));
  EXPECT_EQ(NSUserDefaults::persistentDomainForName("com.example.agent"),
            (Dictionary{{"Other", "kept"}}));

  ASSERT_TRUE(writeFileAtomically(path, xmlPropertyList(Dictionary{{"k", "later"}})));
  EXPECT_EQ(defaults.stringForKey("k"), "later");
  // Whole seconds later: only the seconds tell the change.
  const auto written = std::filesystem::last_write_time(path);
  writeFile(path, xmlPropertyList(Dictionary{{"k", "third"}}));
  std::filesystem::last_write_time(path, written + std::chrono::seconds(5));
  EXPECT_EQ(defaults.stringForKey("k"), "third");

  writeFile(path, "<plist><dict><key>a</key>");
  EXPECT_FALSE(NSUserDefaults::persistentDomainForName("com.example.agent"));
  writeFile(path, xmlPropertyList(Array{}));  // parses, but is no dictionary
  EXPECT_FALSE(NSUserDefaults::persistentDomainForName("com.example.agent"));
  EXPECT_EQ(readFile(path + ".corrupt"), "<plist><dict><key>a</key>");
  EXPECT_EQ(readFile(path + ".corrupt.1"), xmlPropertyList(Array{}));
  for (const char* name : {"", "../escape", "a/b", ".hidden"})
    EXPECT_FALSE(NSUserDefaults::setPersistentDomain({{"a", 1}}, name)) << name;

  std::vector<pid_t> writers;
  for (int i = 0; i < 10; ++i) {
    writers.push_back(fork());
    if (writers.back() == 0) {
      NSUserDefaults("com.example.shared").setObject(i, "key" + std::to_string(i));
      _exit(0);
    }
  }
  for (pid_t pid : writers) ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
  EXPECT_EQ(NSUserDefaults::persistentDomainForName("com.example.shared").value().size(), 10u);

  const PreferencesDomainLock lock("com.example.shared");
  EXPECT_TRUE(NSUserDefaults::setPersistentDomain({{"a", 1}}, "com.example.shared"));
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

#include "platform/carbon/AETransport.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "tests/support/TestSupport.h"
#include "tests/unit/platform/carbon/CarbonTestSupport.h"

using namespace testing_support;

namespace {

void makeEventToSelf(Desc& event, SInt32 payload) {
  Desc target;
  const ProcessSerialNumber self{0, static_cast<UInt32>(getpid())};
  ASSERT_EQ(AECreateDesc(typeProcessSerialNumber, &self, sizeof self, &target), noErr);
  ASSERT_EQ(AECreateAppleEvent(kAECoreSuite, kAEGetData, &target, kAutoGenerateReturnID,
                               kAnyTransactionID, &event),
            noErr);
  ASSERT_EQ(AEPutParamPtr(&event, keyDirectObject, typeSInt32, &payload, 4), noErr);
}

// A listener for this process on a thread of its own: it doubles the direct object, and a
// negative one comes back as the handler's error.
class Listening : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(listener.open(&error)) << error;
    thread = std::thread([this] { listener.run(); });
  }
  void TearDown() override {
    listener.stop();
    thread.join();
  }

  TempHome home;
  std::atomic<int> served{0};
  platform::AEEventListener listener{[this](const AppleEvent* event, AppleEvent* reply) -> OSErr {
    ++served;
    SInt32 n = 0;
    const OSErr err =
        AEGetParamPtr(event, keyDirectObject, typeSInt32, nullptr, &n, sizeof n, nullptr);
    if (err != noErr) return err;
    if (n < 0) return static_cast<OSErr>(n);
    n *= 2;
    return AEPutParamPtr(reply, keyDirectObject, typeSInt32, &n, sizeof n);
  }};
  std::thread thread;
};

TEST_F(Listening, AnEventGoesAndItsReplyComesBack) {
  struct stat st {};
  ASSERT_EQ(stat((home.runtimeDir() + "/kapsho").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  for (SInt32 i = 1; i <= 20; ++i) {
    Desc event, reply;
    makeEventToSelf(event, i);
    ASSERT_EQ(AESendMessage(&event.d, &reply.d, kAEWaitReply, 300), noErr);
    SInt32 doubled = 0;
    ASSERT_EQ(AEGetParamPtr(&reply.d, keyDirectObject, typeSInt32, nullptr, &doubled, 4, nullptr),
              noErr);
    EXPECT_EQ(doubled, 2 * i);
    FourCharCode id = 0;
    ASSERT_EQ(AEGetAttributePtr(&reply.d, keyEventIDAttr, typeType, nullptr, &id, 4, nullptr),
              noErr);
    EXPECT_EQ(id, kAEAnswer);
  }
  EXPECT_EQ(served, 20);
}

TEST_F(Listening, AHandlersErrorArrivesAsTheReplysErrorNumber) {
  Desc event, reply;
  makeEventToSelf(event, errAENoSuchObject);
  ASSERT_EQ(AESendMessage(&event.d, &reply.d, kAEWaitReply, 300), noErr);
  SInt16 number = 0;
  ASSERT_EQ(AEGetParamPtr(&reply.d, keyErrorNumber, typeSInt16, nullptr, &number, 2, nullptr),
            noErr);
  EXPECT_EQ(number, errAENoSuchObject);
}

TEST_F(Listening, GarbageAndSilentPeersDoNotStopTheListener) {
  const std::string path = platform::eventSocketPath(getpid());
  for (const std::string& junk :
       {std::string("\0\0\0\5hello", 9), std::string("\xff\xff"), std::string()}) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(write(fd, junk.data(), junk.size()), static_cast<ssize_t>(junk.size()));
    close(fd);
  }
  Desc event, reply;
  makeEventToSelf(event, 4);
  EXPECT_EQ(AESendMessage(&event.d, &reply.d, kAEWaitReply, 300), noErr);
}

// A peer that takes the connection but never answers.
class MuteServer {
 public:
  MuteServer() {
    const std::string path = platform::eventSocketPath(getpid());
    mkdir(path.substr(0, path.rfind('/')).c_str(), 0700);
    unlink(path.c_str());
    fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(fd_, 4);
  }
  ~MuteServer() { close(fd_); }
  // Takes one connection, reads what comes, and closes it without a reply.
  void hangUpOnNext() {
    const int connection = accept(fd_, nullptr, nullptr);
    char buffer[4096];
    while (read(connection, buffer, sizeof buffer) == static_cast<ssize_t>(sizeof buffer)) {
    }
    close(connection);
  }

 private:
  int fd_ = -1;
};

TEST(AETransport, NoReplyInTimeIsATimeOutAndAHangUpAnInvalidConnection) {
  TempHome home;
  Desc event, reply;
  makeEventToSelf(event, 1);
  {
    MuteServer mute;
    EXPECT_EQ(AESendMessage(&event.d, &reply.d, kAEWaitReply, 6), errAETimeout);
    EXPECT_EQ(reply.d.descriptorType, typeNull);
  }
  MuteServer hangingUp;
  std::thread hangUp([&] { hangingUp.hangUpOnNext(); });
  EXPECT_EQ(AESendMessage(&event.d, &reply.d, kAEWaitReply, 300), connectionInvalid);
  hangUp.join();
}

TEST(AETransport, ATargetWithoutASocketIsAnInvalidConnection) {
  TempHome home;
  Desc event, reply;
  makeEventToSelf(event, 1);
  EXPECT_EQ(AESendMessage(&event.d, &reply.d, kAEWaitReply, 60), connectionInvalid);
  EXPECT_EQ(AESendMessage(&event.d, &reply.d, 1, 60), errAEUnknownSendMode);
}

}  // namespace

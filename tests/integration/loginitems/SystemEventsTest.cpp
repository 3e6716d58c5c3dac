// System Events itself: the answers and error numbers of its events, and its lifetime.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "platform/carbon/AETransport.h"
#include "tests/integration/loginitems/LoginItemsTestSupport.h"
#include "tests/unit/platform/carbon/CarbonTestSupport.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

constexpr FourCharCode cLoginItem = fourCharCode("logi");

class SystemEvents : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(waitUntil([&] { return access(socket.c_str(), F_OK) == 0; }));
  }

  void event(AEEventID id, Desc& result) {
    Desc target;
    const ProcessSerialNumber psn{0, static_cast<UInt32>(service.pid())};
    ASSERT_EQ(AECreateDesc(typeProcessSerialNumber, &psn, sizeof psn, &target), noErr);
    ASSERT_EQ(AECreateAppleEvent(kAECoreSuite, id, &target, kAutoGenerateReturnID,
                                 kAnyTransactionID, &result),
              noErr);
  }

  // The error number of the reply; 0 without one.
  SInt32 send(Desc& event, AEDesc* reply = nullptr) {
    Desc local;
    AEDesc* answer = reply ? reply : &local;
    EXPECT_EQ(AESendMessage(&event.d, answer, kAEWaitReply, 300), noErr);
    SInt32 number = 0;
    AEGetParamPtr(answer, keyErrorNumber, typeSInt32, nullptr, &number, 4, nullptr);
    return number;
  }

  void putSpecifier(Desc& event, AEKeyword key, DescType keyType, FourCharCode keyValue) {
    Desc container, keyData, specifier;
    ASSERT_EQ(AECreateDesc(keyType, &keyValue, 4, &keyData), noErr);
    ASSERT_EQ(CreateObjSpecifier(cLoginItem, &container, formAbsolutePosition, &keyData, false,
                                 &specifier),
              noErr);
    ASSERT_EQ(AEPutParamDesc(&event, key, &specifier.d), noErr);
  }

  // A create-element event; each part can be spoiled by a test.
  void creation(Desc& result, const std::string& path, FourCharCode itemClass = cLoginItem,
                FourCharCode position = kAEEnd, DescType hiddenType = typeBoolean) {
    event(kAECreateElement, result);
    Desc properties, record, location;
    const UInt8 no = 0;
    ASSERT_EQ(AECreateList(nullptr, 0, true, &properties), noErr);
    ASSERT_EQ(AEPutKeyPtr(&properties, fourCharCode("ppth"), typeUTF8Text, path.data(),
                          static_cast<Size>(path.size())),
              noErr);
    ASSERT_EQ(AEPutKeyPtr(&properties, fourCharCode("hidn"), hiddenType, &no, 1), noErr);
    ASSERT_EQ(AECreateList(nullptr, 0, true, &record), noErr);
    ASSERT_EQ(AEPutKeyPtr(&record, keyAEPosition, typeEnumerated, &position, 4), noErr);
    ASSERT_EQ(AEPutKeyDesc(&record, keyAEObject, &location.d), noErr);
    ASSERT_EQ(AECoerceDesc(&record.d, typeInsertionLoc, &location), noErr);
    ASSERT_EQ(AEPutParamPtr(&result, keyAEObjectClass, typeType, &itemClass, 4), noErr);
    ASSERT_EQ(AEPutParamDesc(&result, keyAEPropData, &properties.d), noErr);
    ASSERT_EQ(AEPutParamDesc(&result, keyAEInsertHere, &location.d), noErr);
  }

  long count() {
    Desc get, container, keyData, every, properties, specifier, reply, list;
    event(kAEGetData, get);
    const FourCharCode all = kAEAll, pALL = fourCharCode("pALL");
    AECreateDesc(typeAbsoluteOrdinal, &all, 4, &keyData);
    CreateObjSpecifier(cLoginItem, &container, formAbsolutePosition, &keyData, false, &every);
    AECreateDesc(typeType, &pALL, 4, &properties);
    CreateObjSpecifier(cProperty, &every, formPropertyID, &properties, false, &specifier);
    AEPutParamDesc(&get, keyDirectObject, &specifier.d);
    EXPECT_EQ(send(get, &reply), 0);
    long n = -1;
    AEGetParamDesc(&reply.d, keyDirectObject, typeAEList, &list);
    AECountItems(&list.d, &n);
    return n;
  }

  TempHome home;
  TempDir apps;
  ChildProcess service{
      {stagePath("share/kapsho/System/Library/CoreServices/System Events.app/Contents/MacOS/"
                 "System Events")},
      {},
      home.path() + "/service.out",
      home.path() + "/service.err"};
  const std::string socket = platform::eventSocketPath(service.pid());
};

TEST_F(SystemEvents, ParameterAndEventErrorsComeBackAsTheirNumbers) {
  const std::string app = apps.path();
  Desc unknown, noProperties, wrongClass, atStart, badHidden, getName, deleteEvery, deleteZero;
  event(fourCharCode("zzzz"), unknown);
  EXPECT_EQ(send(unknown), errAEEventNotHandled);
  event(kAECreateElement, noProperties);
  const FourCharCode itemClass = cLoginItem;
  AEPutParamPtr(&noProperties, keyAEObjectClass, typeType, &itemClass, 4);
  EXPECT_EQ(send(noProperties), errAEDescNotFound);
  creation(wrongClass, app, fourCharCode("cwin"));
  EXPECT_EQ(send(wrongClass), errAEEventNotHandled);
  creation(atStart, app, cLoginItem, fourCharCode("bgng"));
  EXPECT_EQ(send(atStart), errAEEventNotHandled);
  creation(badHidden, app, cLoginItem, kAEEnd, typeUTF8Text);
  EXPECT_EQ(send(badHidden), errAECoercionFail);
  event(kAEDelete, deleteEvery);
  putSpecifier(deleteEvery, keyDirectObject, typeAbsoluteOrdinal, kAEAll);
  EXPECT_EQ(send(deleteEvery), errAEEventNotHandled);
  event(kAEDelete, deleteZero);
  putSpecifier(deleteZero, keyDirectObject, typeSInt32, 0);
  EXPECT_EQ(send(deleteZero), errAENoSuchObject);
  EXPECT_EQ(count(), 0) << "no failed event changed the list";
}

TEST_F(SystemEvents, ManyEventsInARowAndBadConnectionsBetweenThem) {
  for (int i = 0; i < 30; ++i) {
    Desc create;
    creation(create, apps.path());
    EXPECT_EQ(send(create), 0);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, socket.c_str());
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const char junk[] = "\0\0\0\x0cnot an event";
    ASSERT_GT(write(fd, junk, sizeof junk - 1), 0);
    close(fd);
  }
  EXPECT_EQ(count(), 30);
  Desc removeLast;
  event(kAEDelete, removeLast);
  putSpecifier(removeLast, keyDirectObject, typeSInt32, static_cast<FourCharCode>(-1));
  EXPECT_EQ(send(removeLast), 0) << "a negative position counts from the end";
  EXPECT_EQ(count(), 29);
}

TEST_F(SystemEvents, EndsOnRequestAndTakesItsSocketAlong) {
  kill(service.pid(), SIGTERM);
  const auto status = service.wait();
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  EXPECT_NE(access(socket.c_str(), F_OK), 0);
}

}  // namespace

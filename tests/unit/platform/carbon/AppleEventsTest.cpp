#include "platform/carbon/AppleEvents.h"

#include <gtest/gtest.h>

#include "tests/unit/platform/carbon/CarbonTestSupport.h"

namespace {

TEST(AppleEvents, CoercionsKeepTheValueOrRefuseWhatDoesNotFit) {
  const SInt32 fits = -1728, tooBig = 70000, one = 1, three = 3;
  const UInt8 two = 2;
  const struct {
    DescType from;
    const void* data;
    Size size;
    DescType to;
    OSErr result;
    SInt32 value;
  } cases[] = {
      {typeSInt32, &fits, 4, typeSInt16, noErr, -1728},
      {typeSInt32, &tooBig, 4, typeSInt16, errAECoercionFail, 0},
      {typeSInt16, "abc", 3, typeSInt16, errAECoercionFail, 0},
      {typeUTF8Text, "-50", 3, typeSInt16, errAECoercionFail, 0},
      {typeBoolean, &two, 1, typeBoolean, noErr, 2},
      {typeTrue, nullptr, 0, typeBoolean, noErr, 1},
      {typeFalse, nullptr, 0, typeBoolean, noErr, 0},
      {typeSInt32, &one, 4, typeBoolean, noErr, 1},
      {typeSInt32, &three, 4, typeBoolean, errAECoercionFail, 0},
      {typeUTF8Text, "\xC3\x28", 2, typeUnicodeText, errAECoercionFail, 0},
      {typeUnicodeText, "a\0b", 3, typeUTF8Text, errAECoercionFail, 0},
  };
  for (const auto& c : cases) {
    Desc result;
    ASSERT_EQ(AECoercePtr(c.from, c.data, c.size, c.to, &result), c.result) << c.value;
    SInt32 value = 0;
    AEGetDescData(&result.d, &value, AEGetDescDataSize(&result.d));
    EXPECT_EQ(c.to == typeSInt16 ? static_cast<SInt16>(value) : value, c.value);
  }
}

TEST(AppleEvents, ListsCountFromOneAndRecordsHoldOneEntryPerKey) {
  Desc list, item, got, record;
  ASSERT_EQ(AECreateList(nullptr, 0, false, &list), noErr);
  const SInt32 n = 7;
  ASSERT_EQ(AECreateDesc(typeSInt32, &n, sizeof n, &item), noErr);
  ASSERT_EQ(AEPutDesc(&list, 0, &item.d), noErr);
  for (long index : {0, 2})
    EXPECT_EQ(AEGetNthDesc(&list.d, index, typeWildCard, nullptr, &got), errAEIllegalIndex);
  ASSERT_EQ(AEGetNthDesc(&list.d, 1, typeSInt16, nullptr, &got), noErr);
  EXPECT_EQ(AEGetDescDataSize(&got.d), 2);

  ASSERT_EQ(AECreateList(nullptr, 0, true, &record), noErr);
  ASSERT_EQ(AEPutKeyPtr(&record, fourCharCode("ppth"), typeUTF8Text, "/a", 2), noErr);
  ASSERT_EQ(AEPutKeyPtr(&record, fourCharCode("ppth"), typeUTF8Text, "/bc", 3), noErr);
  long count = 0;
  ASSERT_EQ(AECountItems(&record.d, &count), noErr);
  EXPECT_EQ(count, 1);
  char small[1] = {};
  Size size = 0;
  ASSERT_EQ(AEGetKeyPtr(&record.d, fourCharCode("ppth"), typeUTF8Text, nullptr, small, 1, &size),
            noErr);
  EXPECT_EQ(size, 3) << "the whole size is reported when the buffer is short";
  EXPECT_EQ(small[0], '/');
}

}  // namespace

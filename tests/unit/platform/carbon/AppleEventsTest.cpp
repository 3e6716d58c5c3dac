// Descriptors: their coercions, the reading of lists and records, and their wire form.
#include "platform/carbon/AppleEvents.h"

#include <gtest/gtest.h>

#include <tuple>

#include "platform/carbon/AEWire.h"
#include "tests/unit/platform/carbon/CarbonTestSupport.h"

namespace {

TEST(AppleEvents, CoercionsKeepTheValueOrRefuseWhatDoesNotFit) {
  const SInt32 fits = -1728, three = 3;
  Desc result;
  SInt16 value = 0;
  ASSERT_EQ(AECoercePtr(typeSInt32, &fits, 4, typeSInt16, &result), noErr);
  ASSERT_EQ(AEGetDescData(&result.d, &value, sizeof value), noErr);
  EXPECT_EQ(value, -1728);
  const std::tuple<DescType, const void*, Size, DescType, const char*> refused[] = {
      {typeSInt16, "abc", 3, typeSInt16, "ill-sized"},
      {typeSInt32, &three, 4, typeBoolean, "no truth value"},
      {typeUTF8Text, "\xC3\x28", 2, typeUnicodeText, "not UTF-8"},
      {typeUnicodeText, "a\0b", 3, typeUTF8Text, "half a UTF-16 unit"},
  };
  for (const auto& [from, data, size, to, what] : refused) {
    Desc none;
    EXPECT_EQ(AECoercePtr(from, data, size, to, &none), errAECoercionFail) << what;
  }
}

std::string u32(UInt32 n) {
  return {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
          static_cast<char>(n)};
}

std::string data(DescType type, const std::string& bytes) {
  return u32(type) + '\0' + u32(static_cast<UInt32>(bytes.size())) + bytes;
}

std::string list(const std::string& body) {
  return u32(typeAEList) + '\1' + u32(static_cast<UInt32>(body.size())) + body;
}

OSErr parse(const std::string& bytes, AEDesc* result) {
  const OSErr err = platform::unflattenDescriptor(bytes, result);
  if (err == noErr) {
    EXPECT_EQ(platform::flattenDescriptor(*result), bytes) << "read exactly";
  }
  return err;
}

// An event holding every kind of descriptor nested: a list of a record, text, a null container
// and an object specifier.
TEST(AppleEvents, AnEventReadsBackFromItsWireFormWhereListsCountFromOneAndDamageIsRefused) {
  Desc event, items, record, specifier, container, keyData, copy, parsed, item;
  const FourCharCode all = kAEAll;
  ASSERT_EQ(makeEvent(42, kAEGetData, &event), noErr);
  AECreateList(nullptr, 0, false, &items);
  AECreateList(nullptr, 0, true, &record);
  AEPutKeyPtr(&record, fourCharCode("ppth"), typeUTF8Text, "/a", 2);
  AEPutKeyPtr(&record, fourCharCode("ppth"), typeUTF8Text, "/bc", 3);
  AEPutDesc(&items, 0, &record.d);
  AECreateDesc(typeAbsoluteOrdinal, &all, 4, &keyData);
  CreateObjSpecifier(fourCharCode("logi"), &container, formAbsolutePosition, &keyData, false,
                     &specifier);
  AEPutParamDesc(&event, keyDirectObject, &specifier.d);
  AEPutParamDesc(&event, fourCharCode("lst "), &items.d);
  const std::string flat = platform::flattenDescriptor(event.d);
  ASSERT_EQ(parse(flat, &copy), noErr);
  ASSERT_EQ(AEGetParamDesc(&copy.d, fourCharCode("lst "), typeAEList, &parsed), noErr);
  for (long index : {0, 2})
    EXPECT_EQ(AEGetNthDesc(&parsed.d, index, typeWildCard, nullptr, &item), errAEIllegalIndex);
  ASSERT_EQ(AEGetNthDesc(&parsed.d, 1, typeAERecord, nullptr, &item), noErr);
  long count = 0;
  ASSERT_EQ(AECountItems(&item.d, &count), noErr);
  EXPECT_EQ(count, 1) << "a record holds one entry per key";
  char small[1] = {};
  Size size = 0;
  ASSERT_EQ(AEGetKeyPtr(&item.d, fourCharCode("ppth"), typeUTF8Text, nullptr, small, 1, &size),
            noErr);
  EXPECT_EQ(size, 3) << "the whole size is reported when the buffer is short";
  EXPECT_EQ(small[0], '/');

  for (size_t length = 0; length < flat.size(); ++length) {
    Desc cut;
    EXPECT_EQ(parse(flat.substr(0, length), &cut), errAECorruptData) << "cut to " << length;
  }
  std::string nested = data(typeSInt32, "abcd");
  for (int depth = 0; depth < platform::kMaxFlattenedDepth; ++depth) nested = list(nested);
  const std::pair<std::string, const char*> inputs[] = {
      {nested, ""},
      {flat + '\0', "a byte left over"},
      {list(nested), "nested too deep"},
      {u32(typeSInt32) + '\7' + u32(0), "unknown kind"},
      {u32(typeSInt32) + '\1' + u32(0), "list kind, other type"},
      {data(typeAEList, ""), "data kind, list type"},
      {data(typeNull, "x"), "null with data"},
      {list(data(typeSInt32, "abcd") + "zz"), "junk in a list"},
  };
  for (const auto& [bytes, damage] : inputs) {
    Desc result;
    EXPECT_EQ(parse(bytes, &result), *damage ? errAECorruptData : noErr) << damage;
  }
}

}  // namespace

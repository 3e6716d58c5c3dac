#include "platform/carbon/AEWire.h"

#include <gtest/gtest.h>

#include "platform/carbon/Processes.h"
#include "tests/unit/platform/carbon/CarbonTestSupport.h"

namespace {

// An event with a list of records, text, numbers and an object specifier: every kind nested.
std::string flattenedSample() {
  Desc event, list, record, specifier, container, keyData;
  const UInt8 yes = 1;
  const FourCharCode all = kAEAll;
  EXPECT_EQ(makeEvent(42, kAEGetData, &event), noErr);
  AECreateList(nullptr, 0, false, &list);
  AECreateList(nullptr, 0, true, &record);
  AEPutKeyPtr(&record, fourCharCode("ppth"), typeUTF8Text, "/Applications/A.app", 19);
  AEPutKeyPtr(&record, fourCharCode("hidn"), typeBoolean, &yes, 1);
  AEPutDesc(&list, 0, &record.d);
  AEPutDesc(&list, 0, &container.d);
  AECreateDesc(typeAbsoluteOrdinal, &all, 4, &keyData);
  CreateObjSpecifier(fourCharCode("logi"), &container, formAbsolutePosition, &keyData, false,
                     &specifier);
  AEPutParamDesc(&event, keyDirectObject, &specifier.d);
  AEPutParamDesc(&event, fourCharCode("lst "), &list.d);
  return platform::flattenDescriptor(event.d);
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

OSErr parse(const std::string& bytes) {
  Desc result;
  const OSErr err = platform::unflattenDescriptor(bytes, &result);
  if (err == noErr) {
    EXPECT_EQ(platform::flattenDescriptor(result.d), bytes) << "read exactly";
  }
  return err;
}

TEST(AEWire, AFlattenedEventReadsBackTheSameAndDamagedInputIsRefused) {
  const std::string flat = flattenedSample();
  EXPECT_EQ(parse(flat), noErr);
  for (size_t length = 0; length < flat.size(); ++length)
    EXPECT_EQ(parse(flat.substr(0, length)), errAECorruptData) << "cut to " << length;
  std::string nested = data(typeSInt32, "abcd");
  for (int depth = 0; depth < platform::kMaxFlattenedDepth; ++depth) nested = list(nested);
  EXPECT_EQ(parse(nested), noErr);
  std::string oversized = data(typeSInt32, "abcd");
  oversized[8] = 5;
  const std::pair<std::string, const char*> malformed[] = {
      {flat + '\0', "a byte left over"},
      {list(nested), "nested too deep"},
      {oversized, "length beyond the bytes"},
      {u32(typeSInt32) + '\7' + u32(0), "unknown kind"},
      {u32(typeSInt32) + '\1' + u32(0), "list kind, other type"},
      {data(typeAEList, ""), "data kind, list type"},
      {data(typeNull, "x"), "null with data"},
      {list(data(typeSInt32, "abcd") + "zz"), "junk in a list"},
      {u32(typeAppleEvent) + '\3' + u32(4) + u32(1), "more attributes counted than there are"},
  };
  for (const auto& [bytes, what] : malformed) EXPECT_EQ(parse(bytes), errAECorruptData) << what;
}

}  // namespace

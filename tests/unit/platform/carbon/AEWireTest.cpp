#include "platform/carbon/AEWire.h"

#include <gtest/gtest.h>

#include <random>

#include "platform/carbon/Processes.h"
#include "tests/unit/platform/carbon/CarbonTestSupport.h"

namespace {

// An event with a list of records, text, numbers and an object specifier: every kind nested.
void makeSample(Desc& event) {
  Desc target, list, record, specifier, container, keyData;
  const ProcessSerialNumber psn{0, 42};
  ASSERT_EQ(AECreateDesc(typeProcessSerialNumber, &psn, sizeof psn, &target), noErr);
  ASSERT_EQ(AECreateAppleEvent(kAECoreSuite, kAEGetData, &target, 7, 9, &event), noErr);
  ASSERT_EQ(AECreateList(nullptr, 0, false, &list), noErr);
  ASSERT_EQ(AECreateList(nullptr, 0, true, &record), noErr);
  ASSERT_EQ(AEPutKeyPtr(&record, fourCharCode("ppth"), typeUTF8Text, "/Applications/A.app", 19),
            noErr);
  const UInt8 yes = 1;
  ASSERT_EQ(AEPutKeyPtr(&record, fourCharCode("hidn"), typeBoolean, &yes, 1), noErr);
  ASSERT_EQ(AEPutDesc(&list, 0, &record), noErr);
  ASSERT_EQ(AEPutDesc(&list, 0, &container), noErr);
  const FourCharCode all = kAEAll;
  ASSERT_EQ(AECreateDesc(typeAbsoluteOrdinal, &all, 4, &keyData), noErr);
  ASSERT_EQ(CreateObjSpecifier(fourCharCode("logi"), &container, formAbsolutePosition, &keyData,
                               false, &specifier),
            noErr);
  ASSERT_EQ(AEPutParamDesc(&event, keyDirectObject, &specifier), noErr);
  ASSERT_EQ(AEPutParamDesc(&event, fourCharCode("lst "), &list), noErr);
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
  return platform::unflattenDescriptor(bytes, &result);
}

TEST(AEWire, AFlattenedEventReadsBackTheSame) {
  Desc event, back;
  makeSample(event);
  const std::string flat = platform::flattenDescriptor(event.d);
  ASSERT_EQ(platform::unflattenDescriptor(flat, &back), noErr);
  EXPECT_EQ(back.d.descriptorType, typeAppleEvent);
  EXPECT_EQ(platform::flattenDescriptor(back.d), flat);
  FourCharCode id = 0;
  ASSERT_EQ(AEGetAttributePtr(&back.d, keyEventIDAttr, typeType, nullptr, &id, 4, nullptr), noErr);
  EXPECT_EQ(id, kAEGetData);
  Desc items, record;
  ASSERT_EQ(AEGetParamDesc(&back.d, fourCharCode("lst "), typeAEList, &items), noErr);
  ASSERT_EQ(AEGetNthDesc(&items, 1, typeAERecord, nullptr, &record), noErr);
  EXPECT_EQ(textOf(&record.d, fourCharCode("ppth")), "/Applications/A.app");
}

TEST(AEWire, MalformedInputIsRefused) {
  Desc event;
  makeSample(event);
  const std::string flat = platform::flattenDescriptor(event.d);
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

// Mutated and random input never reads or writes out of bounds (the sanitizer build checks), and
// whatever is accepted flattens back to the same bytes.
TEST(AEWire, RandomAndMutatedInputIsRefusedOrReadExactly) {
  Desc event;
  makeSample(event);
  const std::string flat = platform::flattenDescriptor(event.d);
  std::mt19937 random(20240611);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int round = 0; round < 3000; ++round) {
    std::string input = flat;
    const int edits = 1 + round % 4;
    for (int i = 0; i < edits; ++i)
      input[random() % input.size()] = static_cast<char>(byte(random));
    if (round % 3 == 0) input.resize(random() % (input.size() + 1));
    if (round % 5 == 0) {
      input.clear();
      for (size_t i = random() % 64; i > 0; --i) input += static_cast<char>(byte(random));
    }
    Desc result;
    if (platform::unflattenDescriptor(input, &result) == noErr) {
      EXPECT_EQ(platform::flattenDescriptor(result.d), input);
    }
  }
}

}  // namespace

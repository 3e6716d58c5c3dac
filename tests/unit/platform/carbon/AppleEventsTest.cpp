#include "platform/carbon/AppleEvents.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/carbon/Processes.h"
#include "tests/unit/platform/carbon/CarbonTestSupport.h"

namespace {

OSErr coercePtr(DescType from, const void* data, Size size, DescType to, Desc& result) {
  return AECoercePtr(from, data, size, to, &result);
}

TEST(AppleEvents, DisposingLeavesTheNullDescriptorAndMayBeRepeated) {
  AEDesc desc{typeNull, nullptr};
  const SInt32 n = 7;
  ASSERT_EQ(AECreateDesc(typeSInt32, &n, sizeof n, &desc), noErr);
  EXPECT_EQ(desc.descriptorType, typeSInt32);
  EXPECT_NE(desc.dataHandle, nullptr);
  EXPECT_EQ(AEDisposeDesc(&desc), noErr);
  EXPECT_EQ(desc.descriptorType, typeNull);
  EXPECT_EQ(desc.dataHandle, nullptr);
  EXPECT_EQ(AEDisposeDesc(&desc), noErr);
}

TEST(AppleEvents, TextCoercesBetweenUtf8AndUnicodeBothWays) {
  const std::string text = "/Users/J\xC3\xBCrgen/\xE2\x98\x83 \xF0\x9D\x84\x9E.app";
  Desc unicode, back;
  ASSERT_EQ(coercePtr(typeUTF8Text, text.data(), static_cast<Size>(text.size()), typeUnicodeText,
                      unicode),
            noErr);
  EXPECT_EQ(unicode.d.descriptorType, typeUnicodeText);
  ASSERT_EQ(AECoerceDesc(&unicode, typeUTF8Text, &back), noErr);
  Desc record;
  ASSERT_EQ(AECreateList(nullptr, 0, true, &record), noErr);
  ASSERT_EQ(AEPutKeyDesc(&record, keyDirectObject, &back), noErr);
  EXPECT_EQ(textOf(&record.d, keyDirectObject), text);

  const char invalid[] = "\xC3\x28";
  Desc none;
  EXPECT_EQ(coercePtr(typeUTF8Text, invalid, 2, typeUnicodeText, none), errAECoercionFail);
  const char oddUnits[3] = {'a', 0, 'b'};
  EXPECT_EQ(coercePtr(typeUnicodeText, oddUnits, 3, typeUTF8Text, none), errAECoercionFail);
}

TEST(AppleEvents, IntegersCoerceOnlyWithinRangeAndAtTheirSize) {
  Desc shortDesc;
  const SInt32 fits = -1728, tooBig = 70000;
  ASSERT_EQ(coercePtr(typeSInt32, &fits, 4, typeSInt16, shortDesc), noErr);
  Desc record;
  ASSERT_EQ(AECreateList(nullptr, 0, true, &record), noErr);
  ASSERT_EQ(AEPutKeyDesc(&record, keyErrorNumber, &shortDesc), noErr);
  EXPECT_EQ(readAs<SInt16>(&record.d, keyErrorNumber, typeSInt16), -1728);

  Desc none;
  EXPECT_EQ(coercePtr(typeSInt32, &tooBig, 4, typeSInt16, none), errAECoercionFail);
  const char threeBytes[3] = {1, 2, 3};
  ASSERT_EQ(AEPutKeyPtr(&record, keyErrorNumber, typeSInt16, threeBytes, 3), noErr);
  OSErr err = noErr;
  readAs<SInt16>(&record.d, keyErrorNumber, typeSInt16, &err);
  EXPECT_EQ(err, errAECoercionFail);
  ASSERT_EQ(AEPutKeyPtr(&record, keyErrorNumber, typeUTF8Text, "-50", 3), noErr);
  readAs<SInt16>(&record.d, keyErrorNumber, typeSInt16, &err);
  EXPECT_EQ(err, errAECoercionFail);
}

TEST(AppleEvents, BooleansComeFromTheirOwnTypesAndFromZeroOrOne) {
  Desc record;
  ASSERT_EQ(AECreateList(nullptr, 0, true, &record), noErr);
  const UInt8 two = 2;
  const SInt32 one = 1, three = 3;
  ASSERT_EQ(AEPutKeyPtr(&record, 'a', typeBoolean, &two, 1), noErr);
  ASSERT_EQ(AEPutKeyPtr(&record, 'b', typeTrue, nullptr, 0), noErr);
  ASSERT_EQ(AEPutKeyPtr(&record, 'c', typeFalse, nullptr, 0), noErr);
  ASSERT_EQ(AEPutKeyPtr(&record, 'd', typeSInt32, &one, 4), noErr);
  ASSERT_EQ(AEPutKeyPtr(&record, 'e', typeSInt32, &three, 4), noErr);
  EXPECT_NE(readAs<Boolean>(&record.d, 'a', typeBoolean), 0);
  EXPECT_EQ(readAs<Boolean>(&record.d, 'b', typeBoolean), 1);
  EXPECT_EQ(readAs<Boolean>(&record.d, 'c', typeBoolean), 0);
  EXPECT_EQ(readAs<Boolean>(&record.d, 'd', typeBoolean), 1);
  OSErr err = noErr;
  readAs<Boolean>(&record.d, 'e', typeBoolean, &err);
  EXPECT_EQ(err, errAECoercionFail);
  readAs<Boolean>(&record.d, 'z', typeBoolean, &err);
  EXPECT_EQ(err, errAEDescNotFound);
}

TEST(AppleEvents, ListsAndRecordsHoldCopiesCountedFromOne) {
  Desc list, item, got;
  ASSERT_EQ(AECreateList(nullptr, 0, false, &list), noErr);
  for (SInt32 i = 1; i <= 3; ++i) {
    AEDisposeDesc(&item);
    ASSERT_EQ(AECreateDesc(typeSInt32, &i, sizeof i, &item), noErr);
    ASSERT_EQ(AEPutDesc(&list, 0, &item), noErr);
  }
  long count = 0;
  ASSERT_EQ(AECountItems(&list, &count), noErr);
  EXPECT_EQ(count, 3);
  AEKeyword keyword = 0;
  ASSERT_EQ(AEGetNthDesc(&list, 3, typeSInt16, &keyword, &got), noErr);
  EXPECT_EQ(got.d.descriptorType, typeSInt16);
  EXPECT_EQ(AEGetNthDesc(&list, 0, typeWildCard, &keyword, &got), errAEIllegalIndex);
  EXPECT_EQ(AEGetNthDesc(&list, 4, typeWildCard, &keyword, &got), errAEIllegalIndex);

  Desc record;
  ASSERT_EQ(AECreateList(nullptr, 0, true, &record), noErr);
  ASSERT_EQ(AEPutKeyPtr(&record, fourCharCode("ppth"), typeUTF8Text, "/a", 2), noErr);
  ASSERT_EQ(AEPutKeyPtr(&record, fourCharCode("ppth"), typeUTF8Text, "/b", 2), noErr);
  ASSERT_EQ(AECountItems(&record, &count), noErr);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(textOf(&record.d, fourCharCode("ppth")), "/b");
  char small[1] = {};
  Size size = 0;
  ASSERT_EQ(AEGetKeyPtr(&record, fourCharCode("ppth"), typeUTF8Text, nullptr, small, 1, &size),
            noErr);
  EXPECT_EQ(size, 2) << "the whole size is reported when the buffer is short";
  EXPECT_EQ(small[0], '/');

  Desc asList, asRecord;
  ASSERT_EQ(AECoerceDesc(&item, typeAEList, &asList), noErr);
  ASSERT_EQ(AECountItems(&asList, &count), noErr);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(AECoerceDesc(&list, typeAERecord, &asRecord), errAECoercionFail);
}

TEST(AppleEvents, ARecordBecomesAnInsertionLocationAndAnObjectSpecifierARecord) {
  Desc record, location, specifier, keyData, container, asRecord;
  ASSERT_EQ(AECreateList(nullptr, 0, true, &record), noErr);
  const FourCharCode end = kAEEnd;
  ASSERT_EQ(AEPutKeyPtr(&record, keyAEPosition, typeEnumerated, &end, 4), noErr);
  ASSERT_EQ(AECoerceDesc(&record, typeInsertionLoc, &location), noErr);
  EXPECT_EQ(location.d.descriptorType, typeInsertionLoc);
  EXPECT_EQ(readAs<FourCharCode>(&location.d, keyAEPosition, typeEnumerated), kAEEnd);

  const SInt32 index = 2;
  ASSERT_EQ(AECreateDesc(typeSInt32, &index, 4, &keyData), noErr);
  ASSERT_EQ(CreateObjSpecifier(fourCharCode("logi"), &container, formAbsolutePosition, &keyData,
                               true, &specifier),
            noErr);
  EXPECT_EQ(keyData.d.descriptorType, typeNull) << "inputs are disposed when asked";
  EXPECT_EQ(specifier.d.descriptorType, typeObjectSpecifier);
  ASSERT_EQ(AECoerceDesc(&specifier, typeAERecord, &asRecord), noErr);
  EXPECT_EQ(readAs<FourCharCode>(&asRecord.d, keyAEDesiredClass, typeType), fourCharCode("logi"));
  EXPECT_EQ(readAs<FourCharCode>(&asRecord.d, keyAEKeyForm, typeEnumerated), formAbsolutePosition);
  EXPECT_EQ(readAs<SInt32>(&asRecord.d, keyAEKeyData, typeSInt32), 2);
  Desc from;
  ASSERT_EQ(AEGetKeyDesc(&asRecord, keyAEContainer, typeWildCard, &from), noErr);
  EXPECT_EQ(from.d.descriptorType, typeNull);
}

TEST(AppleEvents, EventsCarryTheirAttributesAndParameters) {
  Desc target, event, other;
  const ProcessSerialNumber psn{0, 1234};
  ASSERT_EQ(AECreateDesc(typeProcessSerialNumber, &psn, sizeof psn, &target), noErr);
  ASSERT_EQ(AECreateAppleEvent(kAECoreSuite, kAEDelete, &target, kAutoGenerateReturnID,
                               kAnyTransactionID, &event),
            noErr);
  EXPECT_EQ(AEGetAttributePtr(&event.d, keyEventClassAttr, typeType, nullptr, nullptr, 0, nullptr),
            noErr);
  FourCharCode id = 0;
  ASSERT_EQ(AEGetAttributePtr(&event.d, keyEventIDAttr, typeType, nullptr, &id, 4, nullptr), noErr);
  EXPECT_EQ(id, kAEDelete);
  SInt16 returnID = 0;
  ASSERT_EQ(
      AEGetAttributePtr(&event.d, keyReturnIDAttr, typeSInt16, nullptr, &returnID, 2, nullptr),
      noErr);
  EXPECT_GT(returnID, 0);

  const SInt32 n = 5;
  ASSERT_EQ(AEPutParamPtr(&event, keyDirectObject, typeSInt32, &n, 4), noErr);
  SInt32 got = 0;
  ASSERT_EQ(AEGetParamPtr(&event.d, keyDirectObject, typeSInt32, nullptr, &got, 4, nullptr), noErr);
  EXPECT_EQ(got, 5);
  EXPECT_EQ(AEGetParamPtr(&event.d, keyErrorNumber, typeSInt16, nullptr, &got, 2, nullptr),
            errAEDescNotFound);

  const SInt32 notAnAddress = 1;
  Desc badTarget;
  ASSERT_EQ(AECreateDesc(typeSInt32, &notAnAddress, 4, &badTarget), noErr);
  EXPECT_EQ(AECreateAppleEvent(kAECoreSuite, kAEDelete, &badTarget, kAutoGenerateReturnID,
                               kAnyTransactionID, &other),
            errAEUnknownAddressType);
  EXPECT_EQ(AEPutParamDesc(&target, keyDirectObject, &target), errAENotAppleEvent);
}

}  // namespace

// The Apple Event Manager: descriptors, lists, records, coercions, object specifiers and Apple
// events. Descriptors are plain structures that own their data; AEDisposeDesc gives it back.
#pragma once

#include "platform/carbon/MacTypes.h"

using DescType = FourCharCode;
using AEKeyword = FourCharCode;
using AEEventClass = FourCharCode;
using AEEventID = FourCharCode;
using AEReturnID = SInt16;
using AETransactionID = SInt32;
using AESendMode = SInt32;

struct OpaqueAEDataStorageType;
using AEDataStorage = OpaqueAEDataStorageType*;

struct AEDesc {
  DescType descriptorType;
  AEDataStorage dataHandle;
};
using AEDescList = AEDesc;
using AERecord = AEDescList;
using AEAddressDesc = AEDesc;
using AppleEvent = AERecord;

enum : DescType {
  typeNull = fourCharCode("null"),
  typeWildCard = fourCharCode("****"),
  typeAEList = fourCharCode("list"),
  typeAERecord = fourCharCode("reco"),
  typeAppleEvent = fourCharCode("aevt"),
  typeBoolean = fourCharCode("bool"),
  typeTrue = fourCharCode("true"),
  typeFalse = fourCharCode("fals"),
  typeSInt16 = fourCharCode("shor"),
  typeSInt32 = fourCharCode("long"),
  typeUTF8Text = fourCharCode("utf8"),
  typeUnicodeText = fourCharCode("utxt"),
  typeType = fourCharCode("type"),
  typeEnumerated = fourCharCode("enum"),
  typeAbsoluteOrdinal = fourCharCode("abso"),
  typeObjectSpecifier = fourCharCode("obj "),
  typeInsertionLoc = fourCharCode("insl"),
  typeProcessSerialNumber = fourCharCode("psn "),
};

enum : AEKeyword {
  keyDirectObject = fourCharCode("----"),
  keyErrorNumber = fourCharCode("errn"),
  keyAEObjectClass = fourCharCode("kocl"),
  keyAEPropData = fourCharCode("prdt"),
  keyAEInsertHere = fourCharCode("insh"),
  keyAEObject = fourCharCode("kobj"),
  keyAEPosition = fourCharCode("kpos"),
  keyAEDesiredClass = fourCharCode("want"),
  keyAEContainer = fourCharCode("from"),
  keyAEKeyForm = fourCharCode("form"),
  keyAEKeyData = fourCharCode("seld"),
  keyEventClassAttr = fourCharCode("evcl"),
  keyEventIDAttr = fourCharCode("evid"),
  keyAddressAttr = fourCharCode("addr"),
  keyReturnIDAttr = fourCharCode("rtid"),
  keyTransactionIDAttr = fourCharCode("tran"),
};

enum : FourCharCode {
  kCoreEventClass = fourCharCode("aevt"),
  kAEAnswer = fourCharCode("ansr"),
  kAECoreSuite = fourCharCode("core"),
  kAEGetData = fourCharCode("getd"),
  kAECreateElement = fourCharCode("crel"),
  kAEDelete = fourCharCode("delo"),
  kAEAll = fourCharCode("all "),
  kAEEnd = fourCharCode("end "),
  cProperty = fourCharCode("prop"),
  formAbsolutePosition = fourCharCode("indx"),
  formPropertyID = fourCharCode("prop"),
};

enum : OSStatus { errAEIllegalIndex = -1719 };

inline constexpr AEReturnID kAutoGenerateReturnID = -1;
inline constexpr AETransactionID kAnyTransactionID = 0;
inline constexpr AESendMode kAEWaitReply = 3;

OSErr AECreateDesc(DescType typeCode, const void* dataPtr, Size dataSize, AEDesc* result);
// The data of a descriptor that holds plain data (not a list, record or event).
Size AEGetDescDataSize(const AEDesc* desc);
OSErr AEGetDescData(const AEDesc* desc, void* dataPtr, Size maximumSize);
// Gives back the descriptor's data and leaves it the null descriptor.
OSErr AEDisposeDesc(AEDesc* desc);
OSErr AEDuplicateDesc(const AEDesc* desc, AEDesc* result);

// Coercions: to a list (a non-list becomes a one-item list), between a record and an object
// specifier or insertion location, UTF-8 and UTF-16 text both ways, to a boolean (from 'true',
// 'fals', and integers 0 and 1), between 16- and 32-bit integers in range. Anything else, and
// data of the wrong size for its type, is errAECoercionFail.
OSErr AECoerceDesc(const AEDesc* desc, DescType toType, AEDesc* result);
OSErr AECoercePtr(DescType typeCode, const void* dataPtr, Size dataSize, DescType toType,
                  AEDesc* result);

// Lists and records. Items are numbered from 1; AEPutDesc with index 0 appends.
OSErr AECreateList(const void* factoringPtr, Size factoredSize, Boolean isRecord,
                   AEDescList* resultList);
OSErr AECountItems(const AEDescList* list, long* count);
OSErr AEGetNthDesc(const AEDescList* list, long index, DescType desiredType, AEKeyword* keyword,
                   AEDesc* result);
OSErr AEPutDesc(AEDescList* list, long index, const AEDesc* desc);
OSErr AEPutKeyDesc(AERecord* record, AEKeyword keyword, const AEDesc* desc);
OSErr AEPutKeyPtr(AERecord* record, AEKeyword keyword, DescType typeCode, const void* dataPtr,
                  Size dataSize);
OSErr AEGetKeyDesc(const AERecord* record, AEKeyword keyword, DescType desiredType, AEDesc* result);
// Copies at most maximumSize bytes of the coerced data; actualSize gives its whole size.
OSErr AEGetKeyPtr(const AERecord* record, AEKeyword keyword, DescType desiredType,
                  DescType* actualType, void* dataPtr, Size maximumSize, Size* actualSize);

// Object specifiers: desiredClass of container by keyForm with keyData.
OSErr CreateObjSpecifier(DescType desiredClass, AEDesc* theContainer, DescType keyForm,
                         AEDesc* keyData, Boolean disposeInputs, AEDesc* objSpecifier);

// Apple events, addressed to a process serial number ('psn ').
OSErr AECreateAppleEvent(AEEventClass theAEEventClass, AEEventID theAEEventID,
                         const AEAddressDesc* target, AEReturnID returnID,
                         AETransactionID transactionID, AppleEvent* result);
OSErr AEPutParamDesc(AppleEvent* event, AEKeyword keyword, const AEDesc* desc);
OSErr AEPutParamPtr(AppleEvent* event, AEKeyword keyword, DescType typeCode, const void* dataPtr,
                    Size dataSize);
OSErr AEGetParamDesc(const AppleEvent* event, AEKeyword keyword, DescType desiredType,
                     AEDesc* result);
OSErr AEGetParamPtr(const AppleEvent* event, AEKeyword keyword, DescType desiredType,
                    DescType* actualType, void* dataPtr, Size maximumSize, Size* actualSize);
OSErr AEGetAttributePtr(const AppleEvent* event, AEKeyword keyword, DescType desiredType,
                        DescType* actualType, void* dataPtr, Size maximumSize, Size* actualSize);
OSErr AEPutAttributePtr(AppleEvent* event, AEKeyword keyword, DescType typeCode,
                        const void* dataPtr, Size dataSize);

#include "platform/carbon/AppleEvents.h"

#include <unicode/ustring.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <optional>

#include "platform/carbon/AEValue.h"

struct OpaqueAEDataStorageType {
  platform::carbon::AEValue value;
};

namespace platform::carbon {

AEValue valueOf(const AEDesc& desc) {
  AEValue value = desc.dataHandle ? desc.dataHandle->value : AEValue{};
  value.type = desc.descriptorType;
  return value;
}

void adopt(AEValue value, AEDesc* desc) {
  desc->descriptorType = value.type;
  desc->dataHandle =
      value.type == typeNull ? nullptr : new OpaqueAEDataStorageType{std::move(value)};
}

}  // namespace platform::carbon

namespace {

using platform::carbon::adopt;
using platform::carbon::AEItem;
using platform::carbon::AEValue;
using Kind = AEValue::Kind;

const AEValue& stored(const AEDesc* desc) {
  static const AEValue null;
  return desc && desc->dataHandle ? desc->dataHandle->value : null;
}

AEValue* mutableStored(AEDesc* desc) {
  return desc && desc->dataHandle ? &desc->dataHandle->value : nullptr;
}

OSErr give(AEValue value, AEDesc* result) {
  if (!result) return paramErr;
  adopt(std::move(value), result);
  return noErr;
}

AEValue dataValue(DescType type, const void* data, size_t size) {
  AEValue value{type, Kind::Data, {}, {}, {}};
  const auto* bytes = static_cast<const UInt8*>(data);
  if (size) value.bytes.assign(bytes, bytes + size);
  return value;
}

// Codes are held in native byte order, as the platform's structures hold them.
AEValue codeValue(DescType type, FourCharCode code) {
  return dataValue(type, &code, sizeof code);
}

std::optional<size_t> fixedSize(DescType type) {
  switch (type) {
    case typeBoolean:
      return 1;
    case typeSInt16:
      return 2;
    case typeSInt32:
    case typeType:
    case typeEnumerated:
    case typeAbsoluteOrdinal:
      return 4;
    case typeProcessSerialNumber:
      return 8;
    case typeTrue:
    case typeFalse:
      return 0;
    default:
      return std::nullopt;
  }
}

bool wellSized(const AEValue& value) {
  const auto size = fixedSize(value.type);
  return value.kind != Kind::Data || !size || value.bytes.size() == *size;
}

template <typename T>
T readNative(const AEValue& value) {
  T result{};
  std::memcpy(&result, value.bytes.data(), sizeof result);
  return result;
}

std::optional<long> integerOf(const AEValue& value) {
  if (!wellSized(value)) return std::nullopt;
  switch (value.type) {
    case typeSInt16:
      return readNative<SInt16>(value);
    case typeSInt32:
      return readNative<SInt32>(value);
    case typeBoolean:
      return readNative<UInt8>(value) != 0;
    case typeTrue:
      return 1;
    case typeFalse:
      return 0;
    case typeEnumerated:
      if (readNative<FourCharCode>(value) == typeTrue) return 1;
      if (readNative<FourCharCode>(value) == typeFalse) return 0;
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

OSErr integerTo(const AEValue& from, DescType to, long low, long high, AEValue* out) {
  const auto n = integerOf(from);
  if (!n || *n < low || *n > high) return errAECoercionFail;
  if (to == typeSInt16) {
    const auto v = static_cast<SInt16>(*n);
    *out = dataValue(to, &v, sizeof v);
  } else if (to == typeSInt32) {
    const auto v = static_cast<SInt32>(*n);
    *out = dataValue(to, &v, sizeof v);
  } else {
    const UInt8 v = *n != 0;
    *out = dataValue(to, &v, sizeof v);
  }
  return noErr;
}

OSErr utf8ToUnicode(const AEValue& from, AEValue* out) {
  if (from.bytes.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max() / 2))
    return errAECoercionFail;
  const auto* source = reinterpret_cast<const char*>(from.bytes.data());
  const auto sourceLength = static_cast<int32_t>(from.bytes.size());
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = 0;
  u_strFromUTF8(nullptr, 0, &length, source, sourceLength, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return errAECoercionFail;
  std::vector<UChar> units(static_cast<size_t>(length) + 1);
  status = U_ZERO_ERROR;
  u_strFromUTF8(units.data(), length + 1, &length, source, sourceLength, &status);
  if (U_FAILURE(status)) return errAECoercionFail;
  *out = dataValue(typeUnicodeText, units.data(), static_cast<size_t>(length) * sizeof(UChar));
  return noErr;
}

OSErr unicodeToUtf8(const AEValue& from, AEValue* out) {
  if (from.bytes.size() % sizeof(UChar) ||
      from.bytes.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max() / 4))
    return errAECoercionFail;
  std::vector<UChar> units(from.bytes.size() / sizeof(UChar));
  if (!units.empty()) std::memcpy(units.data(), from.bytes.data(), from.bytes.size());
  const auto unitCount = static_cast<int32_t>(units.size());
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = 0;
  u_strToUTF8(nullptr, 0, &length, units.data(), unitCount, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return errAECoercionFail;
  std::vector<char> text(static_cast<size_t>(length) + 1);
  status = U_ZERO_ERROR;
  u_strToUTF8(text.data(), length + 1, &length, units.data(), unitCount, &status);
  if (U_FAILURE(status)) return errAECoercionFail;
  *out = dataValue(typeUTF8Text, text.data(), static_cast<size_t>(length));
  return noErr;
}

bool isRecordType(DescType type) {
  return type == typeAERecord || type == typeObjectSpecifier || type == typeInsertionLoc;
}

OSErr coerce(const AEValue& from, DescType to, AEValue* out) {
  if (to == typeWildCard || to == from.type) {
    if (!wellSized(from)) return errAECoercionFail;
    *out = from;
    return noErr;
  }
  if (to == typeAEList) {
    *out = AEValue{typeAEList, Kind::List, {}, {AEItem{0, from}}, {}};
    return noErr;
  }
  if (isRecordType(to)) {
    // A record takes any of the record-shaped types; those turn back into a plain record.
    if (from.kind != Kind::Record || (to != typeAERecord && from.type != typeAERecord))
      return errAECoercionFail;
    *out = from;
    out->type = to;
    return noErr;
  }
  if (to == typeUnicodeText && from.type == typeUTF8Text) return utf8ToUnicode(from, out);
  if (to == typeUTF8Text && from.type == typeUnicodeText) return unicodeToUtf8(from, out);
  if (to == typeBoolean) return integerTo(from, to, 0, 1, out);
  if (to == typeSInt16)
    return integerTo(from, to, std::numeric_limits<SInt16>::min(),
                     std::numeric_limits<SInt16>::max(), out);
  if (to == typeSInt32)
    return integerTo(from, to, std::numeric_limits<SInt32>::min(),
                     std::numeric_limits<SInt32>::max(), out);
  return errAECoercionFail;
}

OSErr coerceInto(const AEValue& from, DescType to, AEDesc* result) {
  if (!result) return paramErr;
  AEValue coerced;
  const OSErr err = coerce(from, to, &coerced);
  if (err == noErr) adopt(std::move(coerced), result);
  return err;
}

OSErr copyOut(const AEValue& from, DescType desiredType, DescType* actualType, void* dataPtr,
              Size maximumSize, Size* actualSize) {
  AEValue coerced;
  const OSErr err = coerce(from, desiredType, &coerced);
  if (err != noErr) return err;
  if (coerced.kind != Kind::Data) return errAECoercionFail;
  const auto size = static_cast<Size>(coerced.bytes.size());
  if (dataPtr && maximumSize > 0 && size > 0)
    std::memcpy(dataPtr, coerced.bytes.data(), static_cast<size_t>(std::min(size, maximumSize)));
  if (actualType) *actualType = coerced.type;
  if (actualSize) *actualSize = size;
  return noErr;
}

const AEValue* find(const std::vector<AEItem>& items, AEKeyword keyword) {
  const auto it = std::find_if(items.begin(), items.end(),
                               [&](const AEItem& item) { return item.keyword == keyword; });
  return it == items.end() ? nullptr : &it->value;
}

void put(std::vector<AEItem>& items, AEKeyword keyword, AEValue value) {
  auto it = std::find_if(items.begin(), items.end(),
                         [&](const AEItem& item) { return item.keyword == keyword; });
  if (it == items.end())
    items.push_back(AEItem{keyword, std::move(value)});
  else
    it->value = std::move(value);
}

bool keyed(const AEValue& value) {
  return value.kind == Kind::Record || value.kind == Kind::Event;
}

AEReturnID nextReturnID() {
  static std::atomic<int> counter{0};
  return static_cast<AEReturnID>(counter.fetch_add(1) % std::numeric_limits<AEReturnID>::max() + 1);
}

}  // namespace

OSErr AECreateDesc(DescType typeCode, const void* dataPtr, Size dataSize, AEDesc* result) {
  if (dataSize < 0 || (dataSize > 0 && !dataPtr)) return paramErr;
  if (typeCode == typeAEList || typeCode == typeAppleEvent || isRecordType(typeCode))
    return paramErr;
  return give(dataValue(typeCode, dataPtr, static_cast<size_t>(dataSize)), result);
}

Size AEGetDescDataSize(const AEDesc* desc) {
  const AEValue& value = stored(desc);
  return value.kind == Kind::Data ? static_cast<Size>(value.bytes.size()) : 0;
}

OSErr AEGetDescData(const AEDesc* desc, void* dataPtr, Size maximumSize) {
  const AEValue& value = stored(desc);
  if (value.kind != Kind::Data) return errAEWrongDataType;
  const auto size = std::min(static_cast<Size>(value.bytes.size()), maximumSize);
  if (dataPtr && size > 0) std::memcpy(dataPtr, value.bytes.data(), static_cast<size_t>(size));
  return noErr;
}

OSErr AEDisposeDesc(AEDesc* desc) {
  if (!desc) return paramErr;
  delete desc->dataHandle;
  *desc = AEDesc{typeNull, nullptr};
  return noErr;
}

OSErr AEDuplicateDesc(const AEDesc* desc, AEDesc* result) {
  if (!desc) return paramErr;
  return give(stored(desc), result);
}

OSErr AECoerceDesc(const AEDesc* desc, DescType toType, AEDesc* result) {
  if (!desc) return paramErr;
  return coerceInto(stored(desc), toType, result);
}

OSErr AECoercePtr(DescType typeCode, const void* dataPtr, Size dataSize, DescType toType,
                  AEDesc* result) {
  if (dataSize < 0 || (dataSize > 0 && !dataPtr)) return paramErr;
  return coerceInto(dataValue(typeCode, dataPtr, static_cast<size_t>(dataSize)), toType, result);
}

OSErr AECreateList(const void* factoringPtr, Size factoredSize, Boolean isRecord,
                   AEDescList* resultList) {
  if (factoringPtr || factoredSize) return paramErr;
  return give(isRecord ? AEValue{typeAERecord, Kind::Record, {}, {}, {}}
                       : AEValue{typeAEList, Kind::List, {}, {}, {}},
              resultList);
}

OSErr AECountItems(const AEDescList* list, long* count) {
  const AEValue& value = stored(list);
  if (!count) return paramErr;
  if (value.kind != Kind::List && value.kind != Kind::Record) return errAEWrongDataType;
  *count = static_cast<long>(value.items.size());
  return noErr;
}

OSErr AEGetNthDesc(const AEDescList* list, long index, DescType desiredType, AEKeyword* keyword,
                   AEDesc* result) {
  const AEValue& value = stored(list);
  if (value.kind != Kind::List && value.kind != Kind::Record) return errAEWrongDataType;
  if (index < 1 || index > static_cast<long>(value.items.size())) return errAEIllegalIndex;
  const AEItem& item = value.items[static_cast<size_t>(index - 1)];
  const OSErr err = coerceInto(item.value, desiredType, result);
  if (err == noErr && keyword) *keyword = value.kind == Kind::List ? typeWildCard : item.keyword;
  return err;
}

OSErr AEPutDesc(AEDescList* list, long index, const AEDesc* desc) {
  AEValue* value = mutableStored(list);
  if (!desc) return paramErr;
  if (!value || value->kind != Kind::List) return errAEWrongDataType;
  const auto count = static_cast<long>(value->items.size());
  if (index < 0 || index > count + 1) return errAEIllegalIndex;
  if (index == 0 || index == count + 1)
    value->items.push_back(AEItem{0, stored(desc)});
  else
    value->items[static_cast<size_t>(index - 1)].value = stored(desc);
  return noErr;
}

OSErr AEPutKeyDesc(AERecord* record, AEKeyword keyword, const AEDesc* desc) {
  AEValue* value = mutableStored(record);
  if (!desc) return paramErr;
  if (!value || !keyed(*value)) return errAEWrongDataType;
  put(value->items, keyword, stored(desc));
  return noErr;
}

OSErr AEPutKeyPtr(AERecord* record, AEKeyword keyword, DescType typeCode, const void* dataPtr,
                  Size dataSize) {
  AEDesc desc{typeNull, nullptr};
  OSErr err = AECreateDesc(typeCode, dataPtr, dataSize, &desc);
  if (err == noErr) err = AEPutKeyDesc(record, keyword, &desc);
  AEDisposeDesc(&desc);
  return err;
}

OSErr AEGetKeyDesc(const AERecord* record, AEKeyword keyword, DescType desiredType,
                   AEDesc* result) {
  const AEValue& value = stored(record);
  if (!keyed(value)) return errAEWrongDataType;
  const AEValue* item = find(value.items, keyword);
  if (!item) return errAEDescNotFound;
  return coerceInto(*item, desiredType, result);
}

OSErr AEGetKeyPtr(const AERecord* record, AEKeyword keyword, DescType desiredType,
                  DescType* actualType, void* dataPtr, Size maximumSize, Size* actualSize) {
  const AEValue& value = stored(record);
  if (!keyed(value)) return errAEWrongDataType;
  const AEValue* item = find(value.items, keyword);
  if (!item) return errAEDescNotFound;
  return copyOut(*item, desiredType, actualType, dataPtr, maximumSize, actualSize);
}

OSErr CreateObjSpecifier(DescType desiredClass, AEDesc* theContainer, DescType keyForm,
                         AEDesc* keyData, Boolean disposeInputs, AEDesc* objSpecifier) {
  if (!theContainer || !keyData || !objSpecifier) return paramErr;
  AEValue specifier{typeObjectSpecifier, Kind::Record, {}, {}, {}};
  specifier.items = {AEItem{keyAEDesiredClass, codeValue(typeType, desiredClass)},
                     AEItem{keyAEContainer, stored(theContainer)},
                     AEItem{keyAEKeyForm, codeValue(typeEnumerated, keyForm)},
                     AEItem{keyAEKeyData, stored(keyData)}};
  if (disposeInputs) {
    AEDisposeDesc(theContainer);
    AEDisposeDesc(keyData);
  }
  return give(std::move(specifier), objSpecifier);
}

OSErr AECreateAppleEvent(AEEventClass theAEEventClass, AEEventID theAEEventID,
                         const AEAddressDesc* target, AEReturnID returnID,
                         AETransactionID transactionID, AppleEvent* result) {
  if (!target || !result) return paramErr;
  const AEValue& address = stored(target);
  if (address.type != typeProcessSerialNumber || !wellSized(address))
    return errAEUnknownAddressType;
  if (returnID == kAutoGenerateReturnID) returnID = nextReturnID();
  AEValue event{typeAppleEvent, Kind::Event, {}, {}, {}};
  event.attributes = {
      AEItem{keyEventClassAttr, codeValue(typeType, theAEEventClass)},
      AEItem{keyEventIDAttr, codeValue(typeType, theAEEventID)}, AEItem{keyAddressAttr, address},
      AEItem{keyReturnIDAttr, dataValue(typeSInt16, &returnID, sizeof returnID)},
      AEItem{keyTransactionIDAttr, dataValue(typeSInt32, &transactionID, sizeof transactionID)}};
  return give(std::move(event), result);
}

OSErr AEPutParamDesc(AppleEvent* event, AEKeyword keyword, const AEDesc* desc) {
  const AEValue* value = mutableStored(event);
  if (!value || value->kind != Kind::Event) return errAENotAppleEvent;
  return AEPutKeyDesc(event, keyword, desc);
}

OSErr AEPutParamPtr(AppleEvent* event, AEKeyword keyword, DescType typeCode, const void* dataPtr,
                    Size dataSize) {
  const AEValue* value = mutableStored(event);
  if (!value || value->kind != Kind::Event) return errAENotAppleEvent;
  return AEPutKeyPtr(event, keyword, typeCode, dataPtr, dataSize);
}

OSErr AEGetParamDesc(const AppleEvent* event, AEKeyword keyword, DescType desiredType,
                     AEDesc* result) {
  if (stored(event).kind != Kind::Event) return errAENotAppleEvent;
  return AEGetKeyDesc(event, keyword, desiredType, result);
}

OSErr AEGetParamPtr(const AppleEvent* event, AEKeyword keyword, DescType desiredType,
                    DescType* actualType, void* dataPtr, Size maximumSize, Size* actualSize) {
  if (stored(event).kind != Kind::Event) return errAENotAppleEvent;
  return AEGetKeyPtr(event, keyword, desiredType, actualType, dataPtr, maximumSize, actualSize);
}

OSErr AEGetAttributePtr(const AppleEvent* event, AEKeyword keyword, DescType desiredType,
                        DescType* actualType, void* dataPtr, Size maximumSize, Size* actualSize) {
  const AEValue& value = stored(event);
  if (value.kind != Kind::Event) return errAENotAppleEvent;
  const AEValue* item = find(value.attributes, keyword);
  if (!item) return errAEDescNotFound;
  return copyOut(*item, desiredType, actualType, dataPtr, maximumSize, actualSize);
}

OSErr AEPutAttributePtr(AppleEvent* event, AEKeyword keyword, DescType typeCode,
                        const void* dataPtr, Size dataSize) {
  AEValue* value = mutableStored(event);
  if (!value || value->kind != Kind::Event) return errAENotAppleEvent;
  AEDesc desc{typeNull, nullptr};
  const OSErr err = AECreateDesc(typeCode, dataPtr, dataSize, &desc);
  if (err == noErr) put(value->attributes, keyword, stored(&desc));
  AEDisposeDesc(&desc);
  return err;
}

#include "services/system-events/LoginItemsSuite.h"

#include <optional>
#include <string>
#include <vector>

namespace system_events {

namespace {

// A descriptor disposed when it goes.
class Desc {
 public:
  Desc() = default;
  Desc(const Desc&) = delete;
  Desc& operator=(const Desc&) = delete;
  ~Desc() { AEDisposeDesc(&desc_); }
  AEDesc* operator&() { return &desc_; }
  const AEDesc* get() const { return &desc_; }

 private:
  AEDesc desc_{typeNull, nullptr};
};

struct Specifier {
  DescType desiredClass = 0;
  DescType keyForm = 0;
  Desc container;
  Desc keyData;
};

OSErr readSpecifier(const AEDesc* desc, Specifier* specifier) {
  Desc record;
  OSErr err = AECoerceDesc(desc, typeAERecord, &record);
  if (err == noErr)
    err = AEGetKeyPtr(record.get(), keyAEDesiredClass, typeType, nullptr, &specifier->desiredClass,
                      sizeof(DescType), nullptr);
  if (err == noErr)
    err = AEGetKeyPtr(record.get(), keyAEKeyForm, typeEnumerated, nullptr, &specifier->keyForm,
                      sizeof(DescType), nullptr);
  if (err == noErr)
    err = AEGetKeyDesc(record.get(), keyAEContainer, typeWildCard, &specifier->container);
  if (err == noErr)
    err = AEGetKeyDesc(record.get(), keyAEKeyData, typeWildCard, &specifier->keyData);
  return err;
}

bool isEvery(const AEDesc* keyData) {
  FourCharCode ordinal = 0;
  return keyData->descriptorType == typeAbsoluteOrdinal &&
         AEGetDescDataSize(keyData) == sizeof ordinal &&
         AEGetDescData(keyData, &ordinal, sizeof ordinal) == noErr && ordinal == kAEAll;
}

// The positions (from 0) of the login items that an element specifier names: every one, or
// one by its index from 1, a negative index counting from the end.
OSErr positionsOf(const AEDesc* desc, std::size_t count, bool everyAllowed,
                  std::vector<std::size_t>* positions, bool* every) {
  Specifier specifier;
  OSErr err = readSpecifier(desc, &specifier);
  if (err != noErr) return err;
  if (specifier.desiredClass != cLoginItem ||
      specifier.container.get()->descriptorType != typeNull ||
      specifier.keyForm != formAbsolutePosition)
    return errAEEventNotHandled;
  *every = isEvery(specifier.keyData.get());
  if (*every) {
    if (!everyAllowed) return errAEEventNotHandled;
    for (std::size_t i = 0; i < count; ++i) positions->push_back(i);
    return noErr;
  }
  Desc index;
  err = AECoerceDesc(specifier.keyData.get(), typeSInt32, &index);
  SInt32 n = 0;
  if (err == noErr) err = AEGetDescData(index.get(), &n, sizeof n);
  if (err != noErr) return err;
  const long position = n < 0 ? static_cast<long>(count) + n : static_cast<long>(n) - 1;
  if (n == 0 || position < 0 || position >= static_cast<long>(count)) return errAENoSuchObject;
  positions->push_back(static_cast<std::size_t>(position));
  return noErr;
}

OSErr putText(AERecord* record, AEKeyword keyword, const std::string& text) {
  Desc unicode;
  OSErr err = AECoercePtr(typeUTF8Text, text.data(), static_cast<Size>(text.size()),
                          typeUnicodeText, &unicode);
  if (err == noErr) err = AEPutKeyDesc(record, keyword, unicode.get());
  return err;
}

std::string nameOf(const std::string& path) {
  std::string name = path.substr(path.find_last_of('/') + 1);
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".app") == 0)
    name.resize(name.size() - 4);
  return name;
}

// Every property the item has: its class, and its name, path and hidden flag when stored.
OSErr propertiesOf(const LoginItem& item, AERecord* record) {
  const DescType itemClass = cLoginItem;
  OSErr err = AECreateList(nullptr, 0, true, record);
  if (err == noErr) err = AEPutKeyPtr(record, pClass, typeType, &itemClass, sizeof itemClass);
  if (err == noErr && item.path) err = putText(record, pName, nameOf(*item.path));
  if (err == noErr && item.path) err = putText(record, pPath, *item.path);
  if (err == noErr && item.hidden) {
    const Boolean hidden = *item.hidden;
    err = AEPutKeyPtr(record, pHidden, typeBoolean, &hidden, sizeof hidden);
  }
  return err;
}

OSErr listOfProperties(const std::vector<LoginItem>& items,
                       const std::vector<std::size_t>& positions, AEDescList* list) {
  OSErr err = AECreateList(nullptr, 0, false, list);
  for (std::size_t i = 0; err == noErr && i < positions.size(); ++i) {
    Desc record;
    err = propertiesOf(items[positions[i]], &record);
    if (err == noErr) err = AEPutDesc(list, 0, record.get());
  }
  return err;
}

OSErr readPath(const AERecord* properties, std::string* path) {
  Size size = 0;
  OSErr err = AEGetKeyPtr(properties, pPath, typeUTF8Text, nullptr, nullptr, 0, &size);
  if (err != noErr) return err;
  path->resize(static_cast<std::size_t>(size));
  err = AEGetKeyPtr(properties, pPath, typeUTF8Text, nullptr, path->data(), size, &size);
  if (err == noErr && path->empty()) err = paramErr;
  return err;
}

// Only the end of the application's list of elements is offered as a place for a new item.
OSErr checkAtEnd(const AppleEvent* event) {
  Desc location, object;
  FourCharCode position = 0;
  OSErr err = AEGetParamDesc(event, keyAEInsertHere, typeAERecord, &location);
  if (err == noErr)
    err = AEGetKeyPtr(location.get(), keyAEPosition, typeEnumerated, nullptr, &position,
                      sizeof position, nullptr);
  if (err == noErr) err = AEGetKeyDesc(location.get(), keyAEObject, typeWildCard, &object);
  if (err == noErr && (position != kAEEnd || object.get()->descriptorType != typeNull))
    err = errAEEventNotHandled;
  return err;
}

OSErr specifierOfItem(SInt32 index, AEDesc* specifier) {
  Desc container, keyData;
  OSErr err = AECreateDesc(typeSInt32, &index, sizeof index, &keyData);
  if (err == noErr)
    err = CreateObjSpecifier(cLoginItem, &container, formAbsolutePosition, &keyData, false,
                             specifier);
  return err;
}

}  // namespace

OSErr LoginItemsSuite::handle(const AppleEvent* event, AppleEvent* reply) {
  AEEventClass eventClass = 0;
  AEEventID eventID = 0;
  if (AEGetAttributePtr(event, keyEventClassAttr, typeType, nullptr, &eventClass, sizeof eventClass,
                        nullptr) != noErr ||
      AEGetAttributePtr(event, keyEventIDAttr, typeType, nullptr, &eventID, sizeof eventID,
                        nullptr) != noErr ||
      eventClass != kAECoreSuite)
    return errAEEventNotHandled;
  switch (eventID) {
    case kAEGetData:
      return getData(event, reply);
    case kAECreateElement:
      return createElement(event, reply);
    case kAEDelete:
      return deleteElement(event);
    default:
      return errAEEventNotHandled;
  }
}

OSErr LoginItemsSuite::getData(const AppleEvent* event, AppleEvent* reply) {
  Desc direct, result;
  Specifier property;
  OSErr err = AEGetParamDesc(event, keyDirectObject, typeObjectSpecifier, &direct);
  if (err == noErr) err = readSpecifier(direct.get(), &property);
  if (err != noErr) return err;
  DescType propertyID = 0;
  if (property.desiredClass != cProperty || property.keyForm != formPropertyID ||
      property.keyData.get()->descriptorType != typeType ||
      AEGetDescData(property.keyData.get(), &propertyID, sizeof propertyID) != noErr ||
      propertyID != pProperties)
    return errAEEventNotHandled;
  const auto items = store_.items();
  std::vector<std::size_t> positions;
  bool every = false;
  err = positionsOf(property.container.get(), items.size(), true, &positions, &every);
  if (err == noErr)
    err = every ? listOfProperties(items, positions, &result)
                : propertiesOf(items[positions.front()], &result);
  if (err == noErr) err = AEPutParamDesc(reply, keyDirectObject, result.get());
  return err;
}

OSErr LoginItemsSuite::createElement(const AppleEvent* event, AppleEvent* reply) {
  DescType itemClass = 0;
  Desc properties, specifier;
  LoginItem item;
  std::string path;
  Boolean hidden = false;
  OSErr err = AEGetParamPtr(event, keyAEObjectClass, typeType, nullptr, &itemClass,
                            sizeof itemClass, nullptr);
  if (err == noErr && itemClass != cLoginItem) err = errAEEventNotHandled;
  if (err == noErr) err = AEGetParamDesc(event, keyAEPropData, typeAERecord, &properties);
  if (err == noErr) err = readPath(properties.get(), &path);
  if (err == noErr) {
    err = AEGetKeyPtr(properties.get(), pHidden, typeBoolean, nullptr, &hidden, sizeof hidden,
                      nullptr);
    if (err == errAEDescNotFound) err = noErr;
  }
  if (err == noErr) err = checkAtEnd(event);
  if (err == noErr && !store_.append(LoginItem{path, hidden != 0})) err = ioErr;
  if (err == noErr) err = specifierOfItem(static_cast<SInt32>(store_.items().size()), &specifier);
  if (err == noErr) err = AEPutParamDesc(reply, keyDirectObject, specifier.get());
  return err;
}

OSErr LoginItemsSuite::deleteElement(const AppleEvent* event) {
  Desc direct;
  std::vector<std::size_t> positions;
  bool every = false;
  OSErr err = AEGetParamDesc(event, keyDirectObject, typeObjectSpecifier, &direct);
  if (err == noErr)
    err = positionsOf(direct.get(), store_.items().size(), false, &positions, &every);
  if (err == noErr && !store_.remove(positions.front())) err = ioErr;
  return err;
}

}  // namespace system_events

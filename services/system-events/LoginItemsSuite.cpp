#include "services/system-events/LoginItemsSuite.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Log.h"

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

// Whether the descriptor is the code as data of the code's type (which reading a specifier has
// checked to be of a code's size).
bool holdsCode(const AEDesc* desc, DescType type, FourCharCode code) {
  FourCharCode held = 0;
  return desc->descriptorType == type && AEGetDescData(desc, &held, sizeof held) == noErr &&
         held == code;
}

// The position (from 0) of the login item that an element specifier names by its index from 1,
// a negative index counting from the end; none for every login item, where that is allowed.
OSErr positionOf(const AEDesc* desc, std::size_t count, bool everyAllowed,
                 std::optional<std::size_t>* position) {
  Specifier specifier;
  OSErr err = readSpecifier(desc, &specifier);
  if (err != noErr) return err;
  if (specifier.desiredClass != cLoginItem ||
      specifier.container.get()->descriptorType != typeNull ||
      specifier.keyForm != formAbsolutePosition)
    return errAEEventNotHandled;
  if (holdsCode(specifier.keyData.get(), typeAbsoluteOrdinal, kAEAll))
    return everyAllowed ? noErr : errAEEventNotHandled;
  Desc index;
  err = AECoerceDesc(specifier.keyData.get(), typeSInt32, &index);
  SInt32 n = 0;
  if (err == noErr) err = AEGetDescData(index.get(), &n, sizeof n);
  if (err != noErr) return err;
  const long from0 = n < 0 ? static_cast<long>(count) + n : static_cast<long>(n) - 1;
  if (n == 0 || from0 < 0 || from0 >= static_cast<long>(count)) return errAENoSuchObject;
  *position = static_cast<std::size_t>(from0);
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

// Every item that has a path; the others (numbered after them) are skipped with one line.
OSErr listOfProperties(const std::vector<LoginItem>& items, AEDescList* list) {
  OSErr err = AECreateList(nullptr, 0, false, list);
  const auto listed =
      std::find_if(items.begin(), items.end(), [](const LoginItem& item) { return !item.path; });
  for (auto item = items.begin(); err == noErr && item != listed; ++item) {
    Desc record;
    err = propertiesOf(*item, &record);
    if (err == noErr) err = AEPutDesc(list, 0, record.get());
  }
  if (listed != items.end())
    NSLog("Login items %ld to %ld have no usable path and are not listed",
          static_cast<long>(listed - items.begin()) + 1, static_cast<long>(items.size()));
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
  if (property.desiredClass != cProperty || property.keyForm != formPropertyID ||
      !holdsCode(property.keyData.get(), typeType, pProperties))
    return errAEEventNotHandled;
  const auto items = store_.items();
  if (!items) return ioErr;
  std::optional<std::size_t> position;
  err = positionOf(property.container.get(), items->size(), true, &position);
  if (err == noErr)
    err = position ? propertiesOf((*items)[*position], &result) : listOfProperties(*items, &result);
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
  std::optional<std::size_t> position;
  if (err == noErr && !(position = store_.append(LoginItem{path, hidden != 0, 0, {}}))) err = ioErr;
  if (err == noErr) err = specifierOfItem(static_cast<SInt32>(*position + 1), &specifier);
  if (err == noErr) err = AEPutParamDesc(reply, keyDirectObject, specifier.get());
  return err;
}

OSErr LoginItemsSuite::deleteElement(const AppleEvent* event) {
  Desc direct;
  std::optional<std::size_t> position;
  OSErr err = AEGetParamDesc(event, keyDirectObject, typeObjectSpecifier, &direct);
  const auto items = err == noErr ? store_.items() : std::nullopt;
  if (err == noErr && !items) err = ioErr;
  if (err == noErr) err = positionOf(direct.get(), items->size(), false, &position);
  if (err == noErr && !store_.remove(*position)) err = ioErr;
  return err;
}

}  // namespace system_events

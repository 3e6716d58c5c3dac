#include "loginitems/LoginItemsAE/LoginItemsAE.h"

#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/carbon/AETransport.h"
#include "platform/carbon/AppleEvents.h"
#include "platform/carbon/LaunchServices.h"
#include "platform/carbon/Processes.h"

// A broken invariant is a programming error: name the module, the line and the condition, then
// stop.
#define LIAE_ASSERT(condition)                                                               \
  do {                                                                                       \
    if (!(condition)) {                                                                      \
      std::fprintf(stderr, "LoginItemsAE/LoginItemsAE:%d: assertion failed: %s\n", __LINE__, \
                   #condition);                                                              \
      std::abort();                                                                          \
    }                                                                                        \
  } while (0)

namespace {

constexpr AEDesc kAENull = {typeNull, NULL};
constexpr SInt32 kAETimeoutTicks = 5 * 60;
constexpr FourCharCode kAEEndLocal = kAEEnd;
constexpr FourCharCode cLoginItemLocal = fourCharCode("logi");
constexpr FourCharCode kAEAllLocal = kAEAll;
constexpr FourCharCode keyAEPropertiesLocal = fourCharCode("pALL");
constexpr AEKeyword propPathLocal = fourCharCode("ppth");
constexpr AEKeyword propHiddenLocal = fourCharCode("hidn");
constexpr OSType kSystemEventsCreator = fourCharCode("sevs");
constexpr std::size_t kPathBufferSize = 1024;

void AEDisposeDescQ(AEDesc* descPtr) {
  OSStatus junk = AEDisposeDesc(descPtr);
  LIAE_ASSERT(junk == noErr);
  *descPtr = kAENull;
}

OSStatus LaunchSystemEvents(ProcessSerialNumber* psn) {
  FSRef appRef;
  OSStatus err = LSFindApplicationForInfo(kSystemEventsCreator, NULL, NULL, &appRef, NULL);
  if (err == noErr) {
    const LSApplicationParameters appParams = {0,   kLSLaunchDefaults, &appRef, NULL, NULL, NULL,
                                               NULL};
    err = LSOpenApplication(&appParams, psn);
  }
  return err;
}

// The first process whose signature is System Events'; started when there is none.
OSStatus FindSystemEvents(ProcessSerialNumber* psn) {
  OSStatus err;
  ProcessInfoRec info;
  do {
    err = GetNextProcess(psn);
    if (err == noErr) {
      std::memset(&info, 0, sizeof(info));
      err = GetProcessInformation(psn, &info);
    }
  } while (err == noErr && info.processSignature != kSystemEventsCreator);
  if (err == procNotFound) err = LaunchSystemEvents(psn);
  return err;
}

OSStatus PutParameters(AppleEvent* event, va_list parameters) {
  OSStatus err = noErr;
  AEKeyword thisKeyword;
  while (err == noErr && (thisKeyword = va_arg(parameters, AEKeyword)) != 0) {
    const AEDesc* thisDesc = va_arg(parameters, const AEDesc*);
    LIAE_ASSERT(thisDesc != NULL);
    err = AEPutParamDesc(event, thisKeyword, thisDesc);
  }
  return err;
}

// The answer's error number: none is success. One that is not a 16-bit integer leaves the
// coercion failure as the result rather than passing for success.
OSStatus ErrorNumberOfReply(const AppleEvent* reply) {
  SInt16 replyErr = 0;
  DescType junkType;
  Size junkSize;
  OSStatus err = AEGetParamPtr(reply, keyErrorNumber, typeSInt16, &junkType, &replyErr,
                               sizeof(replyErr), &junkSize);
  if (err == errAEDescNotFound)
    err = noErr;
  else if (err == noErr)
    err = replyErr;
  return err;
}

// Sends one event to the process, with the (keyword, descriptor) pairs of parameters, and
// waits for the answer into *reply.
OSStatus SendEventToProcess(const ProcessSerialNumber* psn, AEEventClass theClass,
                            AEEventID theEvent, va_list parameters, AppleEvent* reply) {
  OSStatus err;
  AEAddressDesc target = kAENull;
  AppleEvent event = kAENull;

  err = AECreateDesc(typeProcessSerialNumber, psn, sizeof(*psn), &target);
  if (err == noErr)
    err = AECreateAppleEvent(theClass, theEvent, &target, kAutoGenerateReturnID, kAnyTransactionID,
                             &event);
  if (err == noErr) err = PutParameters(&event, parameters);
  if (err == noErr) err = AESendMessage(&event, reply, kAEWaitReply, kAETimeoutTicks);
  AEDisposeDescQ(&event);
  AEDisposeDescQ(&target);
  return err;
}

// Sends one event to System Events with the (keyword, descriptor) pairs that follow reply, up
// to a keyword of 0, and waits for the answer. With reply and success, *reply holds the answer.
OSStatus SendEventToSystemEventsWithParameters(AEEventClass theClass, AEEventID theEvent,
                                               AppleEvent* reply, ...) {
  OSStatus err;
  AppleEvent localReply = kAENull;
  ProcessSerialNumber psn = {0, kNoProcess};
  va_list parameters;

  LIAE_ASSERT((reply == NULL) || (reply->descriptorType == typeNull));

  err = FindSystemEvents(&psn);
  if (err == noErr) {
    va_start(parameters, reply);
    err = SendEventToProcess(&psn, theClass, theEvent, parameters, &localReply);
    va_end(parameters);
  }
  // The process found ended or stopped before it took the event: Launch Services gives the one
  // that serves the session, starting it when needed, and the event goes there instead.
  if (err == procNotFound) {
    err = LaunchSystemEvents(&psn);
    if (err == noErr) {
      va_start(parameters, reply);
      err = SendEventToProcess(&psn, theClass, theEvent, parameters, &localReply);
      va_end(parameters);
    }
  }
  if (err == noErr && localReply.descriptorType != typeNull) err = ErrorNumberOfReply(&localReply);
  if (reply != NULL && err == noErr) {
    *reply = localReply;
    localReply = kAENull;
  }
  AEDisposeDescQ(&localReply);

  LIAE_ASSERT((reply == NULL) || ((err == noErr) == (reply->descriptorType != typeNull)));
  return err;
}

// All properties ('pALL') of every login item of the application.
OSStatus CreateAllPropertiesSpecifier(AEDesc* specifier) {
  OSStatus err;
  AEDesc application = kAENull;
  AEDesc allData = kAENull;
  AEDesc everyItem = kAENull;
  AEDesc propertiesData = kAENull;
  const FourCharCode all = kAEAllLocal;
  const DescType properties = keyAEPropertiesLocal;

  err = AECreateDesc(typeAbsoluteOrdinal, &all, sizeof(all), &allData);
  if (err == noErr)
    err = CreateObjSpecifier(cLoginItemLocal, &application, formAbsolutePosition, &allData, false,
                             &everyItem);
  if (err == noErr) err = AECreateDesc(typeType, &properties, sizeof(properties), &propertiesData);
  if (err == noErr)
    err = CreateObjSpecifier(cProperty, &everyItem, formPropertyID, &propertiesData, false,
                             specifier);
  AEDisposeDescQ(&allData);
  AEDisposeDescQ(&everyItem);
  AEDisposeDescQ(&propertiesData);
  AEDisposeDescQ(&application);
  return err;
}

// The item's path, zero-terminated. A path longer than the buffer is read again whole, so that
// no item is listed with a cut path.
OSStatus CopyPathProperty(const AERecord* item, std::vector<UInt8>* path, Size* pathSize) {
  DescType junkType;
  path->assign(kPathBufferSize, 0);
  OSStatus err = AEGetKeyPtr(item, propPathLocal, typeUTF8Text, &junkType, path->data(),
                             static_cast<Size>(path->size()) - 1, pathSize);
  if (err == noErr && *pathSize > static_cast<Size>(path->size()) - 1) {
    path->assign(static_cast<std::size_t>(*pathSize) + 1, 0);
    err = AEGetKeyPtr(item, propPathLocal, typeUTF8Text, &junkType, path->data(), *pathSize,
                      pathSize);
  }
  if (err == noErr) (*path)[static_cast<std::size_t>(*pathSize)] = 0;
  return err;
}

CFURLRef CreateURLOfPath(const UInt8* path, Size pathSize) {
  FSRef ref;
  if (FSPathMakeRef(path, &ref, NULL) == noErr) return CFURLCreateFromFSRef(NULL, &ref);
  return CFURLCreateFromFileSystemRepresentation(NULL, path, pathSize, false);
}

Boolean HiddenProperty(const AERecord* item) {
  Boolean hidden = false;
  DescType junkType;
  Size junkSize;
  if (AEGetKeyPtr(item, propHiddenLocal, typeBoolean, &junkType, &hidden, sizeof(hidden),
                  &junkSize) != noErr)
    hidden = false;
  return hidden;
}

CFDictionaryRef CreateLoginItemEntry(CFURLRef url, Boolean hidden) {
  const void* keys[2] = {CFSTR("URL"), CFSTR("Hidden")};
  const void* values[2] = {url, hidden ? kCFBooleanTrue : kCFBooleanFalse};
  return CFDictionaryCreate(NULL, keys, values, 2, &kCFTypeDictionaryKeyCallBacks,
                            &kCFTypeDictionaryValueCallBacks);
}

OSStatus AppendLoginItemEntry(const AEDescList* list, long itemIndex, CFMutableArrayRef result) {
  OSStatus err;
  AERecord thisItem = kAENull;
  std::vector<UInt8> path;
  Size pathSize = 0;
  CFURLRef url = NULL;
  CFDictionaryRef entry = NULL;

  err = AEGetNthDesc(list, itemIndex, typeAERecord, NULL, &thisItem);
  if (err == noErr) err = CopyPathProperty(&thisItem, &path, &pathSize);
  if (err == noErr) {
    url = CreateURLOfPath(path.data(), pathSize);
    if (url == NULL) err = coreFoundationUnknownErr;
  }
  if (err == noErr) {
    entry = CreateLoginItemEntry(url, HiddenProperty(&thisItem));
    if (entry == NULL) err = coreFoundationUnknownErr;
  }
  if (err == noErr) CFArrayAppendValue(result, entry);

  AEDisposeDescQ(&thisItem);
  if (url != NULL) CFRelease(url);
  if (entry != NULL) CFRelease(entry);
  return err;
}

// The properties of a new login item: its POSIX path as Unicode text, and whether it is hidden.
OSStatus CreateItemProperties(const FSRef* item, Boolean hideIt, AERecord* properties) {
  OSStatus err;
  std::vector<UInt8> path(PATH_MAX);
  AEDesc pathDesc = kAENull;

  err = AECreateList(NULL, 0, true, properties);
  if (err == noErr) err = FSRefMakePath(item, path.data(), static_cast<UInt32>(path.size()));
  if (err == noErr)
    err = AECoercePtr(typeUTF8Text, path.data(),
                      static_cast<Size>(std::strlen(reinterpret_cast<const char*>(path.data()))),
                      typeUnicodeText, &pathDesc);
  if (err == noErr) err = AEPutKeyDesc(properties, propPathLocal, &pathDesc);
  if (err == noErr) err = AEPutKeyPtr(properties, propHiddenLocal, typeBoolean, &hideIt, 1);
  AEDisposeDescQ(&pathDesc);
  return err;
}

// The end of the application's elements.
OSStatus CreateEndInsertionLocation(AEDesc* location) {
  OSStatus err;
  AERecord record = kAENull;
  const AEDesc application = kAENull;
  const FourCharCode end = kAEEndLocal;

  err = AECreateList(NULL, 0, true, &record);
  if (err == noErr) err = AEPutKeyDesc(&record, keyAEObject, &application);
  if (err == noErr) err = AEPutKeyPtr(&record, keyAEPosition, typeEnumerated, &end, sizeof(end));
  if (err == noErr) err = AECoerceDesc(&record, typeInsertionLoc, location);
  AEDisposeDescQ(&record);
  return err;
}

}  // namespace

OSStatus LIAECopyLoginItems(CFArrayRef* itemsPtr) {
  OSStatus err;
  AppleEvent reply = kAENull;
  AEDescList list = kAENull;
  AEDesc specifier = kAENull;
  CFMutableArrayRef result = NULL;
  long count = 0;

  LIAE_ASSERT(itemsPtr != NULL);
  LIAE_ASSERT(*itemsPtr == NULL);

  err = CreateAllPropertiesSpecifier(&specifier);
  if (err == noErr)
    err = SendEventToSystemEventsWithParameters(kAECoreSuite, kAEGetData, &reply, keyDirectObject,
                                                &specifier, static_cast<AEKeyword>(0));
  if (err == noErr) err = AEGetParamDesc(&reply, keyDirectObject, typeAEList, &list);
  if (err == noErr) {
    result = CFArrayCreateMutable(NULL, 0, &kCFTypeArrayCallBacks);
    if (result == NULL) err = coreFoundationUnknownErr;
  }
  if (err == noErr) err = AECountItems(&list, &count);
  for (long itemIndex = 1; err == noErr && itemIndex <= count; itemIndex++)
    err = AppendLoginItemEntry(&list, itemIndex, result);

  if (err == noErr) {
    *itemsPtr = result;
  } else if (result != NULL) {
    CFRelease(result);
  }
  LIAE_ASSERT((err == noErr) == (*itemsPtr != NULL));

  AEDisposeDescQ(&reply);
  AEDisposeDescQ(&list);
  AEDisposeDescQ(&specifier);
  return err;
}

OSStatus LIAEAddRefAtEnd(const FSRef* item, Boolean hideIt) {
  OSStatus err;
  AEDesc itemClass = kAENull;
  AERecord properties = kAENull;
  AEDesc insertionLocation = kAENull;
  const DescType loginItemClass = cLoginItemLocal;

  LIAE_ASSERT(item != NULL);

  err = AECreateDesc(typeType, &loginItemClass, sizeof(loginItemClass), &itemClass);
  if (err == noErr) err = CreateItemProperties(item, hideIt, &properties);
  if (err == noErr) err = CreateEndInsertionLocation(&insertionLocation);
  if (err == noErr)
    err = SendEventToSystemEventsWithParameters(
        kAECoreSuite, kAECreateElement, NULL, keyAEObjectClass, &itemClass, keyAEPropData,
        &properties, keyAEInsertHere, &insertionLocation, static_cast<AEKeyword>(0));

  AEDisposeDescQ(&itemClass);
  AEDisposeDescQ(&insertionLocation);
  AEDisposeDescQ(&properties);
  return err;
}

OSStatus LIAEAddURLAtEnd(CFURLRef item, Boolean hideIt) {
  OSStatus err;
  FSRef ref;

  LIAE_ASSERT(item != NULL);

  if (CFURLGetFSRef(item, &ref)) {
    err = LIAEAddRefAtEnd(&ref, hideIt);
  } else {
    err = fnfErr;
  }
  return err;
}

OSStatus LIAERemove(CFIndex itemIndex) {
  OSStatus err;
  AEDesc application = kAENull;
  AEDesc indexDesc = kAENull;
  AEDesc loginItemAtIndex = kAENull;

  LIAE_ASSERT(itemIndex >= 0);

  // A position that a 32-bit item number cannot hold names no item; sending it cut short
  // would delete another.
  if (itemIndex >= INT32_MAX) return errAENoSuchObject;
  const SInt32 itemNumber = static_cast<SInt32>(itemIndex + 1);
  err = AECreateDesc(typeSInt32, &itemNumber, sizeof(itemNumber), &indexDesc);
  if (err == noErr)
    err = CreateObjSpecifier(cLoginItemLocal, &application, formAbsolutePosition, &indexDesc, false,
                             &loginItemAtIndex);
  if (err == noErr)
    err = SendEventToSystemEventsWithParameters(kAECoreSuite, kAEDelete, NULL, keyDirectObject,
                                                &loginItemAtIndex, static_cast<AEKeyword>(0));

  AEDisposeDescQ(&indexDesc);
  AEDisposeDescQ(&loginItemAtIndex);
  AEDisposeDescQ(&application);
  return err;
}

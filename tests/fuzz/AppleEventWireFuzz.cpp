// Apple events as they travel between processes, read as each end reads them: the listener (the
// attributes its answer repeats), the login-items code reading System Events' replies (the error
// number, each item's path as UTF-8 and its hidden flag) and System Events reading a request's
// object specifier. A descriptor that reads flattens back to the very same bytes, and data read
// through a buffer too small for it reads the same through one of its size.
#include <tuple>
#include <vector>

#include "platform/carbon/AEWire.h"
#include "tests/fuzz/FuzzSupport.h"

using fuzz_support::shown;

namespace {

constexpr AEKeyword keyTimeoutAttr = fourCharCode("timo");
constexpr AEKeyword propPath = fourCharCode("ppth");
constexpr AEKeyword propHidden = fourCharCode("hidn");

// A descriptor given back when it goes.
struct Desc {
  AEDesc desc{typeNull, nullptr};
  Desc() = default;
  Desc(const Desc&) = delete;
  Desc& operator=(const Desc&) = delete;
  ~Desc() { AEDisposeDesc(&desc); }
};

// The return ID, the transaction ID and the time-out, each into a buffer of its size.
void readAttributes(const AppleEvent* event) {
  const std::tuple<AEKeyword, DescType, Size> attributes[] = {{keyReturnIDAttr, typeSInt16, 2},
                                                              {keyTransactionIDAttr, typeSInt32, 4},
                                                              {keyTimeoutAttr, typeSInt32, 4}};
  for (const auto& [key, type, size] : attributes) {
    SInt32 value = 0;
    AEGetAttributePtr(event, key, type, nullptr, &value, size, nullptr);
  }
}

// As the login-items code reads a path: into a small buffer, then again whole when it was cut.
void readPath(const AERecord* item) {
  std::vector<char> small(16);
  DescType type = 0;
  Size whole = 0;
  if (AEGetKeyPtr(item, propPath, typeUTF8Text, &type, small.data(), Size(small.size()), &whole) !=
      noErr)
    return;
  FUZZ_REQUIRE(whole >= 0, "a path's size is negative");
  std::vector<char> path(static_cast<std::size_t>(whole) + 1);
  Size again = -1;
  FUZZ_REQUIRE(
      AEGetKeyPtr(item, propPath, typeUTF8Text, &type, path.data(), whole, &again) == noErr &&
          again == whole,
      "a path read whole has another size than it gave when cut");
  const std::size_t shared = std::min<std::size_t>(small.size(), std::size_t(whole));
  FUZZ_REQUIRE(std::equal(small.begin(), small.begin() + long(shared), path.begin()),
               "a path read whole starts otherwise than when cut: " +
                   shown(std::string_view(path.data(), std::size_t(whole))));
  Boolean hidden = false;
  AEGetKeyPtr(item, propHidden, typeBoolean, &type, &hidden, sizeof hidden, nullptr);
}

void readReply(const AppleEvent* reply) {
  SInt16 number = 0;
  AEGetParamPtr(reply, keyErrorNumber, typeSInt16, nullptr, &number, sizeof number, nullptr);
  Desc list;
  long count = 0;
  if (AEGetParamDesc(reply, keyDirectObject, typeAEList, &list.desc) != noErr ||
      AECountItems(&list.desc, &count) != noErr)
    return;
  for (long index = 1; index <= count; ++index) {
    Desc item;
    if (AEGetNthDesc(&list.desc, index, typeAERecord, nullptr, &item.desc) == noErr)
      readPath(&item.desc);
  }
}

void readSpecifier(const AppleEvent* request) {
  Desc object, record, container, keyData, index;
  DescType desiredClass = 0, keyForm = 0;
  SInt32 position = 0;
  if (AEGetParamDesc(request, keyDirectObject, typeWildCard, &object.desc) != noErr ||
      AECoerceDesc(&object.desc, typeAERecord, &record.desc) != noErr)
    return;
  AEGetKeyPtr(&record.desc, keyAEDesiredClass, typeType, nullptr, &desiredClass,
              sizeof desiredClass, nullptr);
  AEGetKeyPtr(&record.desc, keyAEKeyForm, typeEnumerated, nullptr, &keyForm, sizeof keyForm,
              nullptr);
  AEGetKeyDesc(&record.desc, keyAEContainer, typeWildCard, &container.desc);
  if (AEGetKeyDesc(&record.desc, keyAEKeyData, typeWildCard, &keyData.desc) == noErr &&
      AECoerceDesc(&keyData.desc, typeSInt32, &index.desc) == noErr)
    AEGetDescData(&index.desc, &position, sizeof position);
}

}  // namespace

FUZZ_TARGET(bytes) {
  Desc read;
  if (platform::unflattenDescriptor(bytes, &read.desc) != noErr) return;
  const std::string flattened = platform::flattenDescriptor(read.desc);
  FUZZ_REQUIRE(flattened == bytes, "a descriptor read flattens to other bytes: read " +
                                       shown(bytes) + ", flattened " + shown(flattened));
  if (read.desc.descriptorType != typeAppleEvent) return;
  readAttributes(&read.desc);
  readReply(&read.desc);
  readSpecifier(&read.desc);
}

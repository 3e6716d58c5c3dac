// Helpers for the carbon layer's tests.
#pragma once

#include <string>

#include "platform/carbon/AppleEvents.h"

// A descriptor disposed when it goes.
struct Desc {
  AEDesc d{typeNull, nullptr};
  Desc() = default;
  Desc(const Desc&) = delete;
  Desc& operator=(const Desc&) = delete;
  ~Desc() { AEDisposeDesc(&d); }
  AEDesc* operator&() { return &d; }
};

template <typename T>
T readAs(const AEDesc* record, AEKeyword key, DescType type, OSErr* err = nullptr) {
  T value{};
  Size size = 0;
  const OSErr e = AEGetKeyPtr(record, key, type, nullptr, &value, sizeof value, &size);
  if (err) *err = e;
  return value;
}

inline std::string textOf(const AEDesc* record, AEKeyword key, OSErr* err = nullptr) {
  Size size = 0;
  OSErr e = AEGetKeyPtr(record, key, typeUTF8Text, nullptr, nullptr, 0, &size);
  std::string text(static_cast<size_t>(size), '\0');
  if (e == noErr) e = AEGetKeyPtr(record, key, typeUTF8Text, nullptr, text.data(), size, &size);
  if (err) *err = e;
  return text;
}

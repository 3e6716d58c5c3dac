// The original platform's basic types and the status codes the carbon layer gives.
#pragma once

#include <cstdint>

using OSStatus = std::int32_t;
using OSErr = std::int16_t;
using Boolean = unsigned char;
using UInt8 = std::uint8_t;
using SInt16 = std::int16_t;
using UInt32 = std::uint32_t;
using SInt32 = std::int32_t;
using FourCharCode = std::uint32_t;
using OSType = FourCharCode;
using Size = long;
using CFIndex = long;

// A four-character code from its text, read as a big-endian number: fourCharCode("sevs").
constexpr FourCharCode fourCharCode(const char (&code)[5]) {
  return static_cast<FourCharCode>(static_cast<unsigned char>(code[0])) << 24 |
         static_cast<FourCharCode>(static_cast<unsigned char>(code[1])) << 16 |
         static_cast<FourCharCode>(static_cast<unsigned char>(code[2])) << 8 |
         static_cast<FourCharCode>(static_cast<unsigned char>(code[3]));
}

enum : OSStatus {
  noErr = 0,
  ioErr = -36,
  fnfErr = -43,
  paramErr = -50,
  memFullErr = -108,
  procNotFound = -600,
  connectionInvalid = -609,
  errAECoercionFail = -1700,
  errAEDescNotFound = -1701,
  errAECorruptData = -1702,
  errAEWrongDataType = -1703,
  errAENotAEDesc = -1704,
  errAEBadListItem = -1705,
  errAENotAppleEvent = -1707,
  errAEEventNotHandled = -1708,
  errAEUnknownSendMode = -1710,
  errAETimeout = -1712,
  errAEUnknownAddressType = -1716,
  errAENoSuchObject = -1728,
  coreFoundationUnknownErr = -4960,
  kLSUnknownErr = -10810,
  kLSApplicationNotFoundErr = -10814,
  kLSNoExecutableErr = -10827,
};

// Helpers for the tests of Apple events and their transport.
#pragma once

#include <unistd.h>

#include "platform/carbon/AETransport.h"
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

// An event of the core suite addressed to the process.
inline OSErr makeEvent(pid_t pid, AEEventID id, AppleEvent* event) {
  Desc target;
  const ProcessSerialNumber psn{0, static_cast<UInt32>(pid)};
  AECreateDesc(typeProcessSerialNumber, &psn, sizeof psn, &target);
  return AECreateAppleEvent(kAECoreSuite, id, &target.d, kAutoGenerateReturnID, kAnyTransactionID,
                            event);
}

// Sends the process an event whose direct object is n, and waits for the reply.
inline OSErr sendTo(pid_t pid, SInt32 n, long ticks = 300) {
  Desc event, reply;
  makeEvent(pid, kAEGetData, &event);
  AEPutParamPtr(&event, keyDirectObject, typeSInt32, &n, sizeof n);
  return AESendMessage(&event.d, &reply.d, kAEWaitReply, ticks);
}

// The login-items part of System Events' scripting: get every property of login items,
// make a new login item at the end, delete a login item by position. Errors are answered with
// the numbers the platform's service gives.
#pragma once

#include "platform/carbon/AppleEvents.h"
#include "services/system-events/LoginItemStore.h"

namespace system_events {

enum : FourCharCode {
  cLoginItem = fourCharCode("logi"),
  pProperties = fourCharCode("pALL"),
  pClass = fourCharCode("pcls"),
  pName = fourCharCode("pnam"),
  pPath = fourCharCode("ppth"),
  pHidden = fourCharCode("hidn"),
};

class LoginItemsSuite {
 public:
  explicit LoginItemsSuite(LoginItemStore& store) : store_(store) {}

  OSErr handle(const AppleEvent* event, AppleEvent* reply);

 private:
  OSErr getData(const AppleEvent* event, AppleEvent* reply);
  OSErr createElement(const AppleEvent* event, AppleEvent* reply);
  OSErr deleteElement(const AppleEvent* event);

  LoginItemStore& store_;
};

}  // namespace system_events

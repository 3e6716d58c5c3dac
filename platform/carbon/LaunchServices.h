// Launch Services: finding an application bundle by its creator code and opening it.
#pragma once

#include "platform/carbon/AppleEvents.h"
#include "platform/carbon/CoreFoundation.h"
#include "platform/carbon/Files.h"
#include "platform/carbon/Processes.h"

using LSLaunchFlags = UInt32;
enum : LSLaunchFlags { kLSLaunchDefaults = 0x00000001 };

struct LSApplicationParameters {
  CFIndex version;
  LSLaunchFlags flags;
  const FSRef* application;
  void* asyncLaunchRefCon;
  CFDictionaryRef environment;
  CFArrayRef argv;
  AppleEvent* initialEvent;
};

// The first bundle, in name order, whose CFBundleSignature is inCreator among the applications
// of the system root's /System/Library/CoreServices and /Applications and of ~/Applications.
// Only the creator code is offered: inBundleID, inName and outAppURL must be null.
OSStatus LSFindApplicationForInfo(OSType inCreator, CFStringRef inBundleID, CFStringRef inName,
                                  FSRef* outAppRef, CFURLRef* outAppURL);

// The process of this session that runs the bundle's executable and answers events; when there
// is none, starts one as a detached process (own session, stdio on /dev/null, default signal
// handling) and returns once it answers. Opens take turns within the session. kLSUnknownErr
// when no instance answers within a few seconds. Only version 0, kLSLaunchDefaults and an
// application are offered.
OSStatus LSOpenApplication(const LSApplicationParameters* appParams, ProcessSerialNumber* outPSN);

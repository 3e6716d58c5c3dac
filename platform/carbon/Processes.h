// The Process Manager over /proc: the processes of this user in this login session (those that
// share our XDG_RUNTIME_DIR), in ascending order of process ID. A process whose executable lies
// in "X.app/Contents/MacOS/" belongs to that bundle and has its identifier and signature.
#pragma once

#include <sys/types.h>

#include "platform/carbon/CoreFoundation.h"
#include "platform/carbon/MacTypes.h"

// {0, process ID}; {0, kNoProcess} is the start of the process list.
struct ProcessSerialNumber {
  UInt32 highLongOfPSN;
  UInt32 lowLongOfPSN;
};

enum : UInt32 { kNoProcess = 0 };
inline constexpr UInt32 kProcessDictionaryIncludeAllInformationMask = 0xFFFFFFFF;
inline const CFStringRef kCFBundleIdentifierKey = CFSTR("CFBundleIdentifier");

struct ProcessInfoRec {
  UInt32 processInfoLength;
  ProcessSerialNumber processNumber;
  OSType processType;       // 'APPL' for a bundle's process, else 0
  OSType processSignature;  // the bundle's CFBundleSignature, else 0
};

// The process after psn; procNotFound after the last one.
OSErr GetNextProcess(ProcessSerialNumber* psn);
OSErr GetProcessInformation(const ProcessSerialNumber* psn, ProcessInfoRec* info);
// A dictionary holding kCFBundleIdentifierKey for a bundle's process; null when there is no
// such process.
CFDictionaryRef ProcessInformationCopyDictionary(const ProcessSerialNumber* psn,
                                                 UInt32 infoToReturn);
OSStatus GetProcessPID(const ProcessSerialNumber* psn, pid_t* pid);

// The user's login items, read and changed through Apple events to System Events, which is
// started when it is not running. Every function returns 0 or the error; see each below.
#pragma once

#include "platform/carbon/CoreFoundation.h"
#include "platform/carbon/Files.h"
#include "platform/carbon/MacTypes.h"

// A new array of login items in System Events' order, each a dictionary of "URL" (a file URL)
// and "Hidden" (a boolean). *itemsPtr must be null on entry; the caller releases the array.
OSStatus LIAECopyLoginItems(CFArrayRef* itemsPtr);

// Adds a login item for the object at the end of the list.
OSStatus LIAEAddRefAtEnd(const FSRef* item, Boolean hideIt);

// As LIAEAddRefAtEnd for the object the file URL names; fnfErr, with nothing sent, when there
// is none.
OSStatus LIAEAddURLAtEnd(CFURLRef item, Boolean hideIt);

// Deletes the login item at itemIndex (from 0) of the list LIAECopyLoginItems gives.
OSStatus LIAERemove(CFIndex itemIndex);

// The data the Apple Event Manager holds for a descriptor; shared by the data model, the
// flattened form and the transport. Not for the layer's users.
#pragma once

#include <vector>

#include "platform/carbon/AppleEvents.h"

namespace platform::carbon {

struct AEItem;

struct AEValue {
  enum class Kind : UInt8 { Data = 0, List = 1, Record = 2, Event = 3 };

  DescType type = typeNull;
  Kind kind = Kind::Data;
  std::vector<UInt8> bytes;        // data
  std::vector<AEItem> items;       // a list's items (keyword 0), a record's or event's entries
  std::vector<AEItem> attributes;  // an event's attributes
};

struct AEItem {
  AEKeyword keyword;
  AEValue value;
};

// The value a descriptor holds (a null value for the null descriptor), typed as the descriptor.
AEValue valueOf(const AEDesc& desc);
// Hands a value to a descriptor, which then owns it.
void adopt(AEValue value, AEDesc* desc);

}  // namespace platform::carbon

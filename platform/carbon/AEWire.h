// The flattened form in which descriptors travel between processes. All integers big-endian:
//   descriptor := type:4 kind:1 length:4 body[length]
//   kind 0, data:   body = the descriptor's data bytes
//   kind 1, list:   body = descriptor*                                  (type 'list')
//   kind 2, record: body = (keyword:4 descriptor)*               ('reco', 'obj ', 'insl')
//   kind 3, event:  body = count:4 (keyword:4 descriptor)*count attributes, then
//                   (keyword:4 descriptor)* parameters                  (type 'aevt')
#pragma once

#include <string>
#include <string_view>

#include "platform/carbon/AppleEvents.h"

namespace platform {

// Nesting deeper than this is refused when read.
inline constexpr int kMaxFlattenedDepth = 32;

std::string flattenDescriptor(const AEDesc& desc);

// Reads exactly one descriptor that fills the bytes; errAECorruptData for anything malformed
// (lengths that do not fit, unknown kinds, a kind that does not fit its type, nesting too deep,
// bytes left over).
OSErr unflattenDescriptor(std::string_view bytes, AEDesc* result);

}  // namespace platform

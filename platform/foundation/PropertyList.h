// Property-list files: XML and binary through libplist, and the classic text form of strings
// tables through a small parser of our own.
#pragma once

#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace platform {

// Parses an XML or binary property list. On failure gives nullopt and, if asked, the reason.
std::optional<Value> propertyListFromBytes(const std::string& bytes, std::string* error = nullptr);

// The XML form of a value.
std::string xmlPropertyList(const Value& value);

// Parses the classic text form of a strings table: "key" = "value"; entries, comments, escapes,
// UTF-8 or UTF-16 with a byte-order mark. A malformed table is an error, never a partial result.
std::optional<Dictionary> stringsTableFromText(const std::string& bytes,
                                               std::string* error = nullptr);

// dictionaryWithContentsOfFile: a dictionary read from a property-list file or a strings table
// in any of the forms above; nullopt when the file is missing, malformed or not a dictionary.
std::optional<Dictionary> dictionaryWithContentsOfFile(const std::string& path,
                                                       std::string* error = nullptr);

}  // namespace platform

#include "platform/foundation/PropertyList.h"

#include <plist/plist.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/foundation/FileIO.h"

namespace platform {

namespace {

// Seconds between the Unix epoch and the reference date of property lists (2001-01-01).
constexpr std::int64_t kReferenceDateOffset = 978307200;

struct PlistFree {
  void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

Value fromPlist(plist_t node, int depth, bool* ok);

Value fromPlistContainer(plist_t node, int depth, bool* ok) {
  if (plist_get_node_type(node) == PLIST_ARRAY) {
    Array array;
    const uint32_t n = plist_array_get_size(node);
    for (uint32_t i = 0; i < n && *ok; ++i)
      array.push_back(fromPlist(plist_array_get_item(node, i), depth + 1, ok));
    return array;
  }
  Dictionary dictionary;
  plist_dict_iter it = nullptr;
  plist_dict_new_iter(node, &it);
  while (*ok) {
    char* key = nullptr;
    plist_t item = nullptr;
    plist_dict_next_item(node, it, &key, &item);
    if (!item) {
      std::free(key);
      break;
    }
    Value value = fromPlist(item, depth + 1, ok);
    dictionary.insert_or_assign(key ? key : "", std::move(value));
    std::free(key);
  }
  std::free(it);
  return dictionary;
}

Value fromPlist(plist_t node, int depth, bool* ok) {
  if (depth > 256) {
    *ok = false;
    return {};
  }
  switch (plist_get_node_type(node)) {
    case PLIST_STRING: {
      uint64_t length = 0;
      const char* s = plist_get_string_ptr(node, &length);
      return std::string(s ? s : "", s ? length : 0);
    }
    case PLIST_UINT: {
      uint64_t v = 0;
      plist_get_uint_val(node, &v);
      return static_cast<std::int64_t>(v);
    }
    case PLIST_REAL: {
      double v = 0;
      plist_get_real_val(node, &v);
      // The XML the store writes holds no negative zero: it is read as the zero it will be.
      return v == 0 ? 0.0 : v;
    }
    case PLIST_BOOLEAN: {
      uint8_t v = 0;
      plist_get_bool_val(node, &v);
      return v != 0;
    }
    case PLIST_DATE: {
      int32_t sec = 0, usec = 0;
      plist_get_date_val(node, &sec, &usec);
      // libplist gives the fraction of a date before 2001 without its sign (one in the last
      // second before 2001 cannot be told from one in the first after, and is read as that).
      const int64_t fraction = sec < 0 ? -int64_t{usec} : usec;
      using namespace std::chrono;
      return Date(seconds(sec + kReferenceDateOffset) + microseconds(fraction));
    }
    case PLIST_DATA: {
      char* bytes = nullptr;
      uint64_t length = 0;
      plist_get_data_val(node, &bytes, &length);
      Data data(bytes, bytes + length);
      std::free(bytes);
      return data;
    }
    case PLIST_ARRAY:
    case PLIST_DICT:
      return fromPlistContainer(node, depth, ok);
    default:
      *ok = false;
      return {};
  }
}

// Whether a key or string holds U+0000. libplist aborts the process when such a key is read (a
// binary list's UTF-16 key can hold one), and the XML the store writes cannot hold it. libplist
// writes every key and string whole into XML, where no other byte is ever 0.
bool holdsNul(plist_t root) {
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(root, &xml, &length);
  const bool found = xml && std::memchr(xml, 0, length);
  plist_to_xml_free(xml);
  return found;
}

plist_t toPlist(const Value& value) {
  switch (value.type()) {
    case Value::Type::String:
      return plist_new_string(value.string()->c_str());
    case Value::Type::Integer:
      return plist_new_uint(static_cast<uint64_t>(*value.integer()));
    case Value::Type::Real:
      return plist_new_real(*value.real());
    case Value::Type::Boolean:
      return plist_new_bool(*value.boolean());
    case Value::Type::Date: {
      using namespace std::chrono;
      // XML holds whole seconds: the second the date lies in, also before 2001 (where libplist
      // would cut a fraction toward 2001, into the next second).
      const auto since2001 =
          floor<seconds>(*value.date()).time_since_epoch().count() - kReferenceDateOffset;
      // libplist holds 32-bit seconds from 2001: a date outside 1932-2069 is written as the
      // nearest it holds, not wrapped round into another century.
      return plist_new_date(
          static_cast<int32_t>(std::clamp<int64_t>(since2001, INT32_MIN, INT32_MAX)), 0);
    }
    case Value::Type::Data: {
      const Data& d = *value.data();
      return plist_new_data(reinterpret_cast<const char*>(d.bytes()), d.size());
    }
    case Value::Type::Array: {
      plist_t array = plist_new_array();
      for (const Value& item : *value.array()) plist_array_append_item(array, toPlist(item));
      return array;
    }
    case Value::Type::Dictionary: {
      plist_t dict = plist_new_dict();
      for (const auto& [key, item] : *value.dictionary())
        plist_dict_set_item(dict, key.c_str(), toPlist(item));
      return dict;
    }
    case Value::Type::Null:
      break;
  }
  return plist_new_string("");
}

}  // namespace

std::optional<Value> propertyListFromBytes(const std::string& bytes, std::string* error) {
  plist_t root = nullptr;
  if (!bytes.empty() && bytes.size() < UINT32_MAX)
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  PlistPtr owner(root);
  if (!root) {
    if (error) *error = "not a property list";
    return std::nullopt;
  }
  if (holdsNul(root)) {
    if (error) *error = "a key or string holds U+0000";
    return std::nullopt;
  }
  bool ok = true;
  Value value = fromPlist(root, 0, &ok);
  if (!ok) {
    if (error) *error = "property list holds an unsupported value";
    return std::nullopt;
  }
  return value;
}

std::string xmlPropertyList(const Value& value) {
  PlistPtr root(toPlist(value));
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(root.get(), &xml, &length);
  std::string out(xml ? xml : "", xml ? length : 0);
  plist_to_xml_free(xml);
  return out;
}

std::optional<Dictionary> dictionaryWithContentsOfFile(const std::string& path,
                                                       std::string* error) {
  auto bytes = contentsOfFile(path);
  if (!bytes) {
    if (error) *error = "cannot read " + path;
    return std::nullopt;
  }
  const bool binary = bytes->compare(0, 6, "bplist") == 0;
  const size_t start = bytes->find_first_not_of(" \t\r\n\xef\xbb\xbf");
  const bool xml = start != std::string::npos && bytes->compare(start, 1, "<") == 0;
  if (binary || xml) {
    auto value = propertyListFromBytes(*bytes, error);
    if (!value) return std::nullopt;
    if (!value->isDictionary()) {
      if (error) *error = "the property list is not a dictionary";
      return std::nullopt;
    }
    return *value->dictionary();
  }
  return stringsTableFromText(*bytes, error);
}

}  // namespace platform

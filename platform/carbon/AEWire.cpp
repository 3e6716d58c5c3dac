#include "platform/carbon/AEWire.h"

#include <optional>

#include "platform/carbon/AEValue.h"

namespace platform {

namespace {

using carbon::AEItem;
using carbon::AEValue;
using Kind = AEValue::Kind;

void writeU32(std::string& out, UInt32 n) {
  out += static_cast<char>(n >> 24);
  out += static_cast<char>(n >> 16);
  out += static_cast<char>(n >> 8);
  out += static_cast<char>(n);
}

void write(std::string& out, const AEValue& value);

void writeEntries(std::string& out, const std::vector<AEItem>& items) {
  for (const AEItem& item : items) {
    writeU32(out, item.keyword);
    write(out, item.value);
  }
}

void write(std::string& out, const AEValue& value) {
  writeU32(out, value.type);
  out += static_cast<char>(value.kind);
  const size_t lengthAt = out.size();
  writeU32(out, 0);
  const size_t bodyAt = out.size();
  switch (value.kind) {
    case Kind::Data:
      out.append(value.bytes.begin(), value.bytes.end());
      break;
    case Kind::List:
      for (const AEItem& item : value.items) write(out, item.value);
      break;
    case Kind::Record:
      writeEntries(out, value.items);
      break;
    case Kind::Event:
      writeU32(out, static_cast<UInt32>(value.attributes.size()));
      writeEntries(out, value.attributes);
      writeEntries(out, value.items);
      break;
  }
  std::string length;
  writeU32(length, static_cast<UInt32>(out.size() - bodyAt));
  out.replace(lengthAt, 4, length);
}

bool isRecordType(DescType type) {
  return type == typeAERecord || type == typeObjectSpecifier || type == typeInsertionLoc;
}

bool kindFitsType(Kind kind, DescType type) {
  switch (kind) {
    case Kind::Data:
      return type != typeAEList && type != typeAppleEvent && !isRecordType(type);
    case Kind::List:
      return type == typeAEList;
    case Kind::Record:
      return isRecordType(type);
    case Kind::Event:
      return type == typeAppleEvent;
  }
  return false;
}

class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}

  bool atEnd() const { return bytes_.empty(); }

  std::optional<UInt32> u32() {
    if (bytes_.size() < 4) return std::nullopt;
    UInt32 n = 0;
    for (int i = 0; i < 4; ++i) n = n << 8 | static_cast<UInt8>(bytes_[i]);
    bytes_.remove_prefix(4);
    return n;
  }

  std::optional<UInt8> u8() {
    if (bytes_.empty()) return std::nullopt;
    const auto n = static_cast<UInt8>(bytes_[0]);
    bytes_.remove_prefix(1);
    return n;
  }

  std::optional<std::string_view> take(UInt32 length) {
    if (bytes_.size() < length) return std::nullopt;
    const std::string_view part = bytes_.substr(0, length);
    bytes_.remove_prefix(length);
    return part;
  }

 private:
  std::string_view bytes_;
};

bool read(Reader& in, int depth, AEValue* value);

bool readEntry(Reader& in, int depth, std::vector<AEItem>* items) {
  const auto keyword = in.u32();
  AEItem item{0, {}};
  if (!keyword || !read(in, depth, &item.value)) return false;
  item.keyword = *keyword;
  items->push_back(std::move(item));
  return true;
}

bool readBody(Reader body, int depth, AEValue* value) {
  switch (value->kind) {
    case Kind::Data:
      return true;
    case Kind::List:
      while (!body.atEnd()) {
        AEItem item{0, {}};
        if (!read(body, depth + 1, &item.value)) return false;
        value->items.push_back(std::move(item));
      }
      return true;
    case Kind::Event: {
      const auto count = body.u32();
      if (!count) return false;
      for (UInt32 i = 0; i < *count; ++i)
        if (!readEntry(body, depth + 1, &value->attributes)) return false;
      [[fallthrough]];
    }
    case Kind::Record:
      while (!body.atEnd())
        if (!readEntry(body, depth + 1, &value->items)) return false;
      return true;
  }
  return false;
}

bool read(Reader& in, int depth, AEValue* value) {
  if (depth > kMaxFlattenedDepth) return false;
  const auto type = in.u32();
  const auto kind = in.u8();
  const auto length = in.u32();
  if (!type || !kind || !length || *kind > static_cast<UInt8>(Kind::Event)) return false;
  const auto body = in.take(*length);
  if (!body) return false;
  value->type = *type;
  value->kind = static_cast<Kind>(*kind);
  if (!kindFitsType(value->kind, value->type)) return false;
  if (value->kind == Kind::Data) {
    if (value->type == typeNull && !body->empty()) return false;
    value->bytes.assign(body->begin(), body->end());
  }
  return readBody(Reader(*body), depth, value);
}

}  // namespace

std::string flattenDescriptor(const AEDesc& desc) {
  std::string out;
  write(out, carbon::valueOf(desc));
  return out;
}

OSErr unflattenDescriptor(std::string_view bytes, AEDesc* result) {
  if (!result) return paramErr;
  Reader in(bytes);
  AEValue value;
  if (!read(in, 0, &value) || !in.atEnd()) return errAECorruptData;
  carbon::adopt(std::move(value), result);
  return noErr;
}

}  // namespace platform

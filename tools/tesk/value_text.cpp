#include "value_text.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include <fmt/format.h>

#include <tesk/win32/winreg.h>

namespace tesk::tool {
namespace {

struct TypeEntry {
  std::string_view name;
  DWORD type;
};

constexpr TypeEntry kTypes[] = {
    {"REG_NONE", REG_NONE},
    {"REG_SZ", REG_SZ},
    {"REG_EXPAND_SZ", REG_EXPAND_SZ},
    {"REG_BINARY", REG_BINARY},
    {"REG_DWORD", REG_DWORD},
    {"REG_DWORD_BIG_ENDIAN", REG_DWORD_BIG_ENDIAN},
    {"REG_LINK", REG_LINK},
    {"REG_MULTI_SZ", REG_MULTI_SZ},
    {"REG_RESOURCE_LIST", 8},
    {"REG_FULL_RESOURCE_DESCRIPTOR", 9},
    {"REG_RESOURCE_REQUIREMENTS_LIST", 10},
    {"REG_QWORD", REG_QWORD},
};

// Types the command line can write.
constexpr DWORD kWritable[] = {
    REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_DWORD_BIG_ENDIAN, REG_MULTI_SZ, REG_QWORD};

bool ParseNumber(std::string_view text, std::uint64_t max, std::uint64_t* value) {
  if (text.empty()) {
    *value = 0;
    return true;
  }
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  std::uint64_t v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, base);
  if (ec != std::errc{} || end != text.data() + text.size() || v > max) return false;
  *value = v;
  return true;
}

void AppendLittleEndian(std::uint64_t value, int bytes, std::vector<BYTE>* data) {
  for (int i = 0; i < bytes; ++i) data->push_back(static_cast<BYTE>(value >> (8 * i)));
}

std::uint64_t ReadLittleEndian(const std::vector<BYTE>& data) {
  std::uint64_t value = 0;
  for (std::size_t i = data.size(); i-- > 0;) value = (value << 8) | data[i];
  return value;
}

std::string HexBytes(const std::vector<BYTE>& data) {
  std::string text;
  for (BYTE b : data) text += fmt::format("{:02X}", b);
  return text;
}

// Up to the first terminator, or all of it when there is none.
std::string_view StringPart(const std::vector<BYTE>& data) {
  const auto* chars = reinterpret_cast<const char*>(data.data());
  const auto end = std::find(data.begin(), data.end(), BYTE{0});
  return std::string_view(chars, static_cast<std::size_t>(end - data.begin()));
}

}  // namespace

std::optional<DWORD> ParseTypeName(std::string_view name) {
  std::string upper(name);
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  if (upper == "REG_DWORD_LITTLE_ENDIAN") return REG_DWORD;
  for (const auto& entry : kTypes) {
    if (entry.name == upper &&
        std::find(std::begin(kWritable), std::end(kWritable), entry.type) != std::end(kWritable))
      return entry.type;
  }
  return std::nullopt;
}

std::string TypeName(DWORD type) {
  for (const auto& entry : kTypes)
    if (entry.type == type) return std::string(entry.name);
  return fmt::format("0x{:x}", type);
}

bool ParseValueData(DWORD type, std::string_view text, std::vector<BYTE>* data, std::string* error) {
  data->clear();
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      data->assign(text.begin(), text.end());
      data->push_back(0);
      return true;
    case REG_MULTI_SZ: {
      while (!text.empty()) {
        const std::size_t separator = text.find("\\0");
        const std::string_view item = text.substr(0, separator);
        // An empty item would end the list early for every reader.
        if (item.empty()) {
          *error = "REG_MULTI_SZ items cannot be empty";
          return false;
        }
        data->insert(data->end(), item.begin(), item.end());
        data->push_back(0);
        if (separator == std::string_view::npos) break;
        text.remove_prefix(separator + 2);
        if (text.empty()) {
          *error = "REG_MULTI_SZ items cannot be empty";
          return false;
        }
      }
      data->push_back(0);
      return true;
    }
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN: {
      std::uint64_t value = 0;
      if (!ParseNumber(text, 0xFFFFFFFFu, &value)) {
        *error = fmt::format("\"{}\" is not a number from 0 to 4294967295 (decimal or 0x hex)", text);
        return false;
      }
      if (type == REG_DWORD_BIG_ENDIAN) value = __builtin_bswap32(static_cast<std::uint32_t>(value));
      AppendLittleEndian(value, 4, data);
      return true;
    }
    case REG_QWORD: {
      std::uint64_t value = 0;
      if (!ParseNumber(text, ~std::uint64_t{0}, &value)) {
        *error = fmt::format("\"{}\" is not a 64-bit unsigned number (decimal or 0x hex)", text);
        return false;
      }
      AppendLittleEndian(value, 8, data);
      return true;
    }
    default: {
      if (text.size() % 2 != 0) {
        *error = "binary data needs two hex digits for each byte";
        return false;
      }
      for (std::size_t i = 0; i < text.size(); i += 2) {
        BYTE byte = 0;
        const auto [end, ec] = std::from_chars(text.data() + i, text.data() + i + 2, byte, 16);
        if (ec != std::errc{} || end != text.data() + i + 2) {
          *error = fmt::format("\"{}\" is not hex digits", text);
          return false;
        }
        data->push_back(byte);
      }
      return true;
    }
  }
}

std::string FormatValueData(DWORD type, const std::vector<BYTE>& data) {
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      return std::string(StringPart(data));
    case REG_MULTI_SZ: {
      std::string text;
      std::size_t pos = 0;
      while (pos < data.size() && data[pos] != 0) {
        const auto end = std::find(data.begin() + static_cast<std::ptrdiff_t>(pos), data.end(), BYTE{0});
        if (!text.empty()) text += "\\0";
        text.append(reinterpret_cast<const char*>(data.data()) + pos,
                    static_cast<std::size_t>(end - data.begin()) - pos);
        pos = static_cast<std::size_t>(end - data.begin()) + 1;
      }
      return text;
    }
    case REG_DWORD:
      if (data.size() == 4) return fmt::format("0x{:x}", ReadLittleEndian(data));
      break;
    case REG_DWORD_BIG_ENDIAN:
      if (data.size() == 4)
        return fmt::format("0x{:x}", __builtin_bswap32(static_cast<std::uint32_t>(ReadLittleEndian(data))));
      break;
    case REG_QWORD:
      if (data.size() == 8) return fmt::format("0x{:x}", ReadLittleEndian(data));
      break;
    default:
      break;
  }
  return HexBytes(data);
}

}  // namespace tesk::tool

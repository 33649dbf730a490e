#include "reg_file.h"

#include <fmt/format.h>

#include <tesk/win32/winreg.h>

#include "key_path.h"

namespace tesk::tool {
namespace {

constexpr std::string_view kHeader = "REGEDIT4";
constexpr std::string_view kLineEnd = "\r\n";
// Hex lines are broken before they pass this column, continuation backslash included.
constexpr std::size_t kWrapColumn = 80;

void AppendQuoted(std::string* out, std::string_view text) {
  *out += '"';
  for (char c : text) {
    if (c == '\\' || c == '"') *out += '\\';
    *out += c;
  }
  *out += '"';
}

// Data that reads back exactly from a "quoted" string: one terminator at the end and no line
// breaks, which the format cannot carry.
bool IsPlainString(const std::vector<BYTE>& data) {
  if (data.empty() || data.back() != 0) return false;
  for (std::size_t i = 0; i + 1 < data.size(); ++i)
    if (data[i] == 0 || data[i] == '\r' || data[i] == '\n') return false;
  return true;
}

// Appends "xx,xx,..." to a line that holds nothing but the value so far.
void AppendHex(std::string* out, const std::vector<BYTE>& data) {
  std::size_t column = out->size();
  for (std::size_t i = 0; i < data.size(); ++i) {
    *out += fmt::format("{:02x}", data[i]);
    column += 2;
    if (i + 1 == data.size()) break;
    *out += ',';
    ++column;
    // The next byte and its comma would not leave room for the backslash.
    if (column + 3 + 1 > kWrapColumn) {
      *out += '\\';
      *out += kLineEnd;
      *out += "  ";
      column = 2;
    }
  }
}

// ---- Reading ----

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::string_view Trim(std::string_view s) {
  return TrimRight(TrimLeft(s));
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads 1 to max_digits hex digits that make up the whole of text.
bool ParseHexNumber(std::string_view text, std::size_t max_digits, std::uint32_t* value) {
  if (text.empty() || text.size() > max_digits) return false;
  std::uint32_t v = 0;
  for (char c : text) {
    const int d = HexValue(c);
    if (d < 0) return false;
    v = (v << 4) | static_cast<std::uint32_t>(d);
  }
  *value = v;
  return true;
}

struct ParseFailure {
  std::string message;
};

class Reader {
 public:
  explicit Reader(std::string_view text) { SplitLines(text); }

  bool Run(std::vector<RegFileKey>* keys, RegFileError* error) {
    try {
      Parse();
    } catch (const ParseFailure& failure) {
      error->line = current_line_;
      error->message = failure.message;
      keys->clear();
      return false;
    }
    *keys = std::move(keys_);
    return true;
  }

 private:
  void SplitLines(std::string_view text) {
    // A byte-order mark is not part of the format, but editors add one.
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    while (!text.empty()) {
      const std::size_t end = text.find('\n');
      std::string_view line = text.substr(0, end);
      if (line.ends_with('\r')) line.remove_suffix(1);
      lines_.push_back(line);
      if (end == std::string_view::npos) break;
      text.remove_prefix(end + 1);
    }
  }

  [[noreturn]] static void Fail(std::string message) { throw ParseFailure{std::move(message)}; }

  void Parse() {
    std::size_t i = 0;
    while (i < lines_.size() && Trim(lines_[i]).empty()) ++i;
    current_line_ = static_cast<int>(i) + 1;
    if (i == lines_.size() || Trim(lines_[i]) != kHeader) Fail("the file does not start with REGEDIT4");
    for (++i; i < lines_.size(); ++i) {
      current_line_ = static_cast<int>(i) + 1;
      const std::string_view line = Trim(lines_[i]);
      if (line.empty() || line.front() == ';') continue;
      if (line.front() == '[') {
        ParseSection(line);
      } else {
        ParseValue(&i);
      }
    }
  }

  void ParseSection(std::string_view line) {
    if (line.back() != ']') Fail("a key line must end with ']'");
    std::string_view inner = line.substr(1, line.size() - 2);
    RegFileKey key;
    key.line = current_line_;
    if (!inner.empty() && inner.front() == '-') {
      key.remove = true;
      inner.remove_prefix(1);
    }
    inner = Trim(inner);
    const auto path = ParseKeyPath(inner);
    if (!path) Fail(fmt::format("\"{}\" is not a key path under a known root", inner));
    if (key.remove && path->subkey.empty()) Fail("a root key cannot be deleted");
    key.path = FullKeyName(*path);
    keys_.push_back(std::move(key));
  }

  // Reads a "quoted" string starting at text[0] == '"'; returns what follows it.
  std::string_view ParseQuoted(std::string_view text, std::string* out) {
    out->clear();
    for (std::size_t i = 1; i < text.size(); ++i) {
      const char c = text[i];
      if (c == '"') return text.substr(i + 1);
      if (c == '\\') {
        if (i + 1 == text.size()) break;
        const char next = text[++i];
        if (next != '\\' && next != '"') Fail(fmt::format("unknown escape \\{} in a quoted string", next));
        *out += next;
      } else {
        *out += c;
      }
    }
    Fail("a quoted string is not closed");
  }

  void ParseValue(std::size_t* index) {
    if (keys_.empty()) Fail("a value comes before any [key] line");
    RegFileKey& key = keys_.back();
    if (key.remove) Fail("values cannot follow a [-key] line, which deletes the key");

    std::string_view rest = Trim(lines_[*index]);
    RegFileValue value;
    value.line = current_line_;
    if (rest.front() == '@') {
      rest.remove_prefix(1);
    } else if (rest.front() == '"') {
      rest = ParseQuoted(rest, &value.name);
    } else {
      Fail("expected a value name in quotes, @ for the default value, or a [key] line");
    }
    rest = TrimLeft(rest);
    if (rest.empty() || rest.front() != '=') Fail("expected '=' after the value name");
    rest = TrimLeft(rest.substr(1));

    if (rest == "-") {
      value.remove = true;
    } else if (rest.starts_with('"')) {
      std::string text;
      rest = ParseQuoted(rest, &text);
      if (!Trim(rest).empty()) Fail("unexpected text after the closing quote");
      value.type = REG_SZ;
      value.data.assign(text.begin(), text.end());
      value.data.push_back(0);
    } else if (rest.starts_with("dword:")) {
      std::uint32_t number = 0;
      if (!ParseHexNumber(rest.substr(6), 8, &number)) Fail("dword: needs 1 to 8 hex digits");
      value.type = REG_DWORD;
      for (int b = 0; b < 4; ++b) value.data.push_back(static_cast<BYTE>(number >> (8 * b)));
    } else if (rest.starts_with("hex:") || rest.starts_with("hex(")) {
      std::size_t data_start = 4;
      value.type = REG_BINARY;
      if (rest[3] == '(') {
        const std::size_t close = rest.find("):");
        if (close == std::string_view::npos || !ParseHexNumber(rest.substr(4, close - 4), 8, &value.type))
          Fail("hex(...): needs a type number in hex, as in hex(2):");
        data_start = close + 2;
      }
      ParseBytes(rest.substr(data_start), index, &value.data);
    } else {
      Fail("unrecognised value data: expected \"text\", dword:, hex: or -");
    }
    key.values.push_back(std::move(value));
  }

  // Comma-separated hex bytes; a line ending in a backslash goes on on the next line.
  void ParseBytes(std::string_view text, std::size_t* index, std::vector<BYTE>* data) {
    for (;;) {
      text = Trim(text);
      const bool continued = text.ends_with('\\');
      if (continued) text = TrimRight(text.substr(0, text.size() - 1));
      std::size_t pos = 0;
      while (pos < text.size()) {
        std::size_t comma = text.find(',', pos);
        const bool last = comma == std::string_view::npos;
        if (last) comma = text.size();
        const std::string_view token = Trim(text.substr(pos, comma - pos));
        std::uint32_t byte = 0;
        if (!ParseHexNumber(token, 2, &byte)) Fail(fmt::format("\"{}\" is not a hex byte", token));
        data->push_back(static_cast<BYTE>(byte));
        pos = comma + 1;
        // A comma at the very end is only allowed before a continuation.
        if (!last && pos == text.size() && !continued) Fail("a hex list ends with a comma");
      }
      if (!continued) return;
      if (++*index == lines_.size()) Fail("the file ends in the middle of a continued value");
      current_line_ = static_cast<int>(*index) + 1;
      text = lines_[*index];
    }
  }

  std::vector<std::string_view> lines_;
  std::vector<RegFileKey> keys_;
  int current_line_ = 0;
};

}  // namespace

std::string FormatRegValue(const RegFileValue& value) {
  std::string line;
  if (value.name.empty()) {
    line.push_back('@');
  } else {
    AppendQuoted(&line, value.name);
  }
  line += '=';
  if (value.remove) {
    line += '-';
  } else if (value.type == REG_SZ && IsPlainString(value.data)) {
    AppendQuoted(&line,
                 std::string_view(reinterpret_cast<const char*>(value.data.data()), value.data.size() - 1));
  } else if (value.type == REG_DWORD && value.data.size() == 4) {
    const std::uint32_t number = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                                 (static_cast<std::uint32_t>(value.data[3]) << 24);
    line += fmt::format("dword:{:08x}", number);
  } else {
    line += value.type == REG_BINARY ? std::string("hex:") : fmt::format("hex({:x}):", value.type);
    AppendHex(&line, value.data);
  }
  return line;
}

std::string WriteRegFile(const std::vector<RegFileKey>& keys) {
  std::string out;
  out += kHeader;
  out += kLineEnd;
  out += kLineEnd;
  for (const auto& key : keys) {
    out += key.remove ? "[-" : "[";
    out += key.path;
    out += ']';
    out += kLineEnd;
    for (const auto& value : key.values) {
      out += FormatRegValue(value);
      out += kLineEnd;
    }
    out += kLineEnd;
  }
  return out;
}

bool ReadRegFile(std::string_view text, std::vector<RegFileKey>* keys, RegFileError* error) {
  return Reader(text).Run(keys, error);
}

}  // namespace tesk::tool

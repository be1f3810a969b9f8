// libFuzzer target for json::parse. Besides not crashing, it checks what the
// parser promises: objects strictly ordered by key, and failures that carry one
// of the known messages and a position inside the text.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json.h"

namespace {

using ostrel::json::Value;

void check(bool ok) {
  if (!ok) std::abort();
}

void check_tree(const Value& v) {
  if (v.is_array()) {
    for (const Value& e : v.as_array()) check_tree(e);
  } else if (v.is_object()) {
    const ostrel::json::Object& members = v.as_object();
    for (size_t i = 0; i < members.size(); ++i) {
      check(i == 0 || members[i - 1].key < members[i].key);
      check_tree(members[i].value);
    }
  }
}

// clang-format off
constexpr std::string_view kMessages[] = {
    "EOF while parsing a value", "EOF while parsing a list", "EOF while parsing an object",
    "EOF while parsing a string", "expected value", "expected ident", "trailing characters",
    "trailing comma", "key must be a string", "expected `:`", "expected `,` or `]`",
    "expected `,` or `}`", "invalid escape", "invalid number", "number out of range",
    "control character (\\u0000-\\u001F) found while parsing a string",
    "lone leading surrogate in hex escape", "unexpected end of hex escape",
    "recursion limit exceeded"};
// clang-format on

void check_error(const std::string& message, std::string_view text) {
  const size_t at = message.find(" at line ");
  bool known = false;
  for (std::string_view m : kMessages) known = known || message.compare(0, at, m) == 0;
  unsigned long line = 0, column = 0;
  check(at != std::string::npos && known &&
        std::sscanf(message.c_str() + at, " at line %lu column %lu", &line, &column) == 2);
  size_t lines = 1;
  for (char c : text) lines += c == '\n';
  check(line >= 1 && line <= lines && column <= text.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  ostrel::Result<Value> r = ostrel::json::parse(text);
  if (r.ok()) {
    check_tree(r.value());
  } else if (r.status().code() == ostrel::Status::Code::kInvalid) {
    check_error(r.status().message(), text);
  } else if (r.status().code() != ostrel::Status::Code::kNoMemory) {
    std::abort();
  }
  return 0;
}

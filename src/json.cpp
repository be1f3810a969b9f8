// JSON parser: RapidJSON's SAX reader run over a private copy of the text,
// building the value tree of json.h, with error texts and positions of its own.
//
// RapidJSON scans the text; this file adds what it lacks:
//  - A stream that ends at the view's end: NUL bytes are ordinary input and no
//    byte past the view is read. Strings are decoded in place (in-situ mode) in
//    the private copy, so RapidJSON's internal stack is never used.
//  - The nesting limit, enforced from the handler before RapidJSON recurses.
//  - Number conversion: RapidJSON hands over the raw number text and
//    std::from_chars converts it, correctly rounded. RapidJSON 1.1.0's own
//    full-precision conversion reads out of bounds (and overflows ints) on
//    fractions with a few hundred leading zeros, e.g. 0.000...0001e-10.
//  - Rejection of escaped lone trailing surrogates (\uDC00), which RapidJSON
//    accepts.
//  - Error texts: RapidJSON's error codes are coarser than ours, so the bytes
//    around its error offset are examined again (diagnose() and helpers).
//
// Error positions. A position is the (line, column) reached after reading up
// to and including the offending byte: lines count LF bytes from 1, columns
// count bytes from 1 after the last LF. Hence:
//  - an offending byte reports its own column; a LF byte (a control character
//    in a string, a byte of a broken escape or literal) reports column 0 of the
//    next line;
//  - "EOF while parsing ..." reports the end of the text: the column of the last
//    byte, 0 for an empty text or one ending in LF;
//  - "number out of range" reports the last byte of the number;
//  - "lone leading surrogate in hex escape" reports the last hex digit of the
//    escape that is not a valid surrogate half;
//  - "unexpected end of hex escape" reports the byte that should have been the
//    `\` or `u` of the escape completing a leading surrogate;
//  - "invalid escape" reports the byte after `\`, or the first non-hex byte of
//    \uXXXX; a text ending within the four hex digits is "EOF while parsing a
//    string".
// Choice of message where RapidJSON does not tell:
//  - in a list: `]` right after `,` is "trailing comma"; EOF right after `[` is
//    "EOF while parsing a list", right after `,` "EOF while parsing a value";
//  - in an object: `}` right after `,` is "trailing comma", anything else that is
//    not a string where a key belongs "key must be a string"; EOF right after `,`
//    is "EOF while parsing a value", anywhere else "EOF while parsing an object";
//  - a digit right after a leading 0, or a byte other than a digit after `-`,
//    `.` or the exponent mark (and its sign) is "invalid number"; at EOF there
//    it is "EOF while parsing a value";
//  - a number whose magnitude exceeds the double range is "number out of range";
//    one below the smallest double becomes a zero of its sign. RapidJSON's
//    scanner refuses two further forms before conversion, and they are "number
//    out of range" too: an integer part of about 1.8e308 or more (whatever the
//    exponent), and an exponent above 308 plus the count of fraction digits
//    (even for a zero: 0e400).
//  - a NUL byte is no end of text: after the value it is "trailing characters",
//    in a string a control character, where a value belongs "expected value".
#include "json.h"

#include <rapidjson/reader.h>

#include <algorithm>
#include <cassert>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <system_error>

namespace ostrel::json {
namespace {

// Arrays/objects that may be open at once; the next opening bracket fails.
constexpr size_t MAX_DEPTH = 127;

constexpr const char* EOF_VALUE = "EOF while parsing a value";
constexpr const char* EOF_LIST = "EOF while parsing a list";
constexpr const char* EOF_OBJECT = "EOF while parsing an object";
constexpr const char* EOF_STRING = "EOF while parsing a string";
constexpr const char* EXPECTED_VALUE = "expected value";
constexpr const char* EXPECTED_IDENT = "expected ident";
constexpr const char* TRAILING_CHARACTERS = "trailing characters";
constexpr const char* TRAILING_COMMA = "trailing comma";
constexpr const char* KEY_MUST_BE_STRING = "key must be a string";
constexpr const char* EXPECTED_COLON = "expected `:`";
constexpr const char* EXPECTED_LIST_COMMA_OR_END = "expected `,` or `]`";
constexpr const char* EXPECTED_OBJECT_COMMA_OR_END = "expected `,` or `}`";
constexpr const char* INVALID_ESCAPE = "invalid escape";
constexpr const char* INVALID_NUMBER = "invalid number";
constexpr const char* NUMBER_OUT_OF_RANGE = "number out of range";
constexpr const char* CONTROL_CHARACTER =
    "control character (\\u0000-\\u001F) found while parsing a string";
constexpr const char* LONE_LEADING_SURROGATE = "lone leading surrogate in hex escape";
constexpr const char* UNEXPECTED_END_OF_HEX_ESCAPE = "unexpected end of hex escape";
constexpr const char* RECURSION_LIMIT_EXCEEDED = "recursion limit exceeded";

// A parse failure: the message and how many bytes had been read when it was
// found (the offending byte included). The position follows from `read`.
struct Failure {
  const char* message;
  size_t read;
};
using MaybeFailure = std::optional<Failure>;

Failure at_byte(const char* message, size_t index) { return {message, index + 1}; }
Failure at_eof(const char* message, std::string_view text) { return {message, text.size()}; }

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Index of the last non-whitespace byte before `index`, or npos.
size_t prev_non_ws(std::string_view text, size_t index) {
  while (index > 0) {
    --index;
    if (!is_ws(text[index])) return index;
  }
  return std::string_view::npos;
}

bool prev_is(std::string_view text, size_t index, char c) {
  size_t p = prev_non_ws(text, index);
  return p != std::string_view::npos && text[p] == c;
}

// A digit right after a number's leading 0: RapidJSON ends the number at the
// 0 and stumbles on the digit. No other token can end in 0 right before a digit.
bool after_leading_zero(std::string_view text, size_t index) {
  return index > 0 && index < text.size() && is_digit(text[index]) && text[index - 1] == '0';
}

// Reads the four hex digits of a \u escape starting at `i`.
MaybeFailure read_hex4(std::string_view text, size_t& i, unsigned& out) {
  if (text.size() - i < 4) return at_eof(EOF_STRING, text);
  out = 0;
  for (size_t k = 0; k < 4; ++k) {
    int v = hex_value(text[i + k]);
    if (v < 0) return at_byte(INVALID_ESCAPE, i + k);
    out = out * 16 + static_cast<unsigned>(v);
  }
  i += 4;
  return std::nullopt;
}

// Checks a \u escape whose hex digits start at `i`; advances `i` past it (and
// past the escape of a trailing surrogate, when one is required).
MaybeFailure check_unicode_escape(std::string_view text, size_t& i) {
  unsigned first;
  if (MaybeFailure f = read_hex4(text, i, first)) return f;
  if (first >= 0xDC00 && first <= 0xDFFF) return Failure{LONE_LEADING_SURROGATE, i};
  if (first < 0xD800 || first > 0xDBFF) return std::nullopt;
  for (char expected : {'\\', 'u'}) {
    if (i == text.size()) return at_eof(EOF_STRING, text);
    if (text[i] != expected) return at_byte(UNEXPECTED_END_OF_HEX_ESCAPE, i);
    ++i;
  }
  unsigned second;
  if (MaybeFailure f = read_hex4(text, i, second)) return f;
  if (second < 0xDC00 || second > 0xDFFF) return Failure{LONE_LEADING_SURROGATE, i};
  return std::nullopt;
}

// The first error of the string whose opening quote is at `open`, if any.
MaybeFailure check_string(std::string_view text, size_t open) {
  size_t i = open + 1;
  for (;;) {
    if (i == text.size()) return at_eof(EOF_STRING, text);
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '"') return std::nullopt;
    if (c < 0x20) return at_byte(CONTROL_CHARACTER, i);
    ++i;
    if (c != '\\') continue;
    if (i == text.size()) return at_eof(EOF_STRING, text);
    switch (text[i++]) {
      case '"':
      case '\\':
      case '/':
      case 'b':
      case 'f':
      case 'n':
      case 'r':
      case 't':
        break;
      case 'u':
        if (MaybeFailure f = check_unicode_escape(text, i)) return f;
        break;
      default:
        return at_byte(INVALID_ESCAPE, i - 1);
    }
  }
}

// Opening quote of the string that contains `index`: the nearest `"` before it
// that is not escaped (an even run of backslashes before a quote cannot occur
// inside a string, since that quote would have closed it).
size_t string_open(std::string_view text, size_t index) {
  while (index > 0) {
    --index;
    if (text[index] != '"') continue;
    size_t slashes = 0;
    while (slashes < index && text[index - slashes - 1] == '\\') ++slashes;
    if (slashes % 2 == 0) return index;
  }
  return 0;
}

// Scans the number starting at `start` (a `-` or a digit): its first syntax
// error, or else "number out of range" at its last byte. Used when RapidJSON
// gave up on a number as too big before reading all of it.
Failure number_too_big(std::string_view text, size_t start) {
  const size_t n = text.size();
  size_t i = start;
  if (i < n && text[i] == '-') ++i;
  auto digits = [&]() -> MaybeFailure {
    if (i == n) return at_eof(EOF_VALUE, text);
    if (!is_digit(text[i])) return at_byte(INVALID_NUMBER, i);
    while (i < n && is_digit(text[i])) ++i;
    return std::nullopt;
  };
  if (i < n && text[i] == '0') {
    ++i;
    if (i < n && is_digit(text[i])) return at_byte(INVALID_NUMBER, i);
  } else if (MaybeFailure f = digits()) {
    return *f;
  }
  if (i < n && text[i] == '.') {
    ++i;
    if (MaybeFailure f = digits()) return *f;
  }
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    if (MaybeFailure f = digits()) return *f;
  }
  return Failure{NUMBER_OUT_OF_RANGE, i};
}

// ValueInvalid: RapidJSON could not read a value at `at`. It is either the
// first byte of the value, or the byte after the partial `-` of a number or
// after a partial literal (true/false/null).
Failure value_invalid(std::string_view text, size_t at) {
  const bool eof = at == text.size();
  if (at > 0 && text[at - 1] == '-') {
    return eof ? at_eof(EOF_VALUE, text) : at_byte(INVALID_NUMBER, at);
  }
  if (at > 0 && text[at - 1] >= 'a' && text[at - 1] <= 'z') {
    return eof ? at_eof(EOF_VALUE, text) : at_byte(EXPECTED_IDENT, at);
  }
  if (eof) return at_eof(prev_is(text, at, '[') ? EOF_LIST : EOF_VALUE, text);
  if (text[at] == ']' && prev_is(text, at, ',')) return at_byte(TRAILING_COMMA, at);
  return at_byte(EXPECTED_VALUE, at);
}

// Maps a RapidJSON error (other than a stop requested by the handler) to ours.
Failure diagnose(std::string_view text, rapidjson::ParseErrorCode code, size_t at) {
  const bool eof = at >= text.size();
  switch (code) {
    case rapidjson::kParseErrorDocumentEmpty:
      return eof ? at_eof(EOF_VALUE, text) : at_byte(EXPECTED_VALUE, at);
    case rapidjson::kParseErrorValueInvalid:
      return value_invalid(text, at);
    case rapidjson::kParseErrorObjectMissName: {
      const bool after_comma = prev_is(text, at, ',');
      if (eof) return at_eof(after_comma ? EOF_VALUE : EOF_OBJECT, text);
      if (after_comma && text[at] == '}') return at_byte(TRAILING_COMMA, at);
      return at_byte(KEY_MUST_BE_STRING, at);
    }
    case rapidjson::kParseErrorObjectMissColon:
      return eof ? at_eof(EOF_OBJECT, text) : at_byte(EXPECTED_COLON, at);
    case rapidjson::kParseErrorObjectMissCommaOrCurlyBracket:
      if (eof) return at_eof(EOF_OBJECT, text);
      if (after_leading_zero(text, at)) return at_byte(INVALID_NUMBER, at);
      return at_byte(EXPECTED_OBJECT_COMMA_OR_END, at);
    case rapidjson::kParseErrorArrayMissCommaOrSquareBracket:
      if (eof) return at_eof(EOF_LIST, text);
      if (after_leading_zero(text, at)) return at_byte(INVALID_NUMBER, at);
      return at_byte(EXPECTED_LIST_COMMA_OR_END, at);
    case rapidjson::kParseErrorStringUnicodeEscapeInvalidHex:
    case rapidjson::kParseErrorStringUnicodeSurrogateInvalid:
    case rapidjson::kParseErrorStringEscapeInvalid:
    case rapidjson::kParseErrorStringMissQuotationMark:
    case rapidjson::kParseErrorStringInvalidEncoding:
      // RapidJSON's offset is somewhere inside the string; recheck all of it so
      // that an earlier lone trailing surrogate (which it accepts) comes first.
      if (MaybeFailure f = check_string(text, string_open(text, at))) return *f;
      break;
    case rapidjson::kParseErrorNumberTooBig:
      return number_too_big(text, at);
    case rapidjson::kParseErrorNumberMissFraction:
    case rapidjson::kParseErrorNumberMissExponent:
      return eof ? at_eof(EOF_VALUE, text) : at_byte(INVALID_NUMBER, at);
    default:
      break;
  }
  // Not reached for the flags used; keep a sensible text rather than none.
  assert(false && "RapidJSON error without a matching diagnosis");
  return eof ? at_eof(EOF_VALUE, text) : at_byte(EXPECTED_VALUE, at);
}

// Decimal exponent of the leading non-zero digit of a number text that
// std::from_chars found out of range: above 0 it overflowed, else underflowed.
int64_t decimal_magnitude(const char* p, const char* end) {
  constexpr int64_t CAP = int64_t{1} << 40;  // far beyond any double exponent
  if (p != end && *p == '-') ++p;
  int64_t magnitude = 0;
  bool found = false;
  const char* int_begin = p;
  while (p != end && is_digit(*p)) ++p;
  for (const char* q = int_begin; q != p; ++q) {
    if (*q != '0') {
      magnitude = (p - q) - 1;
      found = true;
      break;
    }
  }
  if (p != end && *p == '.') {
    const char* frac_begin = ++p;
    for (; p != end && is_digit(*p); ++p) {
      if (!found && *p != '0') {
        magnitude = -((p - frac_begin) + 1);
        found = true;
      }
    }
  }
  if (!found) return 0;
  int64_t exponent = 0;
  bool negative = false;
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p != end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    for (; p != end && is_digit(*p); ++p) exponent = std::min(CAP, exponent * 10 + (*p - '0'));
  }
  return magnitude + (negative ? -exponent : exponent);
}

// RapidJSON input over [begin, end) of a writable copy of the text. Peek()
// yields NUL at the end, which RapidJSON takes as the end of input; a NUL byte
// inside the text is told apart by its offset. Strings are decoded in place:
// the write position never passes the read position.
class ViewStream {
 public:
  using Ch = char;

  ViewStream(char* begin, char* end) : begin_(begin), src_(begin), end_(end), dst_(begin) {}

  Ch Peek() const { return src_ != end_ ? *src_ : '\0'; }
  Ch Take() { return src_ != end_ ? *src_++ : '\0'; }
  size_t Tell() const { return static_cast<size_t>(src_ - begin_); }

  Ch* PutBegin() { return dst_ = src_; }
  void Put(Ch c) { *dst_++ = c; }
  void Flush() {}
  size_t PutEnd(Ch* begin) { return static_cast<size_t>(dst_ - begin); }

 private:
  char* begin_;
  char* src_;
  char* end_;
  char* dst_;
};

}  // namespace
}  // namespace ostrel::json

namespace rapidjson {
// Cheap to copy: RapidJSON then reads strings and numbers through a local copy
// and hands the handler pointers to where they start in the buffer.
template <>
struct StreamTraits<ostrel::json::ViewStream> {
  enum { copyOptimization = 1 };
};
}  // namespace rapidjson

namespace ostrel::json {
namespace {

// RapidJSON handler that builds the value tree. On a failure it records it and
// returns false, which stops the reader.
//
// Invariants: `open_` holds the arrays/objects being built, outermost first,
// at most MAX_DEPTH; an open object's last member is the one whose value comes
// next. Strings and numbers arrive as pointers into `buffer` (the in-place
// copy of `text`), which locates them in the text.
class TreeBuilder {
 public:
  using Ch = char;
  using SizeType = rapidjson::SizeType;

  TreeBuilder(std::string_view text, const char* buffer, const ViewStream& in)
      : text_(text),
        buffer_(buffer),
        in_(in),
        has_escapes_(text.find('\\') != std::string_view::npos) {}

  const MaybeFailure& failure() const { return failure_; }
  Value take_root() { return std::move(root_); }

  bool Null() { return add(); }
  bool Bool(bool b) { return add(b); }
  // Only RawNumber is called (numbers are read as text); the typed callbacks
  // exist because the reader's other code paths name them.
  bool Int(int i) { return add(int64_t{i}); }
  bool Uint(unsigned u) { return add(uint64_t{u}); }
  bool Int64(int64_t i) { return add(i); }
  bool Uint64(uint64_t u) { return add(u); }
  bool Double(double d) { return add(d); }

  bool RawNumber(const Ch* str, SizeType length, bool /*copy*/) {
    const char* end = str + length;
    const bool integral =
        std::find_if(str, end, [](char c) { return c == '.' || c == 'e' || c == 'E'; }) == end;
    if (integral) {
      // Integers beyond 64 bits fall through to double.
      if (*str == '-') {
        int64_t i;
        if (std::from_chars(str, end, i).ec == std::errc()) return add(i);
      } else {
        uint64_t u;
        if (std::from_chars(str, end, u).ec == std::errc()) return add(u);
      }
    }
    double d = 0;
    const std::from_chars_result r = std::from_chars(str, end, d);
    if (r.ec == std::errc::result_out_of_range) {
      if (decimal_magnitude(str, end) > 0) {
        return fail({NUMBER_OUT_OF_RANGE, static_cast<size_t>(end - buffer_)});
      }
      d = *str == '-' ? -0.0 : 0.0;
    } else {
      assert(r.ec == std::errc() && r.ptr == end);
    }
    return add(d);
  }

  bool String(const Ch* str, SizeType length, bool /*copy*/) {
    if (!check_surrogates(str, length)) return false;
    return add(std::string(str, length));
  }

  bool Key(const Ch* str, SizeType length, bool /*copy*/) {
    if (!check_surrogates(str, length)) return false;
    open_.back().as_object().push_back(Member{std::string(str, length), Value()});
    return true;
  }

  bool StartObject() { return open(Value(Object())); }
  bool StartArray() { return open(Value(Array())); }

  bool EndObject(SizeType /*members*/) {
    normalize(open_.back().as_object());
    return close();
  }
  bool EndArray(SizeType /*elements*/) { return close(); }

 private:
  bool fail(Failure f) {
    failure_ = f;
    return false;
  }

  // Takes what a Value is made of, so that array elements are constructed in
  // place (moving a just-built scalar Value trips GCC 12's -Wmaybe-uninitialized).
  template <typename... Args>
  bool add(Args&&... args) {
    if (open_.empty()) {
      root_ = Value(std::forward<Args>(args)...);
    } else if (Value& top = open_.back(); top.is_array()) {
      top.as_array().emplace_back(std::forward<Args>(args)...);
    } else {
      top.as_object().back().value = Value(std::forward<Args>(args)...);
    }
    return true;
  }

  bool open(Value container) {
    // The reader has just taken the bracket: Tell() is one past it.
    if (open_.size() == MAX_DEPTH) return fail({RECURSION_LIMIT_EXCEEDED, in_.Tell()});
    open_.push_back(std::move(container));
    return true;
  }

  bool close() {
    Value done = std::move(open_.back());
    open_.pop_back();
    return add(std::move(done));
  }

  // Ascending byte order of keys, the last of equal keys kept.
  static void normalize(Object& members) {
    auto less = [](const Member& a, const Member& b) { return a.key < b.key; };
    auto not_increasing = [](const Member& a, const Member& b) { return !(a.key < b.key); };
    if (std::adjacent_find(members.begin(), members.end(), not_increasing) == members.end()) {
      return;  // written in order, no repeats
    }
    if (members.size() <= 16) {
      // Stable insertion sort: no buffer to allocate for typical small objects.
      for (size_t i = 1; i < members.size(); ++i) {
        if (!less(members[i], members[i - 1])) continue;
        Member m = std::move(members[i]);
        size_t j = i;
        for (; j > 0 && less(m, members[j - 1]); --j) members[j] = std::move(members[j - 1]);
        members[j] = std::move(m);
      }
    } else {
      std::stable_sort(members.begin(), members.end(), less);
    }
    size_t kept = 0;
    for (size_t i = 0; i < members.size(); ++i) {
      if (i + 1 < members.size() && members[i].key == members[i + 1].key) continue;
      if (kept != i) members[kept] = std::move(members[i]);
      ++kept;
    }
    members.erase(members.begin() + static_cast<std::ptrdiff_t>(kept), members.end());
  }

  // RapidJSON decodes \uDC00-\uDFFF without a leading surrogate into the bytes
  // ED B0..BF. Such bytes send the string's text through the full check, which
  // also tells them apart from the same bytes written raw (not rejected).
  bool check_surrogates(const Ch* str, SizeType length) {
    if (!has_escapes_) return true;
    for (const Ch* p = str; length > 0;) {
      const void* hit = std::memchr(p, 0xED, length - static_cast<SizeType>(p - str));
      if (hit == nullptr) return true;
      p = static_cast<const Ch*>(hit) + 1;
      if (p == str + length) return true;
      const auto next = static_cast<unsigned char>(*p);
      if (next >= 0xB0 && next <= 0xBF) {
        // In-situ decoding starts right after the opening quote.
        const size_t open = static_cast<size_t>(str - buffer_) - 1;
        if (MaybeFailure f = check_string(text_, open)) return fail(*f);
        return true;
      }
    }
    return true;
  }

  std::string_view text_;
  const char* buffer_;
  const ViewStream& in_;
  const bool has_escapes_;  // a text without `\` has no escaped surrogates
  std::vector<Value> open_;
  Value root_;
  MaybeFailure failure_;
};

std::string describe(const Failure& f, std::string_view text) {
  const std::string_view before = text.substr(0, std::min(f.read, text.size()));
  const size_t line = 1 + static_cast<size_t>(std::count(before.begin(), before.end(), '\n'));
  const size_t last_lf = before.rfind('\n');
  const size_t column =
      last_lf == std::string_view::npos ? before.size() : before.size() - last_lf - 1;
  return std::string(f.message) + " at line " + std::to_string(line) + " column " +
         std::to_string(column);
}

// In-situ strings and numbers as text; the trailing-text check is ours, since
// RapidJSON would stop at a NUL byte.
constexpr unsigned PARSE_FLAGS = rapidjson::kParseInsituFlag | rapidjson::kParseStopWhenDoneFlag |
                                 rapidjson::kParseNumbersAsStringsFlag;

}  // namespace

Result<Value> parse(std::string_view text) {
  try {
    std::string buffer(text);  // decoded in place by the reader
    ViewStream in(buffer.data(), buffer.data() + buffer.size());
    TreeBuilder builder(text, buffer.data(), in);
    rapidjson::Reader reader;
    const rapidjson::ParseResult result = reader.Parse<PARSE_FLAGS>(in, builder);

    Failure failure{};
    if (result.IsError()) {
      failure = result.Code() == rapidjson::kParseErrorTermination && builder.failure()
                    ? *builder.failure()
                    : diagnose(text, result.Code(), result.Offset());
    } else {
      size_t i = in.Tell();
      while (i < text.size() && is_ws(text[i])) ++i;
      if (i == text.size()) return builder.take_root();
      failure = after_leading_zero(text, i) ? at_byte(INVALID_NUMBER, i)
                                            : at_byte(TRAILING_CHARACTERS, i);
    }
    return Status::Invalid(describe(failure, text));
  } catch (const std::bad_alloc&) {
    return Status::NoMemory();
  } catch (const std::length_error&) {
    return Status::NoMemory();
  }
}

}  // namespace ostrel::json

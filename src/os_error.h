// Operating-system failures as engine errors: "<description> (os error N)",
// the description being the C library's text for errno N.
#pragma once

#include <string.h>

#include <string>

#include "status.h"

namespace ostrel {

namespace os_error_detail {
// strerror_r comes in a GNU flavour (returns the text) and an XSI flavour
// (fills the buffer, returns 0 on success); accept either.
[[maybe_unused]] inline const char* text(const char* result, const char*) { return result; }
[[maybe_unused]] inline const char* text(int rc, const char* buf) {
  return rc == 0 ? buf : "Unknown error";
}
}  // namespace os_error_detail

inline std::string os_error_text(int err) {
  char buf[256] = {};
  const char* text = os_error_detail::text(strerror_r(err, buf, sizeof buf), buf);
  return std::string(text) + " (os error " + std::to_string(err) + ")";
}

inline Status os_error(int err) { return Status::Invalid(os_error_text(err)); }

}  // namespace ostrel

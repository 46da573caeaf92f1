#include "common/failure.hpp"

#include <cstring>
#include <string>

namespace tavolin {

std::string describe_errno(int err) {
  char buf[256];
  buf[0] = '\0';
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  return std::string(text ? text : "Unknown error");
}

std::string IoFailure::text() const {
  if (kind == IoKind::os) {
    return describe_errno(os_error) + " (os error " + std::to_string(os_error) + ")";
  }
  return message;
}

}  // namespace tavolin

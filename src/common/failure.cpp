#include "common/failure.hpp"

#include <cstring>
#include <string>

namespace tavolin {

std::string describe_errno(int err) {
  char buf[256];
  buf[0] = '\0';
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  return text ? std::string(text) : std::string(messages::OS_ERROR_UNKNOWN);
}

std::string IoFailure::text() const {
  if (kind == IoKind::os) {
    std::string out = describe_errno(os_error);
    out.append(messages::OS_ERROR_OPEN).append(std::to_string(os_error));
    return out.append(messages::OS_ERROR_CLOSE);
  }
  return message;
}

}  // namespace tavolin

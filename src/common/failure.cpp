#include "common/failure.hpp"

#include <cstring>
#include <string>

namespace tavolin {

std::string describe_errno(int err) {
  char buf[256];
  buf[0] = '\0';
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  return text ? std::string(text) : std::string(messages::kOsErrorUnknown);
}

std::string Failure::text() const {
  if (code == FailureCode::os && os_error != 0) {
    return messages::os_error(describe_errno(os_error), os_error);
  }
  return message;
}

}  // namespace tavolin

#include "common/failure.hpp"

#include <string>

namespace tavolin {

std::string Failure::text() const {
  if (code == FailureCode::os && os_error != 0) {
    return messages::os_error(describe_errno(os_error), os_error);
  }
  return message;
}

}  // namespace tavolin

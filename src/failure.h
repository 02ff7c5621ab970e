#pragma once

#include <stdexcept>

// The one exception type of the installer. Its message is a complete sentence for the user, in
// UTF-8; it is shown unchanged on the Failure page and written to the setup log.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

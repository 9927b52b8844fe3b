// The project's general exception class.
#pragma once

#include <stdexcept>

namespace pw {

// Raised by the transport (and other synchronous layers) with the exact texts
// the user is shown. Event guards consume this class; other classes pass on.
class Exception : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace pw

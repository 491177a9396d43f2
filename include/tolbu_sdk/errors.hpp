#pragma once
// The SDK's error types. Messages are the SDK's own texts, returned by what().

#include <stdexcept>
#include <string>

#include "tolbu_sdk/platform/export.hpp"

namespace tolbu_sdk {

// An argument of the wrong type (dynamic JSON input); the message names the argument.
class TOLBU_API TypeError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// An invalid value or a failed conversion.
class TOLBU_API ValueError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

class TOLBU_API RuntimeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A network failure of an HTTP exchange (refused, unresolvable, reset, timed out).
class TOLBU_API TransportError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace tolbu_sdk

#pragma once
// Root of the exception hierarchy used by every layer of the library.
#include <stdexcept>
#include <string>

namespace zal {

// Base of every exception the library raises on purpose.
class EIdException : public std::runtime_error {
public:
  explicit EIdException(const std::string& message) : std::runtime_error(message) {}
  std::string Message() const { return what(); }
};

// Exceptions that mark an expected end of work and are not reported as failures.
class EIdSilentException : public EIdException {
public:
  using EIdException::EIdException;
};

// Raised to leave a step silently, without reporting anything.
class EAbort : public EIdSilentException {
public:
  EAbort() : EIdSilentException("Operation aborted") {}
  using EIdSilentException::EIdSilentException;
};

// The peer closed the connection: the normal end of a connection.
class EIdConnClosedGracefully : public EIdSilentException {
public:
  EIdConnClosedGracefully() : EIdSilentException("Connection Closed Gracefully.") {}
};

// A conversion of text to a number failed ("'%s' is not a valid integer value").
class EConvertError : public EIdException {
public:
  using EIdException::EIdException;
};

}  // namespace zal

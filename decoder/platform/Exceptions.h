// Typed errors raised by the core at its boundaries. The windows show what() in a message box,
// the batch tools print it as one line.
#pragma once

#include <stdexcept>
#include <string>

class Exception : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A file that cannot be opened, created, written or closed.
class EInOutError : public Exception {
  public:
    using Exception::Exception;
};

// A generic stream that could not move the whole count (ReadBuffer / WriteBuffer).
class EStreamError : public Exception {
  public:
    using Exception::Exception;
};
class EReadError : public EStreamError {
  public:
    using EStreamError::EStreamError;
};
class EWriteError : public EStreamError {
  public:
    using EStreamError::EStreamError;
};
class EFOpenError : public EStreamError {
  public:
    using EStreamError::EStreamError;
};
class EFCreateError : public EStreamError {
  public:
    using EStreamError::EStreamError;
};

// An index outside an indexed list.
class EListError : public Exception {
  public:
    using Exception::Exception;
};

// A virtual operation that the derived class was obliged to override but did not.
class EAbstractError : public Exception {
  public:
    using Exception::Exception;
};

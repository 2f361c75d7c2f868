// The one way a failure travels up: a `status` carrying the message users see.
//
// Every layer below the driver (io, hfs, dmg, import, symlink) reports failure
// by returning a status instead of printing and ending the process. A failed
// status holds the exact text the driver prints for it, newline included
// ("splitNode():705: io_write error\n"), and optionally the host error number
// behind it. Only the driver prints a fatal message and picks the exit status.
//
// `result<T>` is a value or a failed status, for operations that produce
// something. Both are [[nodiscard]]: a status nobody looked at is a bug.
#pragma once

#include <cstdarg>
#include <string>
#include <utility>

// gnu_printf checks the C99 formats ("%zu", "%lld") that volpack's runtime
// provides on every host; plain "printf" means Microsoft's older set to GCC
// when it targets Windows.
#if defined(__GNUC__) && !defined(__clang__)
#define VOLPACK_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#elif defined(__GNUC__)
#define VOLPACK_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define VOLPACK_PRINTF(fmt, args)
#endif

namespace volpack {

class [[nodiscard]] status {
 public:
  status() = default;  // success
  static status ok() { return status(); }
  // A failure printed as `message` exactly (callers include the line end).
  static status error(std::string message, int os_error = 0) {
    status s;
    s.failed_ = true;
    s.message_ = std::move(message);
    s.os_error_ = os_error;
    return s;
  }

  bool is_ok() const { return !failed_; }
  explicit operator bool() const { return !failed_; }
  const std::string& message() const { return message_; }
  // The host error number behind the failure, 0 when there is none.
  int os_error() const { return os_error_; }

  // Asks whoever reports the failure to follow the message with a summary
  // line of its own: the driver adds "error: unable to create DMG\n" after
  // the import's refusals (a host file it cannot read, a name it cannot
  // take), while the failures of the volume below are shown alone.
  status& want_summary() {
    summary_ = true;
    return *this;
  }
  bool wants_summary() const { return summary_; }

 private:
  bool failed_ = false;
  std::string message_;
  int os_error_ = 0;
  bool summary_ = false;
};

// A failed status whose message is formatted like printf.
status status_errorf(const char* fmt, ...) VOLPACK_PRINTF(1, 2);
status status_verrorf(const char* fmt, va_list ap);

// A value or the status that explains why there is none.
template <class T>
class [[nodiscard]] result {
 public:
  result(T value) : value_(std::move(value)) {}  // NOLINT: implicit on purpose
  result(status failure) : status_(std::move(failure)) {}  // NOLINT
  bool is_ok() const { return status_.is_ok(); }
  explicit operator bool() const { return status_.is_ok(); }
  const status& error() const { return status_; }
  T& value() { return value_; }
  const T& value() const { return value_; }
  T take() { return std::move(value_); }

 private:
  T value_{};
  status status_;
};

// Returns a failed status from the enclosing function.
#define VOLPACK_RETURN_IF_ERROR(expr)          \
  do {                                         \
    ::volpack::status volpack_status_ = (expr); \
    if (!volpack_status_) return volpack_status_; \
  } while (0)

}  // namespace volpack

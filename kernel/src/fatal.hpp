// The kernel's one failure path.
//
// A broken invariant (an index out of bounds, an array size that overflows,
// a worker pool that cannot start) is a fatal internal error: a short report
// (source location and text) goes to standard error, then an InternalError
// unwinds the call. The extension module catches it in exactly one place and
// turns it into the interpreter's internal-error exception; nothing aborts.
#pragma once

#include <cstddef>
#include <exception>
#include <source_location>
#include <string>
#include <string_view>

namespace tallow {

class InternalError : public std::exception {
 public:
  explicit InternalError(std::string text) : text_(std::move(text)) {}
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  std::string text_;
};

// Writes "<file>:<line>: internal error: <text>" to standard error, the file
// by its name alone, and throws.
[[noreturn]] void fatal(std::string_view text,
                        std::source_location where = std::source_location::current());

// The fatal error of a failed bounds test, with the exact text
// "index out of bounds: the len is L but the index is I".
[[noreturn]] void index_out_of_bounds(
    std::size_t len, std::size_t index,
    std::source_location where = std::source_location::current());

}  // namespace tallow

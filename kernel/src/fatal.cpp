#include "fatal.hpp"

#include <cstdio>

namespace tallow {
namespace {

// The source file's name without its directories: a report names the file
// and line, never the paths of the machine that built the module.
std::string_view file_name_only(const char* path) {
  const std::string_view whole(path);
  const std::size_t slash = whole.find_last_of("/\\");
  return slash == std::string_view::npos ? whole : whole.substr(slash + 1);
}

}  // namespace

void fatal(std::string_view text, std::source_location where) {
  const std::string_view file = file_name_only(where.file_name());
  std::fprintf(stderr, "tallow_forceatlas2: %.*s:%u: internal error: %.*s\n",
               static_cast<int>(file.size()), file.data(), static_cast<unsigned>(where.line()),
               static_cast<int>(text.size()), text.data());
  throw InternalError(std::string(text));
}

void index_out_of_bounds(std::size_t len, std::size_t index, std::source_location where) {
  fatal("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
            std::to_string(index),
        where);
}

}  // namespace tallow

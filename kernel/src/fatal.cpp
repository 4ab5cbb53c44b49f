#include "fatal.hpp"

#include <cstdio>

namespace tallow {

void fatal(std::string_view text, std::source_location where) {
  std::fprintf(stderr, "tallow_forceatlas2: %s:%u: internal error: %.*s\n", where.file_name(),
               static_cast<unsigned>(where.line()), static_cast<int>(text.size()), text.data());
  throw InternalError(std::string(text));
}

void index_out_of_bounds(std::size_t len, std::size_t index, std::source_location where) {
  fatal("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
            std::to_string(index),
        where);
}

}  // namespace tallow

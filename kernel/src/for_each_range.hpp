// How a phase hands its work to threads without knowing the pool.
#pragma once

#include <cstddef>
#include <functional>

namespace tallow {

// Runs body(begin, end) over consecutive ranges that cover [0, count), in any
// order and possibly at once on several threads, and returns when all have run.
using RangeBody = std::function<void(std::size_t begin, std::size_t end)>;
using ForEachRange = std::function<void(std::size_t count, const RangeBody& body)>;

}  // namespace tallow

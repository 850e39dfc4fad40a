#pragma once

// Hashing of names for the engine's hash maps. The key is chosen at random
// once per process, so no output may follow the maps' iteration order, and
// crafted names cannot be made to collide.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vbk {

// Drawn from the system's random source on first use.
uint64_t process_hash_key();

// A keyed hash of bytes (64-bit multiply-mix, not cryptographic).
uint64_t keyed_hash(std::string_view bytes, uint64_t key);

// Hash and equality for unordered maps keyed by std::string that look up by
// std::string_view without building a string.
struct NameHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const noexcept {
    return static_cast<size_t>(keyed_hash(s, process_hash_key()));
  }
};

struct NameEq {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
};

}  // namespace vbk

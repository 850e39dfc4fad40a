#include "util/hash.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>

namespace vbk {

namespace {

uint64_t draw_key() {
  uint64_t key = 0;
  size_t got = 0;
  while (got < sizeof key) {
    const ssize_t n = ::getrandom(reinterpret_cast<char*>(&key) + got, sizeof key - got, 0);
    if (n > 0) got += static_cast<size_t>(n);
    // An interrupted call is repeated; any other failure leaves a fixed key,
    // which costs only the randomisation.
    else if (n < 0 && errno != EINTR) break;
  }
  return key | 1;
}

constexpr uint64_t mix(uint64_t a, uint64_t b) {
  const __uint128_t p = static_cast<__uint128_t>(a) * b;
  return static_cast<uint64_t>(p) ^ static_cast<uint64_t>(p >> 64);
}

}  // namespace

uint64_t process_hash_key() {
  static const uint64_t key = draw_key();
  return key;
}

uint64_t keyed_hash(std::string_view bytes, uint64_t key) {
  constexpr uint64_t k1 = 0x9E3779B97F4A7C15ull, k2 = 0xD6E8FEB86659FD93ull;
  uint64_t h = key ^ (bytes.size() * k1);
  size_t i = 0;
  for (; i + 8 <= bytes.size(); i += 8) {
    uint64_t w;
    std::memcpy(&w, bytes.data() + i, 8);
    h = mix(h ^ w, k2);
  }
  uint64_t tail = 0;
  if (i < bytes.size()) std::memcpy(&tail, bytes.data() + i, bytes.size() - i);
  return mix(h ^ tail ^ k1, k2 ^ key);
}

}  // namespace vbk

// Bytes nothing on a path can compress: a xorshift sequence from a fixed seed, the same in every process.
// The server's download block is made of them, and so is the bare sender of bench/limit, so that both
// send the same kind of data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

inline std::vector<unsigned char> pseudo_random_bytes(size_t n) {
  std::vector<unsigned char> b(n);
  uint64_t x = 0x9e3779b97f4a7c15ull;
  for (auto &byte : b) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    byte = static_cast<unsigned char>(x >> 32);
  }
  return b;
}

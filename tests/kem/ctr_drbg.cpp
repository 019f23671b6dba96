#include "tests/kem/ctr_drbg.hpp"

#include <cryptopp/aes.h>

#include <algorithm>

namespace vellicor::test {

void CtrDrbg::next_block(std::uint8_t out[16]) {
  for (int j = 15; j >= 0; --j) {  // V is a 128-bit big-endian counter
    if (++v_[j] != 0) break;
  }
  CryptoPP::AES::Encryption aes(key_.data(), key_.size());
  aes.ProcessBlock(v_.data(), out);
}

void CtrDrbg::update(const std::uint8_t* provided) {
  std::uint8_t temp[kSeedBytes];
  for (std::size_t i = 0; i < kSeedBytes; i += 16) next_block(temp + i);
  if (provided != nullptr) {
    for (std::size_t i = 0; i < kSeedBytes; ++i) temp[i] ^= provided[i];
  }
  std::copy(temp, temp + 32, key_.begin());
  std::copy(temp + 32, temp + kSeedBytes, v_.begin());
}

void CtrDrbg::seed(const std::uint8_t entropy[kSeedBytes]) {
  key_.fill(0);
  v_.fill(0);
  update(entropy);
}

void CtrDrbg::generate(std::uint8_t* out, std::size_t n) {
  std::uint8_t block[16];
  while (n > 0) {
    next_block(block);
    const std::size_t take = std::min<std::size_t>(n, 16);
    std::copy(block, block + take, out);
    out += take;
    n -= take;
  }
  update(nullptr);
}

}  // namespace vellicor::test

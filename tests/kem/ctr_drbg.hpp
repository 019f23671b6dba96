#pragma once
// The AES-256 CTR_DRBG (SP 800-90A, no derivation function, no reseeding) that
// NIST's known-answer generators use for their random bytes, so that key
// generation and encapsulation can be replayed from the published seeds.

#include <array>
#include <cstddef>
#include <cstdint>

namespace vellicor::test {

class CtrDrbg {
 public:
  static constexpr std::size_t kSeedBytes = 48;

  // Instantiate with 48 bytes of entropy input and no personalisation.
  void seed(const std::uint8_t entropy[kSeedBytes]);
  void generate(std::uint8_t* out, std::size_t n);

 private:
  void update(const std::uint8_t* provided);  // provided: 48 bytes or nullptr
  void next_block(std::uint8_t out[16]);       // V = V + 1, out = AES_Key(V)

  std::array<std::uint8_t, 32> key_{};
  std::array<std::uint8_t, 16> v_{};
};

}  // namespace vellicor::test

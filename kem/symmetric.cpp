#include "kem/symmetric.hpp"

#include <cryptopp/sha3.h>
#include <cryptopp/shake.h>

namespace vellicor::kyber {

// Crypto++'s hash objects keep their state in wiping blocks, so nothing secret
// is left behind when they go out of scope.

void hash_h(std::uint8_t* out, const std::uint8_t* in, std::size_t len) {
  CryptoPP::SHA3_256 h;
  h.Update(in, len);
  h.Final(out);
}

void hash_g(std::uint8_t* out, const std::uint8_t* a, std::size_t alen, const std::uint8_t* b,
            std::size_t blen) {
  CryptoPP::SHA3_512 g;
  g.Update(a, alen);
  if (blen > 0) g.Update(b, blen);
  g.Final(out);
}

void prf(std::uint8_t* out, std::size_t outlen, const std::uint8_t key[kSymBytes], std::uint8_t nonce) {
  CryptoPP::SHAKE256 s(static_cast<unsigned int>(outlen));
  s.Update(key, kSymBytes);
  s.Update(&nonce, 1);
  s.TruncatedFinal(out, outlen);
}

void xof(std::uint8_t* out, std::size_t outlen, const std::uint8_t seed[kSymBytes], std::uint8_t x,
         std::uint8_t y) {
  const std::uint8_t xy[2] = {x, y};
  CryptoPP::SHAKE128 s(static_cast<unsigned int>(outlen));
  s.Update(seed, kSymBytes);
  s.Update(xy, 2);
  s.TruncatedFinal(out, outlen);
}

void kdf(std::uint8_t* out, const std::uint8_t* a, std::size_t alen, const std::uint8_t* b,
         std::size_t blen) {
  CryptoPP::SHAKE256 s(static_cast<unsigned int>(kSharedSecretBytes));
  s.Update(a, alen);
  if (blen > 0) s.Update(b, blen);
  s.TruncatedFinal(out, kSharedSecretBytes);
}

}  // namespace vellicor::kyber

#include "keystore/protected_key.hpp"

#include <cryptopp/aes.h>
#include <cryptopp/cryptlib.h>
#include <cryptopp/gcm.h>
#include <cryptopp/osrng.h>
#include <cryptopp/scrypt.h>

#include <algorithm>
#include <new>

#include "util/endian.hpp"

namespace vellicor {

namespace {

constexpr std::size_t kKeyLength = 32;
constexpr std::size_t kNonceLength = 12;
constexpr std::size_t kTagLength = 16;
// A secret key ends in its public half, a 32-byte hash of it and the 32-byte
// implicit-rejection value.
constexpr std::size_t kAfterPublicHalf = 64;
// Where the fields of the header start.
constexpr std::size_t kVersionAt = 8;
constexpr std::size_t kKdfAt = 9;
constexpr std::size_t kLog2NAt = 10;
constexpr std::size_t kRAt = 11;
constexpr std::size_t kPAt = 15;
constexpr std::size_t kSaltAt = 19;
constexpr std::size_t kNonceAt = kSaltAt + protected_key_salt_length;
static_assert(kNonceAt + kNonceLength == protected_key_header_length);

// scrypt's memory is 128 * r * N * p bytes; a file may ask for no more.
constexpr std::uint64_t kMaxMemory = std::uint64_t{1} << 30;
constexpr std::uint8_t kMinLog2N = 10;
constexpr std::uint8_t kMaxLog2N = 22;

constexpr const char* kWrongPassphrase = "wrong passphrase, or the file was changed";

bool fail(std::string& why, std::string reason) {
  why = std::move(reason);
  return false;
}

bool cost_in_range(const KdfCost& cost, std::string& why) {
  // scrypt itself wants N < 2^(128 * r / 8); the rest bounds the memory.
  bool fits = cost.log2_n >= kMinLog2N && cost.log2_n <= kMaxLog2N && cost.r >= 1 && cost.p >= 1 &&
              cost.log2_n < std::uint64_t{16} * cost.r;
  if (fits) {
    const std::uint64_t per_r = std::uint64_t{128} << cost.log2_n;
    fits = cost.r <= kMaxMemory / per_r && cost.p <= kMaxMemory / (per_r * cost.r);
  }
  if (fits) return true;
  return fail(why, "cost out of range (log2 N " + std::to_string(cost.log2_n) + ", r " + std::to_string(cost.r) +
                       ", p " + std::to_string(cost.p) + ")");
}

bool lengths_fit(std::size_t secret_key_length, std::size_t public_key_length, std::string& why) {
  if (secret_key_length >= public_key_length + kAfterPublicHalf) return true;
  return fail(why, "a secret key of " + std::to_string(secret_key_length) + " bytes cannot hold a public key of " +
                       std::to_string(public_key_length));
}

}  // namespace

std::size_t protected_key_length(std::size_t secret_key_length, std::size_t public_key_length) {
  return protected_key_header_length + public_key_length + secret_key_length + kTagLength;
}

bool looks_protected(ByteView first_bytes) {
  return first_bytes.size() >= protected_key_magic.size() &&
         std::equal(protected_key_magic.begin(), protected_key_magic.end(), first_bytes.begin());
}

bool parse_protected_key(ByteView file, std::size_t secret_key_length, std::size_t public_key_length,
                         ProtectedKeyHeader& out, std::string& why) {
  if (!lengths_fit(secret_key_length, public_key_length, why)) return false;
  if (!looks_protected(file)) return fail(why, "not a protected key file");
  const std::size_t expected = protected_key_length(secret_key_length, public_key_length);
  const std::string wrong_length =
      "has " + std::to_string(file.size()) + " bytes, expected " + std::to_string(expected);
  if (file.size() <= kKdfAt) return fail(why, wrong_length);
  if (file[kVersionAt] != protected_key_version)
    return fail(why, "unknown version " + std::to_string(file[kVersionAt]));
  if (file[kKdfAt] != protected_key_kdf_scrypt)
    return fail(why, "unknown key derivation " + std::to_string(file[kKdfAt]));
  if (file.size() != expected) return fail(why, wrong_length);
  const KdfCost cost{file[kLog2NAt], static_cast<std::uint32_t>(load_be32(file.data() + kRAt)),
                     static_cast<std::uint32_t>(load_be32(file.data() + kPAt))};
  if (!cost_in_range(cost, why)) return false;
  const std::size_t sealed_at = protected_key_header_length + public_key_length;
  out.cost = cost;
  out.salt = file.subspan(kSaltAt, protected_key_salt_length);
  out.nonce = file.subspan(kNonceAt, kNonceLength);
  out.public_key = file.subspan(protected_key_header_length, public_key_length);
  out.associated_data = file.first(sealed_at);
  out.sealed_key = file.subspan(sealed_at, secret_key_length);
  out.tag = file.subspan(sealed_at + secret_key_length, kTagLength);
  return true;
}

bool derive_protection_key(const SecretBytes& passphrase, ByteView salt, const KdfCost& cost, SecretBytes& key,
                           std::string& why) {
  if (!cost_in_range(cost, why)) return false;
  SecretBytes derived(kKeyLength);
  try {
    CryptoPP::Scrypt().DeriveKey(derived.data(), derived.size(), passphrase.data(), passphrase.size(), salt.data(),
                                 salt.size(), CryptoPP::word64{1} << cost.log2_n, cost.r, cost.p);
  } catch (const CryptoPP::Exception& e) {
    return fail(why, std::string("scrypt failed: ") + e.what());
  } catch (const std::bad_alloc&) {
    return fail(why, "scrypt failed: not enough memory for its cost");
  }
  key = std::move(derived);
  return true;
}

bool protect_secret_key_with(const SecretBytes& passphrase, const SecretBytes& secret_key,
                             std::size_t public_key_length, const KdfCost& cost, ByteView salt, ByteView nonce,
                             ByteBuffer& file, std::string& why) {
  if (passphrase.empty()) return fail(why, "the passphrase is empty");
  if (salt.size() != protected_key_salt_length || nonce.size() != kNonceLength)
    return fail(why, "the salt must have 32 bytes and the nonce 12");
  if (!lengths_fit(secret_key.size(), public_key_length, why)) return false;
  SecretBytes key;
  if (!derive_protection_key(passphrase, salt, cost, key, why)) return false;

  ByteBuffer bytes(protected_key_length(secret_key.size(), public_key_length));
  std::copy(protected_key_magic.begin(), protected_key_magic.end(), bytes.begin());
  bytes[kVersionAt] = protected_key_version;
  bytes[kKdfAt] = protected_key_kdf_scrypt;
  bytes[kLog2NAt] = cost.log2_n;
  store_be32(bytes.data() + kRAt, cost.r);
  store_be32(bytes.data() + kPAt, cost.p);
  std::copy(salt.begin(), salt.end(), bytes.begin() + kSaltAt);
  std::copy(nonce.begin(), nonce.end(), bytes.begin() + kNonceAt);
  const std::uint8_t* public_half = secret_key.data() + secret_key.size() - public_key_length - kAfterPublicHalf;
  std::copy(public_half, public_half + public_key_length, bytes.begin() + protected_key_header_length);
  const std::size_t sealed_at = protected_key_header_length + public_key_length;
  try {
    CryptoPP::GCM<CryptoPP::AES>::Encryption gcm;
    gcm.SetKeyWithIV(key.data(), key.size(), nonce.data(), nonce.size());
    gcm.EncryptAndAuthenticate(bytes.data() + sealed_at, bytes.data() + sealed_at + secret_key.size(), kTagLength,
                               nonce.data(), static_cast<int>(nonce.size()), bytes.data(), sealed_at,
                               secret_key.data(), secret_key.size());
  } catch (const CryptoPP::Exception& e) {
    return fail(why, std::string("AES-256-GCM failed: ") + e.what());
  }
  file = std::move(bytes);
  return true;
}

bool protect_secret_key(const SecretBytes& passphrase, const SecretBytes& secret_key, std::size_t public_key_length,
                        ByteBuffer& file, std::string& why, const KdfCost& cost) {
  std::uint8_t fresh[protected_key_salt_length + kNonceLength];
  try {
    CryptoPP::AutoSeededRandomPool rng;
    rng.GenerateBlock(fresh, sizeof fresh);
  } catch (const CryptoPP::Exception& e) {
    return fail(why, std::string("no random salt: ") + e.what());
  }
  const ByteView both(fresh, sizeof fresh);
  return protect_secret_key_with(passphrase, secret_key, public_key_length, cost,
                                 both.first(protected_key_salt_length), both.last(kNonceLength), file, why);
}

bool unprotect_secret_key(ByteView file, const SecretBytes& passphrase, std::size_t secret_key_length,
                          std::size_t public_key_length, SecretBytes& secret_key, std::string& why) {
  secret_key.reset();
  ProtectedKeyHeader header;
  if (!parse_protected_key(file, secret_key_length, public_key_length, header, why)) return false;
  if (passphrase.empty()) return fail(why, "the passphrase is empty");
  SecretBytes key;
  if (!derive_protection_key(passphrase, header.salt, header.cost, key, why)) return false;
  // Unverified bytes land here too; the destructor wipes them on a false.
  SecretBytes opened(secret_key_length);
  bool verified = false;
  try {
    CryptoPP::GCM<CryptoPP::AES>::Decryption gcm;
    gcm.SetKeyWithIV(key.data(), key.size(), header.nonce.data(), header.nonce.size());
    verified = gcm.DecryptAndVerify(opened.data(), header.tag.data(), header.tag.size(), header.nonce.data(),
                                    static_cast<int>(header.nonce.size()), header.associated_data.data(),
                                    header.associated_data.size(), header.sealed_key.data(),
                                    header.sealed_key.size());
  } catch (const CryptoPP::Exception& e) {
    return fail(why, std::string("AES-256-GCM failed: ") + e.what());
  }
  if (!verified) return fail(why, kWrongPassphrase);
  const std::size_t public_half = secret_key_length - public_key_length - kAfterPublicHalf;
  if (!equal_in_constant_time(opened.data() + public_half, header.public_key.data(), public_key_length))
    return fail(why, "the sealed key does not hold the public key beside it");
  secret_key = std::move(opened);
  return true;
}

}  // namespace vellicor

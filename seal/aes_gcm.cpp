#include "seal/aes_gcm.hpp"

#include <cryptopp/aes.h>
#include <cryptopp/cryptlib.h>
#include <cryptopp/gcm.h>
#include <cryptopp/osrng.h>
#include <cryptopp/sha.h>

#include <algorithm>
#include <string>

#include "util/console.hpp"

namespace vellicor {

namespace {

// TruncatedVerify reports a bad tag by its result, not by the filter's
// exception; the line keeps the text users and scripts know from the filter.
constexpr const char* kTagMismatchText = "HashVerificationFilter: message hash or MAC not valid";

// The nonce and the tag are each checked where they are used, with the
// lines a caller of the one-call decryption got.
bool check_part(const std::uint8_t* part, std::uint64_t length, std::uint64_t expected) {
  if (part == nullptr) {
    err("[ERR] Null nonce/tag in aes_gcm_decrypt\n");
    return false;
  }
  if (length != expected) {
    err("[ERR] Invalid nonce/tag size for AES-GCM\n");
    return false;
  }
  return true;
}

template <class F>
void for_each_piece(std::span<std::uint8_t> data, F&& f) {
  for (std::size_t at = 0; at < data.size(); at += gcm_piece_length)
    f(data.subspan(at, std::min(gcm_piece_length, data.size() - at)));
}

bool encrypt_failed(const CryptoPP::Exception& e) {
  err({"[ERR] Crypto++ aes_gcm_encrypt: ", e.what(), "\n"});
  return false;
}

}  // namespace

bool derive_aes256_from_shared(const std::uint8_t* shared, std::uint64_t shared_len, std::uint8_t* key_out) {
  if (shared == nullptr || key_out == nullptr) {
    err("[ERR] Null input in derive_aes256_from_shared\n");
    return false;
  }
  try {
    CryptoPP::SHA256 hash;
    hash.Update(shared, static_cast<std::size_t>(shared_len));
    hash.Final(key_out);
    return true;
  } catch (const CryptoPP::Exception& e) {
    err({"[ERR] Crypto++ derive_aes256_from_shared: ", e.what(), "\n"});
    return false;
  }
}

struct GcmSealer::State {
  CryptoPP::GCM<CryptoPP::AES>::Encryption gcm;
};

GcmSealer::GcmSealer() : state_(std::make_unique<State>()) {}
GcmSealer::~GcmSealer() = default;

bool GcmSealer::start(const std::uint8_t* key, std::uint8_t* nonce_out) {
  try {
    // A new pool per seal, seeded from the operating system each time.
    CryptoPP::AutoSeededRandomPool rng;
    rng.GenerateBlock(nonce_out, gcm_nonce_length);
    state_->gcm.SetKeyWithIV(key, aes_key_length, nonce_out, gcm_nonce_length);
    return true;
  } catch (const CryptoPP::Exception& e) {
    return encrypt_failed(e);
  }
}

bool GcmSealer::seal(std::span<std::uint8_t> block) {
  try {
    for_each_piece(block, [this](std::span<std::uint8_t> piece) {
      state_->gcm.ProcessData(piece.data(), piece.data(), piece.size());
    });
    return true;
  } catch (const CryptoPP::Exception& e) {
    return encrypt_failed(e);
  }
}

bool GcmSealer::finish(std::uint8_t* tag_out) {
  try {
    state_->gcm.TruncatedFinal(tag_out, gcm_tag_length);
    return true;
  } catch (const CryptoPP::Exception& e) {
    return encrypt_failed(e);
  }
}

struct GcmOpener::State {
  CryptoPP::GCM<CryptoPP::AES>::Decryption gcm;
  bool keyed = false;
  std::string problem;  // the library's complaint, if it had one
};

GcmOpener::GcmOpener() : state_(std::make_unique<State>()) {}
GcmOpener::~GcmOpener() = default;

bool GcmOpener::start(const std::uint8_t* key, const std::uint8_t* nonce, std::uint64_t nonce_len) {
  if (!check_part(nonce, nonce_len, gcm_nonce_length)) return false;
  try {
    state_->gcm.SetKeyWithIV(key, aes_key_length, nonce, gcm_nonce_length);
    state_->keyed = true;
  } catch (const CryptoPP::Exception& e) {
    state_->problem = e.what();
  }
  return true;
}

void GcmOpener::open(std::span<std::uint8_t> block) {
  if (!state_->keyed) return;
  try {
    for_each_piece(block, [this](std::span<std::uint8_t> piece) {
      state_->gcm.ProcessData(piece.data(), piece.data(), piece.size());
    });
  } catch (const CryptoPP::Exception& e) {
    state_->keyed = false;
    state_->problem = e.what();
  }
}

bool GcmOpener::finish(const std::uint8_t* tag, std::uint64_t tag_len) {
  if (!check_part(tag, tag_len, gcm_tag_length)) return false;
  bool verified = false;
  if (state_->keyed) {
    try {
      verified = state_->gcm.TruncatedVerify(tag, gcm_tag_length);
    } catch (const CryptoPP::Exception& e) {
      state_->problem = e.what();
    }
  }
  if (verified) return true;
  err({"[ERR] Crypto++ aes_gcm_decrypt (tag mismatch?): ", state_->problem.empty() ? kTagMismatchText : state_->problem,
       "\n"});
  return false;
}

}  // namespace vellicor

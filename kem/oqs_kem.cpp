// liboqs's generic KEM interface over the built-in Kyber-1024. Nothing may
// leave these C entry points as an exception: a failure is OQS_ERROR.

#include "kem/oqs_kem.h"

#include <cstring>
#include <new>

#include "kem/kyber_kem.hpp"
#include "util/console.hpp"

namespace {

using namespace vellicor::kyber;

OQS_STATUS kyber_keypair(uint8_t* public_key, uint8_t* secret_key) {
  try {
    return kem_keypair(public_key, secret_key) ? OQS_SUCCESS : OQS_ERROR;
  } catch (...) {
    vellicor::err("[ERR] Kyber-1024 key generation failed\n");
    return OQS_ERROR;
  }
}

OQS_STATUS kyber_encaps(uint8_t* ciphertext, uint8_t* shared_secret, const uint8_t* public_key) {
  try {
    return kem_encaps(ciphertext, shared_secret, public_key) ? OQS_SUCCESS : OQS_ERROR;
  } catch (...) {
    vellicor::err("[ERR] Kyber-1024 encapsulation failed\n");
    return OQS_ERROR;
  }
}

OQS_STATUS kyber_decaps(uint8_t* shared_secret, const uint8_t* ciphertext, const uint8_t* secret_key) {
  try {
    kem_decaps(shared_secret, ciphertext, secret_key);
    return OQS_SUCCESS;
  } catch (...) {
    vellicor::err("[ERR] Kyber-1024 decapsulation failed\n");
    return OQS_ERROR;
  }
}

// Round-3 Kyber has no derandomised key generation in this interface; as in
// liboqs, it reports a seed length of 0 and refuses.
OQS_STATUS kyber_keypair_derand(uint8_t*, uint8_t*, const uint8_t*) { return OQS_ERROR; }

}  // namespace

extern "C" {

OQS_KEM* OQS_KEM_new(const char* method_name) {
  if (method_name == nullptr || std::strcmp(method_name, OQS_KEM_alg_kyber_1024) != 0) return nullptr;
  OQS_KEM* kem = new (std::nothrow) OQS_KEM{};
  if (kem == nullptr) return nullptr;
  kem->method_name = OQS_KEM_alg_kyber_1024;
  kem->alg_version = "round 3";
  kem->claimed_nist_level = 5;
  kem->ind_cca = true;
  kem->length_public_key = kPublicKeyBytes;
  kem->length_secret_key = kSecretKeyBytes;
  kem->length_ciphertext = kCiphertextBytes;
  kem->length_shared_secret = kSharedSecretBytes;
  kem->length_keypair_seed = 0;
  kem->keypair_derand = kyber_keypair_derand;
  kem->keypair = kyber_keypair;
  kem->encaps = kyber_encaps;
  kem->decaps = kyber_decaps;
  return kem;
}

OQS_STATUS OQS_KEM_keypair(const OQS_KEM* kem, uint8_t* public_key, uint8_t* secret_key) {
  if (kem == nullptr || kem->keypair == nullptr) return OQS_ERROR;
  return kem->keypair(public_key, secret_key);
}

OQS_STATUS OQS_KEM_encaps(const OQS_KEM* kem, uint8_t* ciphertext, uint8_t* shared_secret,
                          const uint8_t* public_key) {
  if (kem == nullptr || kem->encaps == nullptr) return OQS_ERROR;
  return kem->encaps(ciphertext, shared_secret, public_key);
}

OQS_STATUS OQS_KEM_decaps(const OQS_KEM* kem, uint8_t* shared_secret, const uint8_t* ciphertext,
                          const uint8_t* secret_key) {
  if (kem == nullptr || kem->decaps == nullptr) return OQS_ERROR;
  return kem->decaps(shared_secret, ciphertext, secret_key);
}

void OQS_KEM_free(OQS_KEM* kem) { delete kem; }

}  // extern "C"

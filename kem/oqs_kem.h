/* The part of liboqs's generic KEM interface that this program calls, with
 * liboqs's own names, signatures and meanings. Implemented by the built-in
 * round-3 Kyber-1024; only "Kyber1024" is known. */
#ifndef VELLICOR_KEM_OQS_KEM_H
#define VELLICOR_KEM_OQS_KEM_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
  OQS_ERROR = -1,
  OQS_SUCCESS = 0,
  OQS_EXTERNAL_LIB_ERROR_OPENSSL = 50,
} OQS_STATUS;

#define OQS_KEM_alg_kyber_1024 "Kyber1024"

typedef struct OQS_KEM {
  const char *method_name;
  const char *alg_version;
  uint8_t claimed_nist_level;
  bool ind_cca;
  size_t length_public_key;
  size_t length_secret_key;
  size_t length_ciphertext;
  size_t length_shared_secret;
  size_t length_keypair_seed;
  OQS_STATUS (*keypair_derand)(uint8_t *public_key, uint8_t *secret_key, const uint8_t *seed);
  OQS_STATUS (*keypair)(uint8_t *public_key, uint8_t *secret_key);
  OQS_STATUS (*encaps)(uint8_t *ciphertext, uint8_t *shared_secret, const uint8_t *public_key);
  OQS_STATUS (*decaps)(uint8_t *shared_secret, const uint8_t *ciphertext, const uint8_t *secret_key);
} OQS_KEM;

OQS_KEM *OQS_KEM_new(const char *method_name);
OQS_STATUS OQS_KEM_keypair(const OQS_KEM *kem, uint8_t *public_key, uint8_t *secret_key);
OQS_STATUS OQS_KEM_encaps(const OQS_KEM *kem, uint8_t *ciphertext, uint8_t *shared_secret,
                          const uint8_t *public_key);
OQS_STATUS OQS_KEM_decaps(const OQS_KEM *kem, uint8_t *shared_secret, const uint8_t *ciphertext,
                          const uint8_t *secret_key);
void OQS_KEM_free(OQS_KEM *kem);

/* Replaces the source of random bytes (the operating system's by default);
 * tests use it for known-answer runs. Passing NULL restores the default. */
void OQS_randombytes_custom_algorithm(void (*algorithm_ptr)(uint8_t *, size_t));

#ifdef __cplusplus
}
#endif

#endif

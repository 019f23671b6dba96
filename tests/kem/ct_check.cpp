// Runs key generation, encapsulation and decapsulation (of a valid and of an
// altered ciphertext) with every secret marked undefined for valgrind's
// memcheck. A branch or a memory index that depends on a secret then shows up
// as an uninitialised-value error; run under
// valgrind --error-exitcode=1, the run passes only with none.
//
// Only public values are marked defined again: the public key and the
// ciphertexts once they are output, and the matrix seed rho through the KEM's
// declassify hook. The shared secrets are declassified just before this
// program compares them, since the comparison itself branches.

#include <valgrind/memcheck.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "kem/declassify.hpp"
#include "kem/kem.hpp"

namespace {

// Deterministic bytes that memcheck is told to treat as unknown, as it would
// treat bytes the program never wrote.
std::uint32_t g_state = 0x9E3779B9u;
void secret_source(std::uint8_t* out, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    g_state ^= g_state << 13;
    g_state ^= g_state >> 17;
    g_state ^= g_state << 5;
    out[i] = static_cast<std::uint8_t>(g_state);
  }
  VALGRIND_MAKE_MEM_UNDEFINED(out, n);
}

void make_public(const void* data, std::size_t size) { VALGRIND_MAKE_MEM_DEFINED(data, size); }

bool fail(const char* what) {
  std::fprintf(stderr, "ct_check: %s\n", what);
  return false;
}

bool run() {
  vellicor::KemHandle kem = vellicor::make_kyber1024();
  if (!kem) return fail("no Kyber1024 object");
  std::vector<std::uint8_t> pk(kem->length_public_key), sk(kem->length_secret_key);
  std::vector<std::uint8_t> ct(kem->length_ciphertext), altered;
  std::vector<std::uint8_t> ss(32), ss_valid(32), ss_altered(32);

  if (OQS_KEM_keypair(kem.get(), pk.data(), sk.data()) != OQS_SUCCESS) return fail("keypair failed");
  make_public(pk.data(), pk.size());
  VALGRIND_MAKE_MEM_UNDEFINED(sk.data(), sk.size());

  if (OQS_KEM_encaps(kem.get(), ct.data(), ss.data(), pk.data()) != OQS_SUCCESS) return fail("encaps failed");
  make_public(ct.data(), ct.size());
  altered = ct;
  altered[100] ^= 0x04;

  VALGRIND_MAKE_MEM_UNDEFINED(sk.data(), sk.size());
  if (OQS_KEM_decaps(kem.get(), ss_valid.data(), ct.data(), sk.data()) != OQS_SUCCESS)
    return fail("decaps failed");
  VALGRIND_MAKE_MEM_UNDEFINED(sk.data(), sk.size());
  if (OQS_KEM_decaps(kem.get(), ss_altered.data(), altered.data(), sk.data()) != OQS_SUCCESS)
    return fail("decaps of the altered ciphertext failed");

  make_public(ss.data(), ss.size());
  make_public(ss_valid.data(), ss_valid.size());
  make_public(ss_altered.data(), ss_altered.size());
  if (ss_valid != ss) return fail("decapsulation did not recover the shared secret");
  if (ss_altered == ss) return fail("the altered ciphertext was not rejected");
  return true;
}

}  // namespace

int main() {
  OQS_randombytes_custom_algorithm(secret_source);
  vellicor::kyber::set_declassify_hook(make_public);
  const bool ok = run();
  vellicor::kyber::set_declassify_hook(nullptr);
  OQS_randombytes_custom_algorithm(nullptr);
  if (ok) std::puts(RUNNING_ON_VALGRIND ? "ct_check: ok under valgrind" : "ct_check: ok (not under valgrind)");
  return ok ? 0 : 1;
}

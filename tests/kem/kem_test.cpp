// The liboqs-style KEM interface of the built-in Kyber-1024: names, lengths,
// round trips, implicit rejection and the source of random bytes.

#include <cryptopp/sha3.h>
#include <cryptopp/shake.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "kem/kem.hpp"

namespace vellicor {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct KeyPair {
  Bytes pk, sk;
};

KeyPair make_keypair(const OQS_KEM& kem) {
  KeyPair kp{Bytes(kem.length_public_key, 0), Bytes(kem.length_secret_key, 0)};
  EXPECT_EQ(OQS_KEM_keypair(&kem, kp.pk.data(), kp.sk.data()), OQS_SUCCESS);
  return kp;
}

struct Encapsulation {
  Bytes ct, ss;
};

Encapsulation encapsulate(const OQS_KEM& kem, const Bytes& pk) {
  Encapsulation e{Bytes(kem.length_ciphertext, 0), Bytes(kem.length_shared_secret, 0)};
  EXPECT_EQ(OQS_KEM_encaps(&kem, e.ct.data(), e.ss.data(), pk.data()), OQS_SUCCESS);
  return e;
}

Bytes decapsulate(const OQS_KEM& kem, const Bytes& ct, const Bytes& sk) {
  Bytes ss(kem.length_shared_secret, 0);
  EXPECT_EQ(OQS_KEM_decaps(&kem, ss.data(), ct.data(), sk.data()), OQS_SUCCESS);
  return ss;
}

Bytes sha3_256(const std::uint8_t* p, std::size_t n) {
  Bytes d(32);
  CryptoPP::SHA3_256().CalculateDigest(d.data(), p, n);
  return d;
}

// What decapsulation must give for a ciphertext it rejects.
Bytes rejection_secret(const Bytes& sk, const Bytes& ct) {
  const Bytes hc = sha3_256(ct.data(), ct.size());
  CryptoPP::SHAKE256 shake(32);
  shake.Update(sk.data() + sk.size() - 32, 32);  // z
  shake.Update(hc.data(), hc.size());
  Bytes ss(32);
  shake.TruncatedFinal(ss.data(), ss.size());
  return ss;
}

TEST(KemInterface, OnlyKyber1024IsKnown) {
  struct Case {
    const char* name;
    bool known;
  };
  const Case cases[] = {
      {"Kyber1024", true},     {OQS_KEM_alg_kyber_1024, true}, {"ML-KEM-1024", false},
      {"Kyber768", false},     {"Kyber512", false},            {"kyber1024", false},
      {"Kyber1024 ", false},   {"Kyber102", false},            {"", false},
      {nullptr, false},
  };
  for (const Case& c : cases) {
    OQS_KEM* kem = OQS_KEM_new(c.name);
    EXPECT_EQ(kem != nullptr, c.known) << (c.name ? c.name : "(null)");
    OQS_KEM_free(kem);  // also the null ones: freeing null is allowed
  }
}

TEST(KemInterface, ReportsKyber1024Lengths) {
  KemHandle kem = make_kyber1024();
  ASSERT_TRUE(kem);
  EXPECT_STREQ(kem->method_name, "Kyber1024");
  EXPECT_EQ(kem->length_public_key, 1568u);
  EXPECT_EQ(kem->length_secret_key, 3168u);
  EXPECT_EQ(kem->length_ciphertext, 1568u);
  EXPECT_EQ(kem->length_shared_secret, 32u);
  EXPECT_EQ(kem->claimed_nist_level, 5);
  EXPECT_TRUE(kem->ind_cca);
  EXPECT_NE(kem->keypair, nullptr);
  EXPECT_NE(kem->encaps, nullptr);
  EXPECT_NE(kem->decaps, nullptr);
}

TEST(KemInterface, NullObjectIsAnError) {
  std::uint8_t buf[4096] = {};
  EXPECT_EQ(OQS_KEM_keypair(nullptr, buf, buf + 2048), OQS_ERROR);
  EXPECT_EQ(OQS_KEM_encaps(nullptr, buf, buf + 2048, buf + 3000), OQS_ERROR);
  EXPECT_EQ(OQS_KEM_decaps(nullptr, buf, buf + 2048, buf + 3000), OQS_ERROR);
}

TEST(KemRoundTrip, DecapsulationRecoversTheSecret) {
  KemHandle kem = make_kyber1024();
  ASSERT_TRUE(kem);
  for (int key = 0; key < 3; ++key) {
    const KeyPair kp = make_keypair(*kem);
    // The secret key carries the public key and its hash after s-hat.
    EXPECT_EQ(Bytes(kp.sk.begin() + 1536, kp.sk.begin() + 3104), kp.pk);
    EXPECT_EQ(Bytes(kp.sk.begin() + 3104, kp.sk.begin() + 3136), sha3_256(kp.pk.data(), kp.pk.size()));
    Encapsulation previous;
    for (int i = 0; i < 4; ++i) {
      const Encapsulation e = encapsulate(*kem, kp.pk);
      EXPECT_EQ(decapsulate(*kem, e.ct, kp.sk), e.ss) << "key " << key << " encapsulation " << i;
      EXPECT_NE(e.ct, previous.ct);
      EXPECT_NE(e.ss, previous.ss);
      previous = e;
    }
  }
}

TEST(KemRoundTrip, RejectedCiphertextsGiveTheSecretOfZ) {
  KemHandle kem = make_kyber1024();
  ASSERT_TRUE(kem);
  const KeyPair kp = make_keypair(*kem);
  const KeyPair foreign = make_keypair(*kem);
  const Encapsulation e = encapsulate(*kem, kp.pk);

  struct Case {
    const char* what;
    std::size_t flip_byte;  // SIZE_MAX: ciphertext unchanged
    bool foreign_key;
  };
  const Case cases[] = {
      {"first byte of u altered", 0, false},
      {"last byte of u altered", 1407, false},
      {"first byte of v altered", 1408, false},
      {"last byte of v altered", 1567, false},
      {"foreign secret key", SIZE_MAX, true},
  };
  for (const Case& c : cases) {
    Bytes ct = e.ct;
    if (c.flip_byte != SIZE_MAX) ct[c.flip_byte] ^= 0x01;
    const Bytes& sk = c.foreign_key ? foreign.sk : kp.sk;
    const Bytes ss = decapsulate(*kem, ct, sk);
    EXPECT_EQ(ss, rejection_secret(sk, ct)) << c.what;
    EXPECT_NE(ss, e.ss) << c.what;
  }
}

// Counts up from 0 across calls, so the tests can tell which draw went where.
std::uint8_t g_next = 0;
void counting_source(std::uint8_t* out, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) out[i] = g_next++;
}

TEST(KemRandomness, CustomSourceReplacesTheSystemAndNullRestoresIt) {
  KemHandle kem = make_kyber1024();
  ASSERT_TRUE(kem);
  OQS_randombytes_custom_algorithm(counting_source);
  g_next = 0;
  const KeyPair a = make_keypair(*kem);
  // d is drawn first (bytes 0..31), then z (bytes 32..63) ends the secret key.
  for (std::size_t i = 0; i < 32; ++i) EXPECT_EQ(a.sk[3136 + i], 32 + i);
  g_next = 0;
  const KeyPair b = make_keypair(*kem);
  EXPECT_EQ(a.pk, b.pk);
  EXPECT_EQ(a.sk, b.sk);
  g_next = 0;
  const Encapsulation e1 = encapsulate(*kem, a.pk);
  g_next = 0;
  const Encapsulation e2 = encapsulate(*kem, a.pk);
  EXPECT_EQ(e1.ct, e2.ct);
  EXPECT_EQ(e1.ss, e2.ss);

  OQS_randombytes_custom_algorithm(nullptr);
  g_next = 0;
  const KeyPair c = make_keypair(*kem);
  EXPECT_EQ(g_next, 0) << "the custom source was still called";
  EXPECT_NE(c.pk, a.pk);
  const Encapsulation ec = encapsulate(*kem, c.pk);
  EXPECT_EQ(decapsulate(*kem, ec.ct, c.sk), ec.ss);
}

}  // namespace
}  // namespace vellicor

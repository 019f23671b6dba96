// The known-answer response of NIST's PQCgenKAT_kem for Kyber1024, regenerated
// here from its deterministic random bytes and compared with the published one.

#include <cryptopp/sha.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "kem/kem.hpp"
#include "tests/kem/ctr_drbg.hpp"

namespace vellicor {
namespace {

test::CtrDrbg g_drbg;
void drbg_bytes(std::uint8_t* out, std::size_t n) { g_drbg.generate(out, n); }

std::string hex(const std::uint8_t* p, std::size_t n) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}
std::string hex(const std::vector<std::uint8_t>& v) { return hex(v.data(), v.size()); }

std::string sha256_hex(const std::uint8_t* p, std::size_t n) {
  std::uint8_t digest[CryptoPP::SHA256::DIGESTSIZE];
  CryptoPP::SHA256().CalculateDigest(digest, p, n);
  return hex(digest, sizeof digest);
}

struct KatEntry {
  std::vector<std::uint8_t> seed, pk, sk, ct, ss, ss_decaps;
  bool ok = false;  // all three calls returned OQS_SUCCESS
};

struct KatRun {
  std::vector<KatEntry> entries;
  std::string response;  // the .rsp text without its "# Kyber1024" header
};

KatEntry run_entry(const OQS_KEM& kem, const std::uint8_t seed[test::CtrDrbg::kSeedBytes]) {
  KatEntry e;
  e.seed.assign(seed, seed + test::CtrDrbg::kSeedBytes);
  e.pk.assign(kem.length_public_key, 0);
  e.sk.assign(kem.length_secret_key, 0);
  e.ct.assign(kem.length_ciphertext, 0);
  e.ss.assign(kem.length_shared_secret, 0);
  e.ss_decaps.assign(kem.length_shared_secret, 0xAA);
  g_drbg.seed(seed);
  e.ok = OQS_KEM_keypair(&kem, e.pk.data(), e.sk.data()) == OQS_SUCCESS &&
         OQS_KEM_encaps(&kem, e.ct.data(), e.ss.data(), e.pk.data()) == OQS_SUCCESS &&
         OQS_KEM_decaps(&kem, e.ss_decaps.data(), e.ct.data(), e.sk.data()) == OQS_SUCCESS;
  return e;
}

KatRun generate_kat(int count) {
  KatRun run;
  KemHandle kem = make_kyber1024();
  if (!kem) return run;
  std::uint8_t entropy[test::CtrDrbg::kSeedBytes];
  for (std::size_t i = 0; i < sizeof entropy; ++i) entropy[i] = static_cast<std::uint8_t>(i);
  test::CtrDrbg seeds;  // the outer generator: one 48-byte seed per entry
  seeds.seed(entropy);
  OQS_randombytes_custom_algorithm(drbg_bytes);
  for (int i = 0; i < count; ++i) {
    std::uint8_t seed[test::CtrDrbg::kSeedBytes];
    seeds.generate(seed, sizeof seed);
    KatEntry e = run_entry(*kem, seed);
    if (i > 0) run.response += "\n";
    run.response += "count = " + std::to_string(i) + "\n";
    run.response += "seed = " + hex(e.seed) + "\n";
    run.response += "pk = " + hex(e.pk) + "\n";
    run.response += "sk = " + hex(e.sk) + "\n";
    run.response += "ct = " + hex(e.ct) + "\n";
    run.response += "ss = " + hex(e.ss) + "\n";
    run.entries.push_back(std::move(e));
  }
  OQS_randombytes_custom_algorithm(nullptr);
  return run;
}

class KyberKat : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { run_ = new KatRun(generate_kat(100)); }
  static void TearDownTestSuite() {
    delete run_;
    run_ = nullptr;
  }
  static const KatRun& run() { return *run_; }

 private:
  static KatRun* run_;
};
KatRun* KyberKat::run_ = nullptr;

TEST_F(KyberKat, ResponseOfHundredEntriesHasPublishedHash) {
  ASSERT_EQ(run().entries.size(), 100u);
  const std::string& r = run().response;
  EXPECT_EQ(sha256_hex(reinterpret_cast<const std::uint8_t*>(r.data()), r.size()),
            "B72B97EB9270D76F2C7A8A0B03022C81C879AF9E247ABFF52405127D77DD3A46");
}

// So that a mismatch says which step went wrong: the seed checks the DRBG, pk
// key generation, sk its tail (H(pk), z), ct and ss encapsulation.
TEST_F(KyberKat, FirstEntryMatchesFieldByField) {
  ASSERT_FALSE(run().entries.empty());
  const KatEntry& e = run().entries[0];
  ASSERT_TRUE(e.ok);
  struct Field {
    const char* name;
    std::string actual;
    const char* expected;
  };
  const Field fields[] = {
      {"seed", hex(e.seed),
       "061550234D158C5EC95595FE04EF7A25767F2E24CC2BC479D09D86DC9ABCFDE7056A8C266F9EF97ED08541DBD2E1FFA1"},
      {"SHA-256(pk)", sha256_hex(e.pk.data(), e.pk.size()),
       "81872183CD99E46B67A4CC20E82986F62A559085ECF1F322F781DEE99EA4735F"},
      {"SHA-256(sk)", sha256_hex(e.sk.data(), e.sk.size()),
       "E2B8B42AD3CA6F21021272922B02AE028A5245B989AB62DF54DD847584D0BCC6"},
      {"SHA-256(ct)", sha256_hex(e.ct.data(), e.ct.size()),
       "2770343F55787115B535C713545D7D736C8502A0AD0F5C1EFFDEA2D9BCD0C7EB"},
      {"ss", hex(e.ss), "B10F7394926AD3B49C5D62D5AEB531D5757538BCC0DA9E550D438F1B61BD7419"},
  };
  for (const Field& f : fields) EXPECT_EQ(f.actual, f.expected) << "field " << f.name;
}

TEST_F(KyberKat, DecapsulationAgreesForEveryEntry) {
  ASSERT_EQ(run().entries.size(), 100u);
  for (std::size_t i = 0; i < run().entries.size(); ++i) {
    const KatEntry& e = run().entries[i];
    EXPECT_TRUE(e.ok) << "count " << i;
    EXPECT_EQ(hex(e.ss_decaps), hex(e.ss)) << "count " << i;
  }
}

}  // namespace
}  // namespace vellicor

// Key derivation and AES-256-GCM: published vectors, fresh nonces, and the
// failure lines. The cross-checks against OpenSSL are in aes_gcm_openssl_test.cpp.
#include "seal/aes_gcm.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/support/temp_dir.hpp"
#include "tests/support/road.hpp"
#include "tests/support/test_png.hpp"

namespace vellicor {
namespace {

ByteBuffer hex(std::string_view h) {
  ByteBuffer b;
  for (std::size_t i = 0; i + 1 < h.size(); i += 2)
    b.push_back(static_cast<std::uint8_t>(std::stoul(std::string(h.substr(i, 2)), nullptr, 16)));
  return b;
}

using namespace test;

std::string captured_err(const std::function<void()>& run) { return capture(run).err; }

const std::string kTagMismatch =
    "[ERR] Crypto++ aes_gcm_decrypt (tag mismatch?): HashVerificationFilter: message hash or MAC not valid\n";

// The published GCM test cases 13 to 15: AES-256, 96-bit IV, no AAD.
struct Vector {
  const char* name;
  const char* key;
  const char* iv;
  const char* plaintext;
  const char* ciphertext;
  const char* tag;
};
const Vector kVectors[] = {
    {"test case 13", "0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000", "",
     "", "530f8afbc74536b9a963b4f1c4cb738b"},
    {"test case 14", "0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000",
     "00000000000000000000000000000000", "cea7403d4d606b6e074ec5d3baf39d18", "d0d1c8a799996bf0265b98b5d48ab919"},
    {"test case 15", "feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888",
     "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de6"
     "57ba637b391aafd255",
     "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0a"
     "bcc9f662898015ad",
     "b094dac5d93471bdec1a502270e3cc6c"},
};

TEST(AesGcm, OpensPublishedVectors) {
  for (const Vector& v : kVectors) {
    const ByteBuffer key = hex(v.key), iv = hex(v.iv), tag = hex(v.tag);
    ByteBuffer out{0xAA};
    ASSERT_TRUE(open_bytes(hex(v.ciphertext), key.data(), iv.data(), iv.size(), tag.data(), tag.size(), out)) << v.name;
    EXPECT_EQ(out, hex(v.plaintext)) << v.name;
  }
}

TEST(AesGcm, EveryEncryptionDrawsAFreshNonce) {
  const ByteBuffer key = test::noise(32, 9), plain = test::noise(64, 3);
  ByteBuffer n1, t1, c1, n2, t2, c2;
  ASSERT_TRUE(seal_bytes(plain, key.data(), n1, t1, c1));
  ASSERT_TRUE(seal_bytes(plain, key.data(), n2, t2, c2));
  EXPECT_NE(n1, n2);
  EXPECT_NE(c1, c2);
  EXPECT_NE(t1, t2);
}

TEST(AesGcm, AnyChangeFailsTheTagAndKeepsPlaintextOut) {
  const ByteBuffer key = test::noise(32, 4), plain = test::noise(40, 8);
  ByteBuffer nonce, tag, ct;
  ASSERT_TRUE(seal_bytes(plain, key.data(), nonce, tag, ct));
  struct Case {
    const char* name;
    std::function<void(ByteBuffer& k, ByteBuffer& n, ByteBuffer& t, ByteBuffer& c)> spoil;
  };
  const std::vector<Case> cases = {
      {"first ciphertext bit", [](auto&, auto&, auto&, auto& c) { c[0] ^= 0x01; }},
      {"last ciphertext bit", [](auto&, auto&, auto&, auto& c) { c.back() ^= 0x80; }},
      {"tag bit", [](auto&, auto&, auto& t, auto&) { t[15] ^= 0x10; }},
      {"nonce bit", [](auto&, auto& n, auto&, auto&) { n[6] ^= 0x02; }},
      {"other key", [](auto& k, auto&, auto&, auto&) { k[31] ^= 0x01; }},
      {"ciphertext cut short", [](auto&, auto&, auto&, auto& c) { c.pop_back(); }},
  };
  for (const Case& c : cases) {
    ByteBuffer k = key, n = nonce, t = tag, x = ct;
    c.spoil(k, n, t, x);
    ByteBuffer out{1, 2, 3};
    bool ok = true;
    EXPECT_EQ(captured_err([&] { ok = open_bytes(x, k.data(), n.data(), 12, t.data(), 16, out); }), kTagMismatch)
        << c.name;
    EXPECT_FALSE(ok) << c.name;
    EXPECT_EQ(out, (ByteBuffer{1, 2, 3})) << c.name;
  }
}

TEST(AesGcm, EmptyPlaintext) {
  const ByteBuffer key = test::noise(32, 6);
  ByteBuffer nonce, tag, ct{9, 9};
  ASSERT_TRUE(seal_bytes({}, key.data(), nonce, tag, ct));
  EXPECT_TRUE(ct.empty());
  ByteBuffer out{5};
  ASSERT_TRUE(open_bytes(ct, key.data(), nonce.data(), 12, tag.data(), 16, out));
  EXPECT_TRUE(out.empty());
}

TEST(AesGcm, NonceAndTagArgumentsAreCheckedFirst) {
  const ByteBuffer key(32, 0), ct(10, 0), nonce(13, 0), tag(17, 0);
  const std::string null_line = "[ERR] Null nonce/tag in aes_gcm_decrypt\n";
  const std::string size_line = "[ERR] Invalid nonce/tag size for AES-GCM\n";
  struct Case {
    const std::uint8_t* nonce;
    std::uint64_t nonce_len;
    const std::uint8_t* tag;
    std::uint64_t tag_len;
    std::string expected;
  };
  const Case cases[] = {
      {nullptr, 12, tag.data(), 16, null_line},      {nonce.data(), 12, nullptr, 16, null_line},
      {nullptr, 12, tag.data(), 15, null_line},      {nonce.data(), 11, tag.data(), 16, size_line},
      {nonce.data(), 13, tag.data(), 16, size_line}, {nonce.data(), 12, tag.data(), 15, size_line},
      {nonce.data(), 12, tag.data(), 17, size_line},
  };
  for (const Case& c : cases) {
    ByteBuffer out{7};
    bool ok = true;
    EXPECT_EQ(captured_err([&] { ok = open_bytes(ct, key.data(), c.nonce, c.nonce_len, c.tag, c.tag_len, out); }),
              c.expected)
        << c.nonce_len << "/" << c.tag_len;
    EXPECT_FALSE(ok);
    EXPECT_EQ(out, ByteBuffer{7});
  }
}

TEST(DeriveAes256, IsSha256OfTheSharedSecret) {
  struct Case {
    std::string shared;
    const char* digest;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abd", "a52d159f262b2c6ddb724a61840befc36eb30c88877a4030b65cbe86298449c9"},
  };
  for (const Case& c : cases) {
    std::uint8_t key[32] = {};
    ASSERT_TRUE(
        derive_aes256_from_shared(reinterpret_cast<const std::uint8_t*>(c.shared.data()), c.shared.size(), key));
    EXPECT_EQ(ByteBuffer(key, key + 32), hex(c.digest)) << c.shared;
  }
}

TEST(DeriveAes256, NullPointersLeaveTheKeyAlone) {
  std::uint8_t key[32];
  std::fill(std::begin(key), std::end(key), 0x5A);
  const std::uint8_t shared[32] = {};
  bool ok = true;
  EXPECT_EQ(captured_err([&] { ok = derive_aes256_from_shared(nullptr, 32, key); }),
            "[ERR] Null input in derive_aes256_from_shared\n");
  EXPECT_FALSE(ok);
  EXPECT_EQ(ByteBuffer(key, key + 32), ByteBuffer(32, 0x5A));
  EXPECT_EQ(captured_err([&] { ok = derive_aes256_from_shared(shared, 32, nullptr); }),
            "[ERR] Null input in derive_aes256_from_shared\n");
  EXPECT_FALSE(ok);
}

}  // namespace
}  // namespace vellicor

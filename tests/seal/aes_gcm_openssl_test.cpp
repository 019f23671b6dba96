// AES-256-GCM checked against an independent implementation, OpenSSL's, in
// both directions: what one seals the other opens, to the same bytes.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <span>

#include "seal/aes_gcm.hpp"
#include "tests/support/road.hpp"
#include "tests/support/test_png.hpp"

namespace vellicor {
namespace {

// OpenSSL's EVP AES-256-GCM, 12-byte IV, no AAD.
bool openssl_seal(const ByteBuffer& key, const ByteBuffer& iv, const ByteBuffer& pt, ByteBuffer& ct, ByteBuffer& tag) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int len = 0, fin = 0;
  ct.assign(pt.size() + 16, 0);
  tag.assign(16, 0);
  bool ok = EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key.data(), iv.data()) == 1 &&
            EVP_EncryptUpdate(ctx, ct.data(), &len, pt.data(), static_cast<int>(pt.size())) == 1 &&
            EVP_EncryptFinal_ex(ctx, ct.data() + len, &fin) == 1 &&
            EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, tag.data()) == 1;
  ct.resize(static_cast<std::size_t>(len + fin));
  EVP_CIPHER_CTX_free(ctx);
  return ok;
}

bool openssl_open(const ByteBuffer& key, const ByteBuffer& iv, const ByteBuffer& ct, ByteBuffer tag, ByteBuffer& pt) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int len = 0, fin = 0;
  pt.assign(ct.size() + 16, 0);
  bool ok = EVP_DecryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key.data(), iv.data()) == 1 &&
            EVP_DecryptUpdate(ctx, pt.data(), &len, ct.data(), static_cast<int>(ct.size())) == 1 &&
            EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16, tag.data()) == 1 &&
            EVP_DecryptFinal_ex(ctx, pt.data() + len, &fin) == 1;
  pt.resize(static_cast<std::size_t>(len + fin));
  EVP_CIPHER_CTX_free(ctx);
  return ok;
}

TEST(AesGcm, AgreesWithOpenSslBothWays) {
  const ByteBuffer key = test::noise(32, 5);
  for (std::size_t n : {0, 1, 15, 16, 17, 255, 4096, 100003, 600001}) {  // the last spans three GCM pieces
    const ByteBuffer plain = test::noise(n, 77);
    ByteBuffer nonce, tag, ct;
    ASSERT_TRUE(test::seal_bytes(plain, key.data(), nonce, tag, ct));
    ASSERT_EQ(nonce.size(), 12u);
    ASSERT_EQ(tag.size(), 16u);
    ASSERT_EQ(ct.size(), n);
    ByteBuffer opened;
    EXPECT_TRUE(openssl_open(key, nonce, ct, tag, opened)) << n << " bytes, ours into OpenSSL";
    EXPECT_EQ(opened, plain);

    ByteBuffer their_ct, their_tag, ours;
    ASSERT_TRUE(openssl_seal(key, nonce, plain, their_ct, their_tag));
    EXPECT_EQ(their_ct, ct) << n;  // same key and nonce: same bytes
    EXPECT_EQ(their_tag, tag) << n;
    ASSERT_TRUE(test::open_bytes(their_ct, key.data(), nonce.data(), 12, their_tag.data(), 16, ours)) << n;
    EXPECT_EQ(ours, plain);
  }
}

TEST(AesGcm, SealingBlockByBlockGivesTheSameBytes) {
  const ByteBuffer key = test::noise(32, 12), plain = test::noise(100003, 21);
  for (std::size_t block : {1, 15, 16, 17, 4096, 65539}) {
    ByteBuffer data = plain;
    std::uint8_t nonce[12], tag[16];
    GcmSealer sealer;
    ASSERT_TRUE(sealer.start(key.data(), nonce));
    for (std::size_t at = 0; at < data.size(); at += block)
      ASSERT_TRUE(sealer.seal(std::span<std::uint8_t>(data).subspan(at, std::min(block, data.size() - at))));
    ASSERT_TRUE(sealer.finish(tag));
    ByteBuffer their_ct, their_tag;
    ASSERT_TRUE(openssl_seal(key, ByteBuffer(nonce, nonce + 12), plain, their_ct, their_tag));
    EXPECT_EQ(data, their_ct) << "blocks of " << block;
    EXPECT_EQ(ByteBuffer(tag, tag + 16), their_tag) << "blocks of " << block;
  }
}

}  // namespace
}  // namespace vellicor

#include "seal/pipelines.hpp"

#include <algorithm>

#include "kem/kem.hpp"
#include "keystore/key_store.hpp"
#include "png/chunk_container.hpp"
#include "seal/aes_gcm.hpp"
#include "seal/envelope.hpp"
#include "seal/key_file.hpp"
#include "util/console.hpp"
#include "util/file_io.hpp"
#include "util/secret.hpp"

namespace vellicor {

namespace {

// Reads the input straight into its place behind the envelope's fixed fields,
// so the plaintext is never held twice. An input that would make the envelope
// too big for one PNG chunk is refused before a byte of it is read.
bool read_input_into_envelope(InputFile& input, const std::string& input_path, const EnvelopeLayout& at,
                              ByteBuffer& envelope) {
  const std::uint64_t limit = max_chunk_data_length - at.ciphertext();
  auto too_large = [&](std::uint64_t size) {
    err({"[ERR] input file '", input_path, "' is too large to hide: ", std::to_string(size),
         " bytes, at most ", std::to_string(limit), "\n"});
    return false;
  };
  envelope.resize(at.ciphertext());
  if (input.size_known()) {
    if (input.size() > limit) return too_large(input.size());
    envelope.resize(at.ciphertext() + static_cast<std::size_t>(input.size()));
    if (input.read_exact(envelope.data() + at.ciphertext(), static_cast<std::size_t>(input.size()))) return true;
  } else if (input.read_all(envelope)) {
    // A pipe has no size to check beforehand.
    return envelope.size() - at.ciphertext() <= limit || too_large(envelope.size() - at.ciphertext());
  }
  err({"[ERR] cannot read input file '", input_path, "'\n"});
  return false;
}

// The KEM ciphertext, nonce and tag land in their envelope fields and the
// plaintext is sealed where it lies; only K and C remain to be stored.
bool seal_envelope(KemHandle& kem, const SecretBytes& public_key, const EnvelopeLayout& at, ByteBuffer& envelope) {
  std::uint8_t* kem_ciphertext = envelope.data() + at.kem_ciphertext();
  std::fill_n(kem_ciphertext, at.k, std::uint8_t{0});
  SecretBytes shared(kem->length_shared_secret);
  if (OQS_KEM_encaps(kem.get(), kem_ciphertext, shared.data(), public_key.data()) != OQS_SUCCESS) {
    err("[ERR] OQS_KEM_encaps() failed\n");
    return false;
  }
  SecretBytes key(aes_key_length);
  if (!derive_aes256_from_shared(shared.data(), shared.size(), key.data())) {
    err("[ERR] derive_aes256_from_shared() failed\n");
    return false;
  }
  shared.reset();
  std::span<std::uint8_t> body(envelope.data() + at.ciphertext(), envelope.size() - at.ciphertext());
  if (!aes_gcm_seal_in_place(body, key.data(), envelope.data() + at.nonce(), envelope.data() + at.tag())) {
    err("[ERR] aes_gcm_encrypt() failed\n");
    return false;
  }
  kem.reset();
  store_envelope_lengths(envelope, at.k, body.size());
  return true;
}

// Decapsulates and derives the AES key; the secret key and the shared secret
// are wiped before this returns.
bool recover_key(KemHandle& kem, InputFile& private_key_file, ByteView kem_ciphertext, SecretBytes& key) {
  SecretBytes secret_key;
  if (!read_key_file(private_key_file, private_key_path, kem->length_secret_key, secret_key)) {
    err({"[ERR] missing kyber.prv in '", private_key_path, "'\n"});
    return false;
  }
  SecretBytes shared(kem->length_shared_secret);
  if (OQS_KEM_decaps(kem.get(), shared.data(), kem_ciphertext.data(), secret_key.data()) != OQS_SUCCESS) {
    err("[ERR] OQS_KEM_decaps() failed (wrong keypair for this stego?)\n");
    return false;
  }
  secret_key.reset();
  SecretBytes derived(aes_key_length);
  if (!derive_aes256_from_shared(shared.data(), shared.size(), derived.data())) {
    err("[ERR] derive_aes256_from_shared() failed (decrypt)\n");
    return false;
  }
  kem.reset();
  key = std::move(derived);
  return true;
}

}  // namespace

bool encrypt_and_embed(const std::string& input_path, const std::string& carrier_path,
                       const std::string& output_path) {
  InputFile input;
  if (!input.open(input_path)) {
    err({"[ERR] cannot read input file '", input_path, "'\n"});
    return false;
  }
  InputFile public_key_file;
  if (!public_key_file.open(public_key_path)) {
    err({"[ERR] cannot read Kyber public key from '", public_key_path, "'\n"});
    return false;
  }
  KemHandle kem = make_kyber1024();
  if (!kem) {
    err("[ERR] OQS_KEM_new(OQS_KEM_alg_kyber_1024) failed in encrypt_and_embed\n");
    return false;
  }
  SecretBytes public_key;
  if (!read_key_file(public_key_file, public_key_path, kem->length_public_key, public_key)) {
    err({"[ERR] cannot read Kyber public key from '", public_key_path, "'\n"});
    return false;
  }
  const EnvelopeLayout at{kem->length_ciphertext};
  ByteBuffer envelope;
  if (!read_input_into_envelope(input, input_path, at, envelope)) return false;
  if (!seal_envelope(kem, public_key, at, envelope)) return false;
  if (!embed_into_png(carrier_path, output_path, envelope)) {
    err("[ERR] embed_into_png() failed\n");
    return false;
  }
  return true;
}

bool extract_and_decrypt(const std::string& stego_path, const std::string& output_path) {
  StegoFile stego;
  if (!load_stego_png(stego_path, stego)) return false;
  EnvelopeFields fields;
  if (!parse_envelope(stego.payload(), fields)) return false;
  InputFile private_key_file;
  if (!private_key_file.open(private_key_path)) {
    err({"[ERR] missing kyber.prv in '", private_key_path, "'\n"});
    return false;
  }
  KemHandle kem = make_kyber1024();
  if (!kem) {
    err("[ERR] OQS_KEM_new(OQS_KEM_alg_kyber_1024) failed in extract_and_decrypt\n");
    return false;
  }
  if (fields.kem_ciphertext.size() != kem->length_ciphertext) {
    err({"[ERR] envelope holds a KEM ciphertext of ", std::to_string(fields.kem_ciphertext.size()),
         " bytes, Kyber1024 uses ", std::to_string(kem->length_ciphertext), "\n"});
    err("[ERR] invalid envelope in stego PNG\n");
    return false;
  }
  SecretBytes key;
  if (!recover_key(kem, private_key_file, fields.kem_ciphertext, key)) return false;
  // Opened in the stego buffer itself; a failed tag zeroes it, and nothing is
  // written unless the tag verified.
  if (!aes_gcm_open_in_place(fields.ciphertext, key.data(), fields.nonce.data(), fields.nonce.size(),
                             fields.tag.data(), fields.tag.size())) {
    err("[ERR] AES-GCM decrypt fail (tag mismatch?)\n");
    return false;
  }
  key.reset();
  if (!write_whole_file(output_path, fields.ciphertext)) {
    err({"[ERR] cannot write outfile '", output_path, "'\n"});
    return false;
  }
  return true;
}

}  // namespace vellicor

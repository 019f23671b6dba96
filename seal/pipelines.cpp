#include "seal/pipelines.hpp"

#include <algorithm>
#include <new>

#include "kem/kem.hpp"
#include "keystore/key_store.hpp"
#include "png/chunk_container.hpp"
#include "png/crc32.hpp"
#include "util/platform.hpp"
#include "seal/aes_gcm.hpp"
#include "seal/envelope.hpp"
#include "seal/key_file.hpp"
#include "util/console.hpp"
#include "util/file_io.hpp"
#include "util/secret.hpp"

namespace vellicor {

namespace {

// The input is read, sealed and checksummed one piece at a time, each piece
// while it is still in the cache, instead of in four passes over the whole.
constexpr std::size_t kSealBlock = gcm_piece_length;

bool input_too_large(const std::string& input_path, const std::string& size, std::uint64_t limit) {
  err({"[ERR] input file '", input_path, "' is too large to hide: ", size, " bytes, at most ", std::to_string(limit),
       "\n"});
  return false;
}

bool cannot_read_input(const std::string& input_path) {
  err({"[ERR] cannot read input file '", input_path, "'\n"});
  return false;
}

// Sizes the envelope for the whole input, which lands straight behind the
// fixed fields so the plaintext is never held twice. An input too big for one
// PNG chunk is refused before a byte of it is read. A regular file is read
// later, block by block; anything else (a pipe) has no size and is read here.
bool size_envelope(InputFile& input, const std::string& input_path, const EnvelopeLayout& at, ByteBuffer& envelope,
                   bool& body_read) {
  const std::uint64_t limit = max_chunk_data_length - at.ciphertext();
  body_read = !input.size_known();
  try {
    if (input.size_known()) {
      if (input.size() > limit) return input_too_large(input_path, std::to_string(input.size()), limit);
      envelope.resize(at.ciphertext() + static_cast<std::size_t>(input.size()));
      advise_huge_pages(envelope);
      return true;
    }
    envelope.resize(at.ciphertext());
    if (!input.read_all(envelope, nullptr, limit)) return cannot_read_input(input_path);
  } catch (const std::bad_alloc&) {
    err({"[ERR] not enough memory to hold input file '", input_path, "'\n"});
    return false;
  }
  // Past the limit the pipe was not read to its end, so its size is unknown.
  const std::uint64_t size = envelope.size() - at.ciphertext();
  return size <= limit || input_too_large(input_path, "more than " + std::to_string(limit), limit);
}

// Encapsulates into the envelope's KEM field and derives the AES key; the
// shared secret is wiped before this returns.
bool encapsulate(KemHandle& kem, const SecretBytes& public_key, const EnvelopeLayout& at, ByteBuffer& envelope,
                 SecretBytes& key) {
  std::uint8_t* kem_ciphertext = envelope.data() + at.kem_ciphertext();
  std::fill_n(kem_ciphertext, at.k, std::uint8_t{0});
  SecretBytes shared(kem->length_shared_secret);
  if (OQS_KEM_encaps(kem.get(), kem_ciphertext, shared.data(), public_key.data()) != OQS_SUCCESS) {
    err("[ERR] OQS_KEM_encaps() failed\n");
    return false;
  }
  SecretBytes derived(aes_key_length);
  if (!derive_aes256_from_shared(shared.data(), shared.size(), derived.data())) {
    err("[ERR] derive_aes256_from_shared() failed\n");
    return false;
  }
  key = std::move(derived);
  return true;
}

// Seals the body in place, reading it first where that is still to do, and
// returns the CRC of the sealed body for the chunk.
bool seal_body(InputFile& input, const std::string& input_path, const EnvelopeLayout& at, bool body_read,
               ByteBuffer& envelope, GcmSealer& sealer, std::uint32_t& body_crc) {
  std::span<std::uint8_t> body(envelope.data() + at.ciphertext(), envelope.size() - at.ciphertext());
  body_crc = 0;
  for (std::size_t done = 0; done < body.size(); done += kSealBlock) {
    std::span<std::uint8_t> block = body.subspan(done, std::min(kSealBlock, body.size() - done));
    if (!body_read && !input.read_exact(block.data(), block.size())) return cannot_read_input(input_path);
    if (!sealer.seal(block)) {
      err("[ERR] aes_gcm_encrypt() failed\n");
      return false;
    }
    body_crc = png_crc32_update(body_crc, block);
  }
  return true;
}

// The KEM ciphertext, nonce and tag land in their envelope fields and the
// input is sealed where it lies; the result is the envelope's CRC.
bool seal_envelope(KemHandle& kem, const SecretBytes& public_key, InputFile& input, const std::string& input_path,
                   const EnvelopeLayout& at, bool body_read, ByteBuffer& envelope, std::uint32_t& envelope_crc) {
  SecretBytes key;
  if (!encapsulate(kem, public_key, at, envelope, key)) return false;
  GcmSealer sealer;
  std::uint32_t body_crc = 0;
  if (!sealer.start(key.data(), envelope.data() + at.nonce())) {
    err("[ERR] aes_gcm_encrypt() failed\n");
    return false;
  }
  if (!seal_body(input, input_path, at, body_read, envelope, sealer, body_crc)) return false;
  if (!sealer.finish(envelope.data() + at.tag())) {
    err("[ERR] aes_gcm_encrypt() failed\n");
    return false;
  }
  kem.reset();
  const std::uint64_t body_length = envelope.size() - at.ciphertext();
  store_envelope_lengths(envelope, at.k, body_length);
  envelope_crc = png_crc32_combine(png_crc32(ByteView(envelope).first(at.ciphertext())), body_crc, body_length);
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

bool encrypt_and_embed(const std::string& input_path, const std::string& carrier_path, const std::string& output_path) {
  InputFile input;
  if (!input.open(input_path)) return cannot_read_input(input_path);
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
  bool body_read = false;
  std::uint32_t envelope_crc = 0;
  if (!size_envelope(input, input_path, at, envelope, body_read)) return false;
  if (!seal_envelope(kem, public_key, input, input_path, at, body_read, envelope, envelope_crc)) return false;
  if (!embed_into_png(carrier_path, output_path, envelope, envelope_crc)) {
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
  if (!aes_gcm_open_in_place(fields.ciphertext, key.data(), fields.nonce.data(), fields.nonce.size(), fields.tag.data(),
                             fields.tag.size())) {
    err("[ERR] AES-GCM decrypt fail (tag mismatch?)\n");
    return false;
  }
  key.reset();
  AtomicFile out;
  if (!(out.open(output_path) && write_in_blocks(out, fields.ciphertext) && out.commit())) {
    err({"[ERR] cannot write outfile '", output_path, "'\n"});
    return false;
  }
  return true;
}

}  // namespace vellicor

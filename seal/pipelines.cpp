#include "seal/pipelines.hpp"

#include <algorithm>

#include "kem/kem.hpp"
#include "keystore/key_store.hpp"
#include "png/chunk_container.hpp"
#include "seal/aes_gcm.hpp"
#include "seal/envelope.hpp"
#include "keystore/key_file.hpp"
#include "util/console.hpp"
#include "util/file_io.hpp"
#include "util/secret.hpp"

namespace vellicor {

namespace {

// The input is read, sealed, checksummed and written one block at a time,
// while the block is still in the cache; memory use is the same at any size.
// Blocks of 1 MiB measured faster than 128 KiB or 256 KiB ones (fewer calls
// into the file system); GCM still works through each in its own pieces.
constexpr std::size_t kBlock = write_block_length;

bool input_too_large(const std::string& input_path, const std::string& size, std::uint64_t limit) {
  err({"[ERR] input file '", printable(input_path), "' is too large to hide: ", size, " bytes, at most ",
       std::to_string(limit), "\n"});
  return false;
}

bool cannot_read_input(const std::string& input_path) {
  err({"[ERR] cannot read input file '", printable(input_path), "'\n"});
  return false;
}

bool input_changed(const std::string& input_path) {
  err({"[ERR] input file '", printable(input_path), "' changed size while it was read\n"});
  return false;
}

bool embed_failed() {
  err("[ERR] embed_into_png() failed\n");
  return false;
}

bool encrypt_failed() {
  err("[ERR] aes_gcm_encrypt() failed\n");
  return false;
}

// Encapsulates into the header's KEM field and derives the AES key; the
// shared secret is wiped before this returns.
bool encapsulate(KemHandle& kem, ByteView public_key, const EnvelopeLayout& at, ByteBuffer& header,
                 SecretBytes& key) {
  std::uint8_t* kem_ciphertext = header.data() + at.kem_ciphertext();
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

// The next block of the input: full blocks until the end, so a pipe that
// delivers a little at a time still gives whole blocks. got = 0 at the end.
bool next_block(InputFile& input, const std::string& input_path, std::span<std::uint8_t> block, std::size_t& got) {
  got = 0;
  while (got < block.size()) {
    std::size_t n = 0;
    if (!input.read_some(block.data() + got, block.size() - got, n)) return cannot_read_input(input_path);
    if (n == 0) break;
    got += n;
  }
  return true;
}

// Reads, seals and writes the body; returns its length in `length`. A
// regular file must end exactly where its size said, and a pipe must stay
// within the chunk's limit.
bool seal_body(InputFile& input, const std::string& input_path, std::uint64_t limit, GcmSealer& sealer,
               StegoWriter& writer, std::uint64_t& length) {
  SecretBytes block(kBlock);  // plaintext until sealed: wiped on every way out
  Progress progress(input.size(), input.size_known());
  length = 0;
  for (;;) {
    std::size_t got = 0;
    if (!next_block(input, input_path, block.span(), got)) return false;
    if (got == 0) break;
    length += got;
    progress.add(got);
    if (input.size_known() && length > input.size()) return input_changed(input_path);
    if (length > limit) return input_too_large(input_path, "more than " + std::to_string(limit), limit);
    const std::span<std::uint8_t> piece(block.data(), got);
    if (!sealer.seal(piece)) return encrypt_failed();
    if (!writer.append(piece)) return embed_failed();
  }
  if (input.size_known() && (length != input.size() || !input.unchanged_at_end())) return input_changed(input_path);
  return true;
}

// Decapsulates and derives the AES key; the secret key and the shared secret
// are wiped before this returns.
bool recover_key(KemHandle& kem, InputFile& private_key_file, const PassphraseSource& passphrase,
                 ByteView kem_ciphertext, SecretBytes& key) {
  SecretBytes secret_key;
  if (!read_secret_key(private_key_file, passphrase, kem->length_secret_key, kem->length_public_key, secret_key))
    return false;
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

bool encrypt_and_embed(const std::string& input_path, const std::string& carrier_path, const std::string& output_path,
                       const RecipientKey& recipient) {
  InputFile input;
  if (!input.open(input_path)) return cannot_read_input(input_path);
  // Sealed for another key, the input could not be opened here again: an
  // output that is the input itself, under any name, would lose it.
  if (recipient && input.is_same_file(output_path)) {
    err({"[ERR] output '", printable(output_path), "' is the input file '", printable(input_path),
         "'; sealed for the recipient, it could not be restored here: choose another output\n"});
    return false;
  }
  KeyFiles keys;
  if (!open_key_files(keys)) return false;
  if (!output_is_not_a_key(keys, output_path)) return embed_failed();
  KemHandle kem = make_kyber1024();
  if (!kem) {
    err("[ERR] OQS_KEM_new(OQS_KEM_alg_kyber_1024) failed in encrypt_and_embed\n");
    return false;
  }
  // The recipient's key, or the own one (which kyber.prv must hold).
  ByteBuffer recipient_key;
  SecretBytes public_key;
  if (recipient ? !recipient(kem->length_public_key, recipient_key)
                : !read_own_public_key(keys, kem->length_public_key, kem->length_secret_key, public_key))
    return false;
  const EnvelopeLayout at{kem->length_ciphertext};
  // An input too big for one PNG chunk is refused before a byte of it is read.
  const std::uint64_t limit = max_chunk_data_length - at.ciphertext();
  if (input.size_known() && input.size() > limit) return input_too_large(input_path, std::to_string(input.size()), limit);

  ByteBuffer header(at.ciphertext(), 0);
  SecretBytes key;
  if (!encapsulate(kem, recipient ? ByteView(recipient_key) : ByteView(public_key.span()), at, header, key))
    return false;
  GcmSealer sealer;
  if (!sealer.start(key.data(), header.data() + at.nonce())) return encrypt_failed();

  Carrier carrier;
  if (!open_carrier(carrier_path, carrier)) return embed_failed();
  StegoWriter writer;
  if (!writer.open(output_path, carrier, header.size(), input.size())) return embed_failed();
  std::uint64_t body_length = 0;
  if (!seal_body(input, input_path, limit, sealer, writer, body_length)) return false;
  if (!sealer.finish(header.data() + at.tag())) return encrypt_failed();
  kem.reset();
  key.reset();
  store_envelope_lengths(header, at.k, body_length);
  if (!writer.finish(header)) return embed_failed();
  return true;
}

bool extract_and_decrypt(const std::string& stego_path, const std::string& output_path,
                         const PassphraseSource& passphrase) {
  StegoPayload stego;
  if (!extract_from_png(stego_path, stego)) return false;
  EnvelopeHeader envelope;
  switch (parse_envelope(stego.file, stego.offset, stego.length, envelope)) {
    case HeaderRead::ok:
      break;
    case HeaderRead::invalid:
      return false;
    case HeaderRead::read_error:
      err({"[ERR] cannot read PNG '", printable(stego_path), "'\n"});
      return false;
  }
  KeyFiles keys;
  if (!open_key_files(keys)) return false;
  if (!output_is_not_a_key(keys, output_path)) {
    err({"[ERR] cannot write outfile '", printable(output_path), "'\n"});
    return false;
  }
  KemHandle kem = make_kyber1024();
  if (!kem) {
    err("[ERR] OQS_KEM_new(OQS_KEM_alg_kyber_1024) failed in extract_and_decrypt\n");
    return false;
  }
  if (envelope.k != kem->length_ciphertext) {
    err({"[ERR] envelope holds a KEM ciphertext of ", std::to_string(envelope.k), " bytes, Kyber1024 uses ",
         std::to_string(kem->length_ciphertext), "\n"});
    err("[ERR] invalid envelope in stego PNG\n");
    return false;
  }
  SecretBytes key;
  if (!recover_key(kem, keys.private_key, passphrase, envelope.kem_ciphertext(), key)) return false;

  // Opened block by block into the sink; nothing gets a name unless the tag
  // verified.
  PlaintextSink sink(output_path, envelope.c);
  GcmOpener opener;
  if (!opener.start(key.data(), envelope.nonce().data(), envelope.nonce().size())) {
    err("[ERR] AES-GCM decrypt fail (tag mismatch?)\n");
    return false;
  }
  // Plaintext passes through this block: it is wiped on every way out.
  SecretBytes block(kBlock);
  Progress progress(envelope.c, true);
  for (std::uint64_t done = 0; done < envelope.c;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(envelope.c - done, block.size()));
    if (!stego.file.read_at(envelope.ciphertext_offset + done, block.data(), n)) {
      err({"[ERR] cannot read PNG '", printable(stego_path), "'\n"});
      return false;
    }
    const std::span<std::uint8_t> piece(block.data(), n);
    opener.open(piece);
    sink.put(piece);
    done += n;
    progress.add(n);
  }
  if (!opener.finish(envelope.tag().data(), envelope.tag().size())) {
    err("[ERR] AES-GCM decrypt fail (tag mismatch?)\n");
    return false;
  }
  key.reset();
  sink.carry_origin(stego.file);
  stego.file.close();  // the output may be the stego itself
  if (!sink.commit()) {
    err({"[ERR] cannot write outfile '", printable(output_path), "'\n"});
    return false;
  }
  warn_if_unflushed(output_path, sink.after_naming_warning());
  return true;
}

}  // namespace vellicor

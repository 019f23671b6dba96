#include "keystore/public_key.hpp"

#include <algorithm>

#include "kem/kem.hpp"
#include "keystore/key_file.hpp"
#include "keystore/key_store.hpp"
#include "keystore/key_text.hpp"
#include "util/console.hpp"
#include "util/file_io.hpp"
#include "util/secret.hpp"

namespace vellicor {

namespace {

// A file larger than this is no key file, not even a long pasted mail.
constexpr std::uint64_t kMaxRecipientFile = std::uint64_t{1} << 20;

std::string with_reason(const std::error_code& why) { return why ? ": " + why.message() : ""; }

// Text as a person writes it: printable ASCII, blanks, and the bytes of
// UTF-8. A raw key is 1568 random bytes and is never all of these.
bool looks_like_text(std::string_view content) {
  return !content.empty() && std::all_of(content.begin(), content.end(), [](char c) {
           const auto b = static_cast<unsigned char>(c);
           return (b >= 0x20 && b != 0x7F) || c == '\t' || c == '\r' || c == '\n';
         });
}

// The whole recipient file, at most kMaxRecipientFile bytes (a pipe too).
bool read_small_file(InputFile& file, std::string_view source, std::string& content) {
  content.clear();
  std::uint8_t block[4096];
  std::error_code why;
  for (;;) {
    std::size_t got = 0;
    if (!file.read_some(block, sizeof block, got, &why))
      return refuse({"[ERR] cannot read ", source, with_reason(why), "\n"});
    if (got == 0) return true;
    content.append(reinterpret_cast<const char*>(block), got);
    if (content.size() > kMaxRecipientFile)
      return refuse({"[ERR] ", source, " is larger than ", std::to_string(kMaxRecipientFile),
                     " bytes; it is no public key file\n"});
  }
}

// The recipient file: a key text in it, or the raw key.
bool read_recipient_file(const std::string& path, const std::string& output_path, std::string_view source,
                         std::size_t key_length, ByteBuffer& key) {
  InputFile file;
  std::error_code why;
  if (!file.open(path, &why)) return refuse({"[ERR] cannot read ", source, with_reason(why), "\n"});
  if (file.is_same_file(output_path))
    return refuse({"[ERR] output '", printable(output_path), "' is the ", source, "; choose another output\n"});
  std::string content;
  if (!read_small_file(file, source, content)) return false;
  if (holds_key_text(content) || looks_like_text(content)) return key_from_text(content, source, key);
  if (content.size() != key_length)
    return refuse({"[ERR] ", source, " has ", std::to_string(content.size()), " bytes, but a raw Kyber-1024 public key has ",
                   std::to_string(key_length), "\n"});
  key.assign(content.begin(), content.end());
  return true;
}

}  // namespace

bool share_public_key(const std::string& output_path) {
  KeyFiles keys;
  if (!open_key_files(keys)) return false;
  if (!output_path.empty() && !output_is_not_a_key(keys, output_path)) return false;
  KemHandle kem = make_kyber1024();
  if (!kem) return refuse({"[ERR] OQS_KEM_new(OQS_KEM_alg_kyber_1024) failed in pubkey\n"});
  SecretBytes public_key;
  if (!read_key_file(keys.public_key, public_key_path, kem->length_public_key, public_key))
    return refuse({"[ERR] cannot read Kyber public key from '", printable(public_key_path), "'\n"});
  if (!key_pair_matches(keys, public_key.span(), kem->length_secret_key, "no key was shared")) return false;
  const std::string text = public_key_text(public_key.span()) + "\n";
  if (output_path.empty()) {
    out(text);
  } else {
    AtomicFile file;
    std::error_code why;
    const ByteView bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    if (!(file.open(output_path, {}, &why) && file.write(bytes, &why) && file.commit(&why)))
      return refuse({"[ERR] cannot write public key text to '", printable(output_path), "'", with_reason(why), "\n"});
    warn_if_unflushed(output_path, file.after_naming_warning());
  }
  out({"[INFO] Fingerprint (SHA-256): ", key_fingerprint(public_key.span()), "\n"});
  return true;
}

bool public_key_usable(ByteView key, std::size_t key_length, std::string_view source) {
  if (key.size() != key_length || !key_coefficients_valid(key))
    return refuse({"[ERR] ", source, " is not a valid Kyber-1024 public key (a coefficient is 3329 or more)\n"});
  if (key_opens_without_secret(key))
    return refuse({"[ERR] ", source, " is a public key that anyone can open (every coefficient of its vector t is within ",
                   "+-", std::to_string(open_key_bound), " of zero); nothing was sealed\n"});
  return true;
}

bool read_recipient_key(const std::string& recipient, const std::string& output_path, std::size_t key_length,
                        ByteBuffer& key) {
  const bool is_text = recipient.starts_with(key_text_prefix);
  const std::string source =
      is_text ? "recipient text on the command line" : "recipient file '" + printable(recipient) + "'";
  ByteBuffer found;
  if (is_text ? !key_from_text(recipient, source, found)
              : !read_recipient_file(recipient, output_path, source, key_length, found))
    return false;
  if (!public_key_usable(found, key_length, source)) return false;
  out({"[INFO] Sealing for the recipient's key, fingerprint (SHA-256): ", key_fingerprint(found), "\n"});
  key = std::move(found);
  return true;
}

}  // namespace vellicor

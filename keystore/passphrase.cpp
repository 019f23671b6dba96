#include "keystore/passphrase.hpp"

#include <algorithm>
#include <cstring>

#include "keystore/key_file.hpp"
#include "util/console.hpp"
#include "util/file_io.hpp"
#include "util/terminal.hpp"

namespace vellicor {

namespace {

// A passphrase file is a line, not a document: more than this is refused.
constexpr std::uint64_t kLongestFile = 4096;

// The first line of the file, without its line end; the file is checked as
// kyber.prv is, and refused where others may read it.
bool from_file(const std::string& path, SecretBytes& out) {
  InputOptions options;
  options.non_blocking = true;
  InputFile file;
  std::error_code why;
  if (!file.open(path, options, &why))
    return refuse({"[ERR] cannot read passphrase file '", printable(path), "': ", why.message(), "\n"});
  if (!check_opened(file, path, false, true, "passphrase file '", true)) return false;
  if (file.size() > kLongestFile)
    return refuse({"[ERR] passphrase file '", printable(path), "' is larger than ", std::to_string(kLongestFile),
                   " bytes; its first line is the passphrase\n"});
  SecretBytes bytes(static_cast<std::size_t>(file.size()));
  if (!file.read_exact(bytes.data(), bytes.size(), &why))
    return refuse({"[ERR] cannot read passphrase file '", printable(path), "': ", why.message(), "\n"});
  const std::uint8_t* end = std::find(bytes.data(), bytes.data() + bytes.size(), std::uint8_t{'\n'});
  std::size_t length = static_cast<std::size_t>(end - bytes.data());
  if (length > 0 && bytes.data()[length - 1] == '\r') --length;
  if (length == 0)
    return refuse({"[ERR] passphrase file '", printable(path), "' holds no passphrase on its first line\n"});
  SecretBytes line(length);
  std::memcpy(line.data(), bytes.data(), length);
  out = std::move(line);
  return true;
}

bool from_terminal(const std::string& prompt, std::string_view what, SecretBytes& out) {
  flush_out();
  std::string why;
  if (ask_terminal(prompt, false, out, &why)) return true;
  return refuse({"[ERR] ", what, " cannot be asked (", why, "); give it with --passphrase-file <file>\n"});
}

}  // namespace

bool passphrase_to_open(const PassphraseSource& source, SecretBytes& out) {
  if (source.file) return from_file(*source.file, out);
  return from_terminal("Passphrase for keys/kyber.prv: ", "kyber.prv is protected by a passphrase, and it", out);
}

bool passphrase_to_set(const PassphraseSource& source, SecretBytes& out) {
  if (source.file) return from_file(*source.file, out);
  SecretBytes first, again;
  if (!from_terminal("New passphrase for keys/kyber.prv (empty for none): ", "a new passphrase", first) ||
      !from_terminal("The same passphrase again: ", "a new passphrase", again))
    return false;
  if (first.size() != again.size() || !equal_in_constant_time(first.data(), again.data(), first.size()))
    return refuse({"[ERR] the two passphrases differ; nothing was changed\n"});
  out = std::move(first);
  return true;
}

bool confirmed_at_terminal(const std::string& question) {
  flush_out();
  SecretBytes answer;
  return ask_terminal(question, true, answer) && answer.size() == 3 && std::memcmp(answer.data(), "yes", 3) == 0;
}

}  // namespace vellicor

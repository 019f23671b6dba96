#include "cli/driver.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "cli/command_correction.hpp"
#include "cli/path_correction.hpp"
#include "cli/version.hpp"
#include "i18n/language.hpp"
#include "keystore/key_store.hpp"
#include "keystore/public_key.hpp"
#include "seal/pipelines.hpp"
#include "util/console.hpp"
#include "util/file_io.hpp"
#include "util/platform.hpp"

namespace vellicor {

namespace {

// 0x97 is the em dash of Windows-1252. It is written as that one byte, never
// as UTF-8, because scripts compare these lines byte for byte. (The literal is
// split after it: a hex escape would swallow the letters that follow.)
constexpr std::string_view kBannerTitle = "Vellicor " "\x97" " Post-Quantum Stego (SMART CLI)\n";
constexpr std::string_view kBannerAddress = "https://vellicor.example.org\n\n";

constexpr std::string_view kUsage =
    "Vellicor (PNG-only) " "\x97" " Post-Quantum Stego\n"
    "Usage:\n"
    "  Vellicor [Lang] genkeys\n"
    "  Vellicor [Lang] embed   <infile> <carrier.png> <outfile.png>\n"
    "  Vellicor [Lang] extract <stego.png> <outfile>\n"
    "  Vellicor [Lang] --help\n"
    "  Vellicor [Lang] --version\n"
    "\n"
    "SMART features:\n"
    "  - Fuzzy command detection (embd -> embed, ext -> extract, etc.)\n"
    "  - Fuzzy path correction in current directory\n"
    "  - Optional language code as first argument (en, pt, es, fr, ...)\n";

// Every relative path from here on (keys/, the user's file names) is taken
// from the program's own folder, not from where it was started.
bool enter_program_directory(const std::string& argv0) {
  std::string why;
  std::optional<std::filesystem::path> dir = program_directory(argv0, &why);
  if (!dir) {
    err({"[ERR] cannot find the program's folder from '", printable(argv0), "': ", why, "\n"});
    return false;
  }
  std::error_code ec;
  std::filesystem::current_path(*dir, ec);
  if (ec) {
    err({"[ERR] cannot change to the program's folder '", printable(to_message_text(*dir)), "': ", ec.message(), "\n"});
    return false;
  }
  return true;
}

// The words from the command word on; a language code in front is consumed.
struct Words {
  char** first = nullptr;
  int count = 0;
  const char* operator[](int i) const { return first[i]; }
};

Words settle_language(int argc, char** argv) {
  set_language("en");
  int skip = 1;
  if (argc >= 2 && set_language(argv[1])) {
    skip = 2;
  } else {
    detect_language();
  }
  return Words{argv + skip, argc > skip ? argc - skip : 0};
}

int missing_arguments(std::string_view command) {
  err({"Missing arguments for ", command, ".\n"});
  out(kUsage);
  return 1;
}

// The options that may stand anywhere after the command word, taken out of
// the words; the other words stay in their order.
struct Options {
  std::optional<std::string> recipient;  // embed --to
  PassphraseSource passphrase;           // --passphrase-file
  bool protect = false;                  // genkeys --passphrase
};

struct OptionWord {
  std::string_view name;
  std::string_view command;  // the one command that takes it; empty: all that take options
  std::string_view needs;    // what its value is; empty: it has none
};
constexpr OptionWord kOptionWords[] = {
    {"--to", "embed", "the recipient's public key text, or the path of a file that holds it"},
    {"--passphrase-file", "", "the path of a file whose first line is the passphrase"},
    {"--passphrase", "genkeys", ""},
};

const OptionWord* option_named(std::string_view word, std::string_view command) {
  for (const OptionWord& o : kOptionWords)
    if (word == o.name && (o.command.empty() || o.command == command)) return &o;
  return nullptr;
}

// The command's argument at `position` (1 = the first), options and their
// values left out; empty where there is none.
std::string_view argument(const Words& words, std::string_view command, int position) {
  for (int i = 1, at = 0; i < words.count; ++i) {
    if (const OptionWord* o = option_named(words[i], command)) {
      i += o->needs.empty() ? 0 : 1;
    } else if (++at == position) {
      return words[i];
    }
  }
  return {};
}

// Whether the run writes its output to standard output ("-").
bool output_is_standard(const Words& words, std::string_view command) {
  const int at = command == "embed" ? 3 : command == "extract" ? 2 : 0;
  return at > 0 && argument(words, command, at) == standard_stream;
}

// The command a word names: pubkey and passphrase as typed, the others as
// command correction finds them (empty for none).
std::string command_named(const std::string& typed, bool announce) {
  if (typed == "pubkey" || typed == "passphrase") return typed;
  return correct_command(typed, announce);
}

// False after a line where an option is given twice or has no value.
bool take_options(const Words& words, std::string_view command, std::vector<char*>& rest, Options& options) {
  rest.assign(words.first, words.first + 1);
  for (int i = 1; i < words.count; ++i) {
    const OptionWord* option = option_named(words[i], command);
    if (option == nullptr) {
      rest.push_back(words.first[i]);
      continue;
    }
    if (option->needs.empty()) {
      options.protect = true;
      continue;
    }
    const bool to = option->name == "--to";
    std::optional<std::string>& value = to ? options.recipient : options.passphrase.file;
    if (value || (i + 1 < words.count && words[i + 1] == option->name)) {
      err({"[ERR] ", option->name, " is given twice; name one ", to ? "recipient" : "passphrase file", "\n"});
      return false;
    }
    if (i + 1 == words.count || *words[i + 1] == '\0') {
      err({"[ERR] ", option->name, " needs a value: ", option->needs, "\n"});
      return false;
    }
    value = words[++i];
  }
  return true;
}

// An input as it is used: "-" (standard input) as typed, a path corrected.
std::optional<std::string> input_path(const std::string& typed) {
  if (typed == standard_stream) return typed;
  return smart_correct_path(typed);
}

// Standard input can be read once: false after a line where more than one
// of a run's inputs is "-".
bool one_standard_input(std::initializer_list<std::optional<std::string>> inputs) {
  int count = 0;
  for (const std::optional<std::string>& input : inputs) count += input == standard_stream ? 1 : 0;
  if (count > 1) err("[ERR] standard input ('-') can stand for one input of a run only\n");
  return count <= 1;
}

int run_genkeys(const Options& options) {
  if (!(options.protect ? ensure_protected_keypair(options.passphrase) : ensure_kyber_keypair())) {
    out("[ERR] genkeys failed\n");
    return 1;
  }
  if (options.protect && !private_key_protected()) {
    err({"[ERR] the key pair in '", printable(key_directory),
         "' is there already, without a passphrase; protect it with: vellicor passphrase\n"});
    out("[ERR] genkeys failed\n");
    return 1;
  }
  out({"[OK] Kyber-1024 keys ready in '", printable(key_directory), "'\n"});
  return 0;
}

bool check_key_pair() {
  out({"[SMART] Checking Kyber-1024 keypair in '", printable(key_directory), "'...\n"});
  if (ensure_kyber_keypair()) return true;
  err("[ERR] could not generate/load Kyber keys (keys\\kyber.pub, keys\\kyber.prv)\n");
  return false;
}

// pubkey [<outfile>]: the pair is made when missing, then shared as text.
int run_pubkey(const Words& words) {
  const std::string output = words.count > 1 && words[1] != standard_stream ? words[1] : "";
  if (!ensure_kyber_keypair() || !share_public_key(output)) {
    out("[ERR] pubkey failed\n");
    return 1;
  }
  if (!output.empty()) out({"[OK] Public key text written: ", printable(output), "\n"});
  return 0;
}

// passphrase: adds, changes or removes the protection of the existing pair.
int run_passphrase(const Options& options) {
  if (!change_passphrase(options.passphrase)) {
    out("[ERR] passphrase failed\n");
    return 1;
  }
  return 0;
}

// words[0] is the command word; its arguments follow.
int run_embed(const Words& words, const Options& options) {
  if (words.count < 4) return missing_arguments("embed");
  std::optional<std::string> input = input_path(words[1]);
  if (!input) return 1;
  std::optional<std::string> carrier = input_path(words[2]);
  if (!carrier) return 1;
  if (!one_standard_input({input, carrier, options.recipient})) return 1;
  const std::string output = words[3];
  out({"[INFO] Embedding '", printable(*input), "' into carrier PNG '", printable(*carrier), "' -> '",
       printable(output), "'\n"});
  flush_out();  // the output may be standard output itself
  RecipientKey recipient;
  if (options.recipient)
    recipient = [&](std::size_t length, ByteBuffer& key) {
      return read_recipient_key(*options.recipient, output, length, key);
    };
  if (!encrypt_and_embed(*input, *carrier, output, recipient)) {
    out("[ERR] embed failed\n");
    return 1;
  }
  out({"[OK] Stego PNG written: ", printable(output), "\n"});
  return 0;
}

int run_extract(const Words& words, const Options& options) {
  if (words.count < 3) return missing_arguments("extract");
  std::optional<std::string> stego = input_path(words[1]);
  if (!stego) return 1;
  if (!one_standard_input({stego, options.passphrase.file})) return 1;
  const std::string output = words[2];
  out({"[INFO] Extracting from stego PNG '", printable(*stego), "' -> '", printable(output), "'\n"});
  flush_out();  // the output may be standard output itself
  if (!extract_and_decrypt(*stego, output, options.passphrase)) {
    out("[ERR] extract failed\n");
    return 1;
  }
  out({"[OK] Payload restored to file: ", printable(output), "\n"});
  return 0;
}

int dispatch(const Words& words) {
  const std::string typed = words[0];
  if (typed == "--help" || typed == "-h") {
    out(kUsage);
    return 0;
  }
  if (typed == "--version" || typed == "-v") {
    out(kVersionLine);
    return 0;
  }
  // pubkey and passphrase are matched exactly: command correction stays as it is.
  const std::string command = command_named(typed, true);
  if (command.empty()) {
    err("Invalid command. Try: Vellicor --help\n");
    return 1;
  }
  if (command == "pubkey") return run_pubkey(words);
  // Binary bytes would drive the terminal: refused before a key or an input is read.
  if (output_is_standard(words, command) && is_terminal(Stream::output)) {
    err("[ERR] the output '-' is standard output, which is a terminal: redirect it to a file or a pipe\n");
    return 1;
  }
  const bool pipeline = command == "embed" || command == "extract";
  if (pipeline && !check_key_pair()) return 1;
  std::vector<char*> rest;
  Options options;
  if (!take_options(words, command, rest, options)) return 1;
  if (command == "genkeys") return run_genkeys(options);
  if (command == "passphrase") return run_passphrase(options);
  const Words taken{rest.data(), static_cast<int>(rest.size())};
  return command == "embed" ? run_embed(taken, options) : run_extract(taken, options);
}

}  // namespace

int run_driver(int argc, char** argv) {
  const ConsoleRun console;
  std::string why;
  if (!close_process_to_others(&why)) {
    err({"[ERR] cannot close this process to other programs: ", why, "\n"});
    return 1;
  }
  std::vector<std::string> args;
  if (!command_line_arguments(argc, argv, args)) return 1;
  if (!enter_program_directory(args[0])) return 1;
  std::vector<char*> pointers;
  for (std::string& a : args) pointers.push_back(a.data());
  pointers.push_back(nullptr);
  const Words words = settle_language(static_cast<int>(args.size()), pointers.data());
  // An output that is this process's own standard output ("-", /dev/stdout,
  // or the file it was redirected to) gets the bytes alone there; every line
  // goes to standard error for this run.
  const std::string command = words.count > 0 ? command_named(words[0], false) : "";
  for (int i = 1; i < words.count; ++i)
    if (names_standard_output(words[i])) send_lines_to_error();
  if (output_is_standard(words, command)) send_lines_to_error();
  out(kBannerTitle);
  out(kBannerAddress);
  if (words.count == 0) {
    out(kUsage);
    return 0;
  }
  return dispatch(words);
}

}  // namespace vellicor

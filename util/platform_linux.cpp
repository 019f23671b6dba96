#include "util/platform.hpp"

#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace vellicor {

namespace {

bool fail(std::string* why, const std::string& text) {
  if (why != nullptr) *why = text;
  return false;
}

// The first entry of `search_path` that holds an executable regular file
// called `name`, as the shell's lookup takes it.
std::optional<std::filesystem::path> find_in_search_path(const std::string& name, const std::string& search_path) {
  for (std::size_t start = 0;;) {
    const std::size_t end = search_path.find(':', start);
    const std::string folder = search_path.substr(start, end == std::string::npos ? end : end - start);
    const std::filesystem::path candidate = std::filesystem::path(folder.empty() ? "." : folder) / name;
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
      return candidate;
    if (end == std::string::npos) return std::nullopt;
    start = end + 1;
  }
}

}  // namespace

std::optional<std::filesystem::path> program_directory_from_argv0(const std::string& argv0,
                                                                   const std::string& search_path,
                                                                   std::string* why) {
  std::filesystem::path program = argv0;
  if (argv0.empty()) {
    fail(why, "no program name was given to start from");
    return std::nullopt;
  }
  if (argv0.find('/') == std::string::npos) {
    std::optional<std::filesystem::path> found = find_in_search_path(argv0, search_path);
    if (!found) {
      fail(why, "no folder of PATH holds it");
      return std::nullopt;
    }
    program = *found;
  }
  std::error_code ec;
  const std::filesystem::path real = std::filesystem::canonical(program, ec);
  if (ec) {
    fail(why, ec.message());
    return std::nullopt;
  }
  return real.parent_path();
}

std::optional<std::filesystem::path> program_directory(const std::string& argv0, std::string* why) {
  // The kernel keeps the running file as this link, already resolved; it may
  // end in " (deleted)" when the file was replaced meanwhile, and its folder
  // is still the one it ran from.
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec && self.is_absolute()) return self.parent_path();
  const char* search_path = std::getenv("PATH");
  return program_directory_from_argv0(argv0, search_path != nullptr ? search_path : "/bin:/usr/bin", why);
}

bool command_line_arguments(int argc, char** argv, std::vector<std::string>& args) {
  args.assign(1, argc > 0 && argv[0] != nullptr ? argv[0] : "");
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return true;
}

namespace {

// "pt_BR.UTF-8@euro" -> "pt-BR": drop the codeset and modifier, dash the region.
std::string to_locale_name(std::string value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
    value = value.substr(1, value.size() - 2);
  value = value.substr(0, value.find_first_of(".@"));
  for (char& c : value)
    if (c == '_') c = '-';
  return value;
}

}  // namespace

std::optional<std::string> user_default_locale_name(const std::vector<std::string>& locale_files) {
  for (const std::string& file : locale_files) {
    std::ifstream in(file);
    if (!in) continue;
    std::string line;
    while (std::getline(in, line)) {
      std::size_t start = line.find_first_not_of(" \t");
      if (start == std::string::npos || line.compare(start, 5, "LANG=") != 0) continue;
      std::string name = to_locale_name(line.substr(start + 5));
      while (!name.empty() && (name.back() == ' ' || name.back() == '\t' || name.back() == '\r')) name.pop_back();
      if (!name.empty()) return name;
    }
    return std::nullopt;  // the first file that exists decides
  }
  return std::nullopt;
}

std::filesystem::path to_native_path(const std::string& text) { return std::filesystem::path(text); }

bool to_narrow_text(const std::filesystem::path& path, std::string& text) {
  text = path.native();
  return true;
}

std::string to_message_text(const std::filesystem::path& path) { return path.native(); }

std::filesystem::path to_system_path(const std::filesystem::path& path) { return path; }

bool for_each_directory_entry(const std::filesystem::path& directory,
                              const std::function<bool(const std::filesystem::path& name)>& visit,
                              std::string* why) {
  std::error_code ec;
  std::filesystem::directory_iterator it(directory, ec);
  for (const std::filesystem::directory_iterator end; !ec && it != end; it.increment(ec))
    if (!visit(it->path().filename())) return true;
  if (ec) {
    if (why != nullptr) *why = ec.message();
    return false;
  }
  return true;
}

bool keeps_access_lists(const std::string&) { return true; }

bool close_process_to_others(std::string* why) {
  const rlimit no_core{0, 0};
  if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0 || ::setrlimit(RLIMIT_CORE, &no_core) != 0)
    return fail(why, std::strerror(errno));
  return true;
}

}  // namespace vellicor

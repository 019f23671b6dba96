#include "util/platform.hpp"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace vellicor {

namespace {

// The running program's own file as the system reports it, links resolved:
// Linux keeps it as the link /proc/self/exe.
std::optional<std::string> own_program_path(std::string* why) {
  std::error_code ec;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) {
    if (why != nullptr) *why = ec.message();
    return std::nullopt;
  }
  return self.string();
}

}  // namespace

std::optional<std::string> program_directory(const std::string& argv0, std::string* why) {
  if (argv0.find('/') == std::string::npos) {
    std::optional<std::string> self = own_program_path(why);
    if (!self) return std::nullopt;
    return std::filesystem::path(*self).parent_path().string();
  }
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(std::filesystem::path(argv0), ec);
  if (ec) {
    if (why != nullptr) *why = ec.message();
    return std::nullopt;
  }
  return absolute.parent_path().string();
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

}  // namespace vellicor

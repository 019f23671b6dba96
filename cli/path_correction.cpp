#include "cli/path_correction.hpp"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <limits>
#include <system_error>

#include "cli/command_correction.hpp"
#include "util/console.hpp"
#include "util/platform.hpp"

namespace vellicor {

namespace fs = std::filesystem;

namespace {

constexpr std::int32_t kAcceptDistance = 3;

// Every way of saying "nothing is there". A link that loops never reaches a
// target, so it counts as missing rather than as an error.
bool is_absence(const std::error_code& ec) {
  return ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory ||
         ec == std::errc::filename_too_long || ec == std::errc::too_many_symbolic_link_levels;
}

enum class Presence { present, absent, failed };

// Links are followed: a link to nothing is absent. A type the platform cannot
// name is still something that exists.
Presence presence_of(const fs::path& p, std::error_code& ec) {
  const fs::file_status st = fs::status(p, ec);
  if (!ec || st.type() == fs::file_type::unknown) return Presence::present;
  return is_absence(ec) ? Presence::absent : Presence::failed;
}

// Folder and name joined by the platform's preferred separator, none added
// after a separator that is already there. A bare drive ("C:") takes none
// either: "C:name" stays in that drive's current folder, as typed.
std::string join(const std::string& directory, const std::string& name) {
  if (directory.empty() || is_separator(directory.back())) return directory + name;
  const fs::path native = to_native_path(directory);
  if (native.has_root_name() && !native.has_root_directory() && native.relative_path().empty())
    return directory + name;
  return directory + preferred_separator + name;
}

struct Candidate {
  std::int32_t distance = std::numeric_limits<std::int32_t>::max();
  std::string name;
};

// The nearest regular file of the folder, or nothing when the folder cannot be
// read to the end (what was seen before a failure does not count). The folder
// is read one name at a time, and a name is measured only as far as it could
// still be accepted and beat the best so far: the first of the nearest names
// wins as with the full distance, since nothing further than 3 is taken.
std::optional<Candidate> nearest_regular_file(const std::string& directory, const std::string& target) {
  const fs::path folder = to_native_path(directory);
  Candidate best;
  bool abandoned = false;
  const bool listed = for_each_directory_entry(folder, [&](const fs::path& entry) {
    std::error_code ec;
    const fs::file_status st = fs::status(folder / entry, ec);
    // Vanished entries, dangling links and unnamed types are skipped; any
    // other failure to read an entry abandons the scan.
    if (ec && !is_absence(ec) && st.type() != fs::file_type::unknown) {
      abandoned = true;
      return false;
    }
    if (ec || st.type() != fs::file_type::regular) return true;
    // A name that the narrow code page cannot spell could not be typed or
    // opened through it either: not a candidate.
    std::string name;
    if (!to_narrow_text(entry, name)) return true;
    const std::int32_t limit = std::min(best.distance - 1, kAcceptDistance);
    if (limit < 0) return true;
    const std::int32_t d = fuzzy_distance_within(target, name, limit);
    if (d <= limit) best = Candidate{d, std::move(name)};
    return true;
  });
  if (!listed || abandoned) return std::nullopt;
  return best;
}

std::optional<std::string> correct(const std::string& typed) {
  const fs::path path = to_native_path(typed);
  std::error_code ec;
  switch (presence_of(path, ec)) {
    case Presence::present:
      return typed;
    case Presence::failed:
      err({"[ERR] cannot check input path '", printable(typed), "': ", ec.message(), "\n"});
      return std::nullopt;
    case Presence::absent:
      break;
  }

  // The directory part stays exactly as typed; a bare name is looked for in
  // the current directory, and then comes back as an absolute path.
  std::string directory;
  std::string target;
  if (!to_narrow_text(path.parent_path(), directory) || !to_narrow_text(path.filename(), target)) {
    err({"[ERR] cannot correct input path '", printable(typed),
         "': its name does not convert back to the system code page\n"});
    return std::nullopt;
  }
  if (directory.empty()) {
    const fs::path cwd = fs::current_path(ec);
    if (ec) {
      err({"[ERR] cannot read the current directory to correct '", printable(typed), "': ", ec.message(), "\n"});
      return std::nullopt;
    }
    if (!to_narrow_text(cwd, directory)) {
      err({"[ERR] cannot correct input path '", printable(typed),
           "': the current directory has a name outside the system code page\n"});
      return std::nullopt;
    }
  }

  const std::optional<Candidate> best = nearest_regular_file(directory, target);
  if (!best || best->name.empty() || best->distance > kAcceptDistance) return typed;
  std::string corrected = join(directory, best->name);
  out({"[SMART] corrected path '", printable(typed), "' -> '", printable(corrected), "'\n"});
  return corrected;
}

}  // namespace

std::optional<std::string> smart_correct_path(const std::string& typed) {
  if (typed.empty()) return typed;
  // Building paths and texts can throw (out of memory); that must end as a
  // reported failure, never as an escaped exception.
  try {
    return correct(typed);
  } catch (const std::exception& e) {
    err({"[ERR] cannot correct input path '", printable(typed), "': ", printable(e.what()), "\n"});
  } catch (...) {
    err({"[ERR] cannot correct input path '", printable(typed), "'\n"});
  }
  return std::nullopt;
}

}  // namespace vellicor

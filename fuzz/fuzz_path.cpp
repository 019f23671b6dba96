// smart_correct_path on fuzzed names, in a scratch folder that holds regular
// files, a dot file, folders, a link to a file and a dangling link. Names are
// kept inside that folder (no leading '/', no ".." component) so that every
// run sees the same files; a zero byte cannot come from a command line and
// ends the name.
//
// Checks: a name that exists, or the empty name, comes back as typed; a
// correction names an existing regular file of the folder the name pointed
// into, within three edits of the typed file name, joined as the contract says.

#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/command_correction.hpp"
#include "cli/path_correction.hpp"
#include "fuzz/fuzz_support.hpp"

namespace {

using namespace vellicor;

void build_tree() {
  const std::string& dir = fuzz::scratch_dir();
  const char* files[] = {"photo.png", "notes.txt", ".hidden", "docs/file.txt", "docs/fiel.md", "a/b/c.bin"};
  bool ok = ::mkdir((dir + "/docs").c_str(), 0700) == 0 && ::mkdir((dir + "/docs/sub").c_str(), 0700) == 0 &&
            ::mkdir((dir + "/a").c_str(), 0700) == 0 && ::mkdir((dir + "/a/b").c_str(), 0700) == 0 &&
            ::mkdir((dir + "/photos").c_str(), 0700) == 0;
  for (const char* f : files) ok = ok && fuzz::write_bytes(dir + "/" + f, reinterpret_cast<const std::uint8_t*>("x"), 1);
  ok = ok && ::symlink("photo.png", (dir + "/link.png").c_str()) == 0 &&
       ::symlink("nowhere.png", (dir + "/dangling.png").c_str()) == 0 &&
       ::symlink("docs", (dir + "/docs-link").c_str()) == 0 && ::chdir(dir.c_str()) == 0;
  if (!ok) {
    std::perror("fuzz_path: cannot build the scratch tree");
    std::abort();
  }
}

bool escapes(const std::string& name) {
  if (!name.empty() && name.front() == '/') return true;
  for (std::size_t at = name.find(".."); at != std::string::npos; at = name.find("..", at + 1)) {
    const bool starts = at == 0 || name[at - 1] == '/';
    const bool ends = at + 2 == name.size() || name[at + 2] == '/';
    if (starts && ends) return true;
  }
  return false;
}

bool exists_followed(const std::string& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0;
}

bool is_regular_file(const std::string& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void check_correction(const std::string& typed, const std::string& got) {
  FUZZ_CHECK(!typed.empty() && !exists_followed(typed));
  FUZZ_CHECK(is_regular_file(got));
  const std::size_t slash = typed.find_last_of('/');
  const std::string typed_name = slash == std::string::npos ? typed : typed.substr(slash + 1);
  std::string folder;
  if (slash == std::string::npos) {
    folder = fuzz::scratch_dir() + "/";
  } else {
    // The folder part as typed, without the separators before the name.
    std::size_t end = slash;
    while (end > 0 && typed[end - 1] == '/') --end;
    folder = typed.substr(0, end) + "/";
  }
  FUZZ_CHECK(got.compare(0, folder.size(), folder) == 0);
  const std::string found_name = got.substr(folder.size());
  FUZZ_CHECK(!found_name.empty() && found_name.find('/') == std::string::npos);
  FUZZ_CHECK(fuzzy_distance(typed_name, found_name) <= 3);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  build_tree();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string typed(reinterpret_cast<const char*>(data), size);
  typed = typed.substr(0, typed.find('\0'));
  if (typed.size() > 300 || escapes(typed)) return 0;
  const std::optional<std::string> got = smart_correct_path(typed);
  if (!got) return 0;  // a file-system error other than absence, already reported
  if (*got == typed) return 0;
  check_correction(typed, *got);
  return 0;
}

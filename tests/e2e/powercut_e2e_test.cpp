// Power cuts, simulated. The program runs once with powercut_recorder.c
// preloaded, which logs each call that changes what a disk would keep; then
// the power is cut after every logged call, and what a disk that keeps only
// what was flushed would hold must be whole: the output old (or absent) or
// complete, the key pair not both there or one matching pair, and once the
// program said so, the output complete and the key pair there.
//
// Two disks are tried at each cut. "Only what was flushed": each folder
// lists what it listed when last flushed (at the start, all that was there),
// and a folder made during the run is reached only through a flushed listing
// of its parent. "Names ahead of data": every name as it is at that moment.
// On both, a file holds what it held when last flushed (never flushed: empty),
// and a file changed since its last flush holds nothing certain ("torn"),
// which no output and no key file may be.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/program_test.hpp"
#include "tests/support/test_png.hpp"

namespace vellicor {
namespace {

namespace fs = std::filesystem;
using test::read_file;
using test::write_file;

struct Entry {
  std::string id;  // "dev:inode"
  char type;       // d, f, l or o
};
using Listing = std::map<std::string, Entry>;

// One logged call and what it changed.
struct Event {
  std::string call;
  std::vector<std::pair<std::string, std::pair<bool, Listing>>> listings;  // folder, flushed?, entries
  std::vector<std::pair<std::string, std::string>> copies;                 // file, copy of its content
  std::vector<std::string> changed;
  std::string printed;
};

std::string id_of(const struct stat& st) {
  char text[40];
  std::snprintf(text, sizeof text, "%lx:%lx", static_cast<unsigned long>(st.st_dev),
                static_cast<unsigned long>(st.st_ino));
  return text;
}

// What the disk keeps, replayed up to the cut.
struct Disk {
  std::string root;
  std::map<std::string, Listing> flushed, now;
  std::map<std::string, ByteBuffer> data;
  std::set<std::string> torn;

  void apply(const Event& e, const fs::path& copies) {
    for (const auto& [folder, listing] : e.listings) {
      if (listing.first) flushed[folder] = listing.second;
      now[folder] = listing.second;
    }
    for (const auto& [file, copy] : e.copies) {
      data[file] = read_file(copies / copy);
      torn.erase(file);
    }
    torn.insert(e.changed.begin(), e.changed.end());
  }
  // The entry at `path` (names joined by '/') on one of the two disks.
  std::optional<Entry> find(const std::string& path, bool names_ahead) const {
    const auto& folders = names_ahead ? now : flushed;
    std::optional<Entry> at = Entry{root, 'd'};
    std::istringstream names(path);
    for (std::string name; at && std::getline(names, name, '/');) {
      if (at->type != 'd') return std::nullopt;
      const auto listing = folders.find(at->id);
      if (listing == folders.end() || !listing->second.count(name)) return std::nullopt;
      at = listing->second.at(name);
    }
    return at;
  }
  std::optional<ByteBuffer> content(const std::string& id) const {
    if (torn.count(id)) return std::nullopt;
    const auto it = data.find(id);
    return it == data.end() ? ByteBuffer{} : it->second;
  }
};

// The folder as it is, flushed to the disk first: all of it counts as kept.
Disk durable_now(const fs::path& root) {
  Disk disk;
  struct stat st {};
  ::lstat(root.c_str(), &st);
  disk.root = id_of(st);
  std::vector<fs::path> folders{root};
  for (std::size_t i = 0; i < folders.size(); ++i) {
    ::lstat(folders[i].c_str(), &st);
    Listing& listing = disk.flushed[id_of(st)];
    for (const auto& e : fs::directory_iterator(folders[i])) {
      ::lstat(e.path().c_str(), &st);
      const char type = S_ISDIR(st.st_mode) ? 'd' : S_ISREG(st.st_mode) ? 'f' : S_ISLNK(st.st_mode) ? 'l' : 'o';
      listing[e.path().filename().string()] = {id_of(st), type};
      if (type == 'd') folders.push_back(e.path());
      if (type == 'f') disk.data[id_of(st)] = read_file(e.path());
    }
  }
  for (const auto& folder : folders) {
    for (const auto& e : fs::directory_iterator(folder))
      if (e.is_regular_file()) {
        const int fd = ::open(e.path().c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_EQ(::fsync(fd), 0) << e.path();
        ::close(fd);
      }
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    EXPECT_EQ(::fsync(fd), 0) << folder;
    ::close(fd);
  }
  disk.now = disk.flushed;
  return disk;
}

std::vector<Event> read_log(const fs::path& log, const std::string& root) {
  std::vector<Event> events;
  std::ifstream in(log);
  for (std::string line; std::getline(in, line);) {
    if (line.size() < 2 || (line[0] != 'E' && events.empty())) continue;
    std::istringstream fields(line.substr(2));
    std::string a, b;
    fields >> a >> b;
    std::string rest;
    std::getline(fields >> std::ws, rest);
    switch (line[0]) {
      case 'E': {
        std::string call = line.substr(line.find(' ', 2) + 1);
        for (std::size_t at; (at = call.find(root + "/")) != std::string::npos;) call.erase(at, root.size() + 1);
        events.push_back({call, {}, {}, {}, {}});
        break;
      }
      case 'L': events.back().listings.push_back({a, {b == "F", {}}}); break;
      case 'D': events.back().listings.back().second.second[rest] = {a, b[0]}; break;
      case 'S': events.back().copies.push_back({a, b}); break;
      case 'T': events.back().changed.push_back(a); break;
      case 'P':
        for (std::size_t i = 0; i + 1 < a.size(); i += 2)
          events.back().printed += static_cast<char>(std::stoi(a.substr(i, 2), nullptr, 16));
        break;
    }
  }
  return events;
}

// Kyber-1024: the secret key is indcpa_sk (1536 bytes) || pk (1568) || H(pk) || z.
bool one_pair(const ByteBuffer& pub, const ByteBuffer& prv) {
  return pub.size() == 1568 && prv.size() == 3168 && std::equal(pub.begin(), pub.end(), prv.begin() + 1536);
}

class PowerCut : public test::ProgramTest {
 protected:
  PowerCut() {
    write_file(home_ / "carrier.png", test::make_png(16, 16, 3));
    write_file(home_ / "input.bin", test::noise(200000, 7));
  }

  void run_plain(const std::vector<std::string>& args) { ASSERT_EQ(run(args).status, 0); }

  // Runs the program once under the recorder, then cuts the power after each
  // logged call. `target` is the output (a name in the program's folder), if any.
  void cut_everywhere(const std::vector<std::string>& args, const std::string& target = "") {
    const std::string root = fs::canonical(home_).string();
    Disk disk = durable_now(home_);
    std::optional<ByteBuffer> old;
    if (const auto e = disk.find(target, false); !target.empty() && e) old = disk.content(e->id);
    const fs::path log = dir_.path() / "powercut.log";
    test::RunOptions options;
    options.env = {{"LD_PRELOAD", POWERCUT_RECORDER}, {"POWERCUT_LOG", log.string()}, {"POWERCUT_ROOT", root}};
    // A sanitizer build's runtime would refuse a library loaded ahead of it.
    const char* asan = std::getenv("ASAN_OPTIONS");
    options.env["ASAN_OPTIONS"] = std::string(asan ? asan : "") + ":verify_asan_link_order=0";
    const test::RunResult run = test::run_program(program_, args, options);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const ByteBuffer final_bytes = target.empty() ? ByteBuffer{} : read_file(home_ / target);
    const std::vector<Event> events = read_log(log, root);

    std::map<std::string, std::pair<int, std::string>> found;  // problem -> cut points, the first one
    std::string printed;
    for (std::size_t cut = 0; cut < events.size(); ++cut) {
      disk.apply(events[cut], log.string() + ".snap");
      printed += events[cut].printed;
      for (const bool names_ahead : {false, true}) {
        const std::string model = names_ahead ? "names ahead of data: " : "only what was flushed: ";
        auto problem = [&](const std::string& what, const std::string& detail) {
          auto& [count, first] = found[model + what];
          if (count++ == 0) first = "event " + std::to_string(cut + 1) + " " + events[cut].call + detail;
        };
        auto bytes = [](const std::optional<ByteBuffer>& b) {
          return b ? " (" + std::to_string(b->size()) + " bytes)" : std::string(" (torn)");
        };
        // The output: absent or old, or complete; complete once "[OK]" was printed.
        const bool done = printed.find("[OK]") != std::string::npos;
        if (const auto e = target.empty() ? std::nullopt : disk.find(target, names_ahead)) {
          const auto held = disk.content(e->id);
          const bool complete = held == final_bytes;
          if (!complete && !(old && held == old)) problem(target + " is neither old nor complete", bytes(held));
          else if (done && !complete) problem(target + " is old after [OK] was printed", "");
        } else if (!target.empty() && done) {
          problem(target + " is missing after [OK] was printed", "");
        }
        // The key pair: never two files that are not one pair; there once reported.
        const bool reported = done || printed.find("keys OK") != std::string::npos ||
                              printed.find("keypair generated") != std::string::npos;
        const auto pub = disk.find("keys/kyber.pub", names_ahead), prv = disk.find("keys/kyber.prv", names_ahead);
        if (pub && prv) {
          const auto pub_bytes = disk.content(pub->id), prv_bytes = disk.content(prv->id);
          if (!pub_bytes || !prv_bytes || !one_pair(*pub_bytes, *prv_bytes))
            problem("keys/kyber.pub and keys/kyber.prv are not one pair", ": pub" + bytes(pub_bytes) +
                                                                             ", prv" + bytes(prv_bytes));
        } else if (reported) {
          problem(std::string("the key pair is lost after it was reported: ") + (pub ? "" : "kyber.pub ") +
                      (prv ? "" : "kyber.prv ") + (disk.find("keys", names_ahead) ? "" : "(keys/ itself) ") + "missing",
                  "");
        }
      }
    }
    std::printf("[ powercut ] %zu cut points, each on both disks\n", events.size());
    RecordProperty("cut_points", static_cast<int>(events.size()));
    EXPECT_NE(printed.find("[OK]"), std::string::npos) << "the recorder saw no [OK] printed";
    for (const auto& [what, where] : found)
      ADD_FAILURE() << what << "\n  at " << where.first << " of " << events.size()
                    << " cut points; the first after " << where.second;
  }
};

TEST_F(PowerCut, FirstRunGenkeys) {
  VELLICOR_POSIX_PROGRAM_ONLY("the recorder is preloaded into a Linux program");
  cut_everywhere({"genkeys"});
}

TEST_F(PowerCut, EmbedOntoANewFile) {
  VELLICOR_POSIX_PROGRAM_ONLY("the recorder is preloaded into a Linux program");
  run_plain({"genkeys"});
  cut_everywhere({"embed", path("input.bin"), path("carrier.png"), path("stego.png")}, "stego.png");
}

TEST_F(PowerCut, EmbedOverTheCarrier) {
  VELLICOR_POSIX_PROGRAM_ONLY("the recorder is preloaded into a Linux program");
  run_plain({"genkeys"});
  cut_everywhere({"embed", path("input.bin"), path("carrier.png"), path("carrier.png")}, "carrier.png");
}

TEST_F(PowerCut, ExtractOntoANewFile) {
  VELLICOR_POSIX_PROGRAM_ONLY("the recorder is preloaded into a Linux program");
  run_plain({"genkeys"});
  run_plain({"embed", path("input.bin"), path("carrier.png"), path("stego.png")});
  cut_everywhere({"extract", path("stego.png"), path("back.bin")}, "back.bin");
}

}  // namespace
}  // namespace vellicor

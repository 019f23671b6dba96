// What survives a killed process, what reaches the disk before a name, and
// what concurrent first runs agree on, through the built program.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <cctype>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/program_test.hpp"
#include "tests/support/test_png.hpp"

namespace vellicor {
namespace {

namespace fs = std::filesystem;
using namespace test;

class Durability : public test::ProgramTest {
 protected:
  Durability() {
    carrier_ = test::make_png(16, 16, 3);
    write_file(home_ / "carrier.png", carrier_);
  }

  ByteBuffer carrier_;
};

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Options for a run that is traced or killed on purpose: in a sanitizer build
// its leak check at exit is off (for that run only). The checker stops the
// program's threads with ptrace, which fails under a tracer; and a kill that
// lands while it runs leaves a half-written report ("Unable to get registers
// from thread ...", or an empty file) from its helper process. The same
// commands run untraced and unkilled elsewhere, with the leak check.
test::RunOptions without_leak_check() {
  test::RunOptions options;
  if (const char* asan = std::getenv("ASAN_OPTIONS")) options.env["ASAN_OPTIONS"] = std::string(asan) + ":detect_leaks=0";
  return options;
}

// Under Wine a killed process's files marked for deletion go when the
// wineserver notices that the process is gone, a few milliseconds after its
// parent could already reap it (docs/wine_kill_repro/README.md);
// Windows counts a process as ended only once they are gone. For the Windows
// program the check therefore waits, up to 3 s, until no hidden temporary
// file is left in `folder`; one that stays still fails the check. The waits
// are counted, to be shown at the end.
struct CleanUpWaits {
  int count = 0;
  double longest = 0;
  int empty = 0, complete = 0;  // hidden files that stayed: see set_aside_known_leftovers
};

bool holds_hidden_temporary(const fs::path& folder) {
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(folder, ec))
    if (test::is_pending_name(e.path())) return true;
  return false;
}

void wait_for_wine_clean_up(const fs::path& folder, CleanUpWaits& waits) {
  if (test::windows_program().empty() || !holds_hidden_temporary(folder)) return;
  const auto start = std::chrono::steady_clock::now();
  while (holds_hidden_temporary(folder) && seconds_since(start) < 3.0)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ++waits.count;
  waits.longest = std::max(waits.longest, seconds_since(start));
}

// What a kill may leave beside the target, and only that, is counted and set
// aside; anything else left still fails. Where an existing target is replaced
// (`complete` is given), a kill between the two steps (the hidden name, then
// the rename over the target) leaves the complete new file under its hidden
// name on both platforms; the target itself stays old. Windows has no unnamed
// files and no call that creates a file already marked for deletion in a way
// that can be undone (Wine refuses the ...Ex forms): there a kill between the
// creation of the hidden temporary file and its mark also leaves it empty.
void set_aside_known_leftovers(const fs::path& folder, CleanUpWaits& waits,
                               const std::function<bool(const fs::path&)>& complete) {
  std::error_code ec;
  std::vector<fs::path> known;
  for (const fs::directory_entry& e : fs::directory_iterator(folder, ec)) {
    if (!test::is_pending_name(e.path())) continue;
    if (!test::windows_program().empty() && fs::file_size(e.path(), ec) == 0) {
      ++waits.empty;
      known.push_back(e.path());
    } else if (complete && complete(e.path())) {
      ++waits.complete;
      known.push_back(e.path());
    }
  }
  for (const fs::path& p : known) fs::remove(p, ec);
}

// Kills a run of the program at `moments` points spread over its usual
// duration (and one past it), and after each calls `check` with the kill's
// index. `reset` puts the folder back between runs. The timing run is not
// killed and keeps the leak check.
template <class Check, class Reset>
void kill_at_moments(const fs::path& program, const std::vector<std::string>& args, int moments, Check check,
                     Reset reset, CleanUpWaits& waits, const std::function<bool(const fs::path&)>& complete = {}) {
  // A start Wine did not get going is made again, twice at most in a call.
  int wine_retries = 2;
  auto wine_failed = [&](int status, const std::string& output, int i) {
    if (!test::wine_started_nothing(status, output) || wine_retries-- == 0) return false;
    std::cout << "[   NOTE   ] " << (i < 0 ? "timing run" : "kill " + std::to_string(i)) << ": Wine started nothing (status "
              << status << "); made again\n";
    return true;
  };
  std::string output;
  auto start = std::chrono::steady_clock::now();
  int status = test::wait_program(test::start_program(program, args), &output);
  while (wine_failed(status, output, -1)) {  // its output is empty: nothing to clear
    start = std::chrono::steady_clock::now();
    status = test::wait_program(test::start_program(program, args), &output);
  }
  ASSERT_EQ(status, 0) << output;
  const double duration = seconds_since(start);
  reset();
  const test::RunOptions killed = without_leak_check();
  for (int i = 0; i <= moments; ++i) {
    const int pid = test::start_program(program, args, killed);
    std::this_thread::sleep_for(std::chrono::duration<double>(duration * i / moments));
    ::kill(pid, SIGKILL);
    output.clear();
    status = test::wait_program(pid, &output);
    if (wine_failed(status, output, i)) {
      reset();
      --i;
      continue;
    }
    EXPECT_TRUE(status == -SIGKILL || status == 0) << "kill " << i << ": status " << status << "\n" << output;
    wait_for_wine_clean_up(program.parent_path(), waits);
    set_aside_known_leftovers(program.parent_path(), waits, complete);
    check(i);
    reset();
  }
}

TEST_F(Durability, AKilledRunLeavesTheTargetOldOrCompleteAndNothingElse) {
  const ByteBuffer input = test::noise(24u << 20, 99);
  write_file(home_ / "input.bin", input);
  ASSERT_EQ(run({"genkeys"}).status, 0);
  const std::string before = listing();
  const std::uintmax_t stego_size = carrier_.size() + 12 + 1606 + input.size();
  const int kMoments = 20;
  CleanUpWaits waits;

  // A finished stego must be whole: its size, and the input back out of it.
  auto stego_is_complete = [&](const std::string& name) {
    std::error_code ec;
    if (fs::file_size(home_ / name, ec) != stego_size) return false;
    RunResult r = run({"extract", path(name), path("check.bin")});
    const bool same = r.status == 0 && read_file(home_ / "check.bin") == input;
    fs::remove(home_ / "check.bin", ec);
    return same;
  };

  SCOPED_TRACE("embed into a new file");
  int completed = 0;
  kill_at_moments(
      program_, {"embed", path("input.bin"), path("carrier.png"), path("stego.png")}, kMoments,
      [&](int i) {
        const std::string now = listing();
        if (now == before) return;
        EXPECT_EQ(now, test::as_installed("carrier.png input.bin keys stego.png vellicor")) << "kill " << i;
        EXPECT_TRUE(stego_is_complete("stego.png")) << "kill " << i;
        ++completed;
      },
      [&] { fs::remove(home_ / "stego.png"); }, waits);
  EXPECT_LE(completed, kMoments) << "no kill landed during the run";

  SCOPED_TRACE("embed over the carrier itself");
  kill_at_moments(
      program_, {"embed", path("input.bin"), path("carrier.png"), path("carrier.png")}, kMoments,
      [&](int i) {
        EXPECT_EQ(listing(), before) << "kill " << i;
        if (read_file(home_ / "carrier.png") != carrier_) {
          EXPECT_TRUE(stego_is_complete("carrier.png")) << "kill " << i;
        }
      },
      [&] { write_file(home_ / "carrier.png", carrier_); }, waits,
      [&](const fs::path& p) { return stego_is_complete(p.filename().string()); });

  SCOPED_TRACE("extract");
  ASSERT_EQ(run({"embed", path("input.bin"), path("carrier.png"), path("stego.png")}).status, 0);
  const std::string with_stego = listing();
  kill_at_moments(
      program_, {"extract", path("stego.png"), path("back.bin")}, kMoments,
      [&](int i) {
        const std::string now = listing();
        if (now == with_stego) return;
        EXPECT_EQ(now, test::as_installed("back.bin carrier.png input.bin keys stego.png vellicor")) << "kill " << i;
        EXPECT_TRUE(read_file(home_ / "back.bin") == input) << "kill " << i;
      },
      [&] { fs::remove(home_ / "back.bin"); }, waits);
  std::printf("a hidden file was there after reaping at %d of %d kills; longest wait %.3f s (3 s: it stayed); "
              "set aside: %d empty, %d complete\n",
              waits.count, 3 * (kMoments + 1), waits.longest, waits.empty, waits.complete);
}

// Pieces of strace lines: the number after `prefix` ("linkat(5, ..." -> "5"),
// the first quoted text, the folder descriptor just before a quoted name
// ("renameat(4, \"a\", 4, \"b\")" -> "4" for b), and the result after the
// last " = ".
std::string number_after(const std::string& line, const std::string& prefix) {
  if (line.rfind(prefix, 0) != 0) return "";
  std::size_t end = prefix.size();
  while (end < line.size() && std::isdigit(static_cast<unsigned char>(line[end]))) ++end;
  return line.substr(prefix.size(), end - prefix.size());
}
std::string first_quoted(const std::string& line) {
  const std::size_t open = line.find('"');
  const std::size_t close = open == std::string::npos ? open : line.find('"', open + 1);
  return close == std::string::npos ? "" : line.substr(open, close - open + 1);
}
std::string folder_before(const std::string& line, const std::string& quoted) {
  const std::size_t at = line.find(", " + quoted);
  if (at == std::string::npos) return "";
  std::size_t start = at;
  while (start > 0 && std::isdigit(static_cast<unsigned char>(line[start - 1]))) --start;
  return line.substr(start, at - start);
}
std::string result_of(const std::string& line) {
  const std::size_t eq = line.rfind(" = ");
  return eq == std::string::npos ? "" : line.substr(eq + 3);
}

// From an strace log: the file that takes the name `name` was flushed before
// it got the name, and the folder it was named in was flushed after.
void expect_flushed_before_named(const std::vector<std::string>& log, const std::string& name) {
  SCOPED_TRACE(name);
  const std::string quoted = "\"" + name + "\"";
  // The line that names it: a link of the file, or a rename of its temporary name.
  std::size_t named = log.size();
  for (std::size_t i = 0; i < log.size(); ++i) {
    const std::string& l = log[i];
    if ((l.rfind("linkat(", 0) == 0 || l.rfind("renameat", 0) == 0) && !folder_before(l, quoted).empty() &&
        result_of(l) == "0")
      named = i;
  }
  ASSERT_LT(named, log.size()) << "nothing gave the name";
  const std::string folder = folder_before(log[named], quoted);
  // The file descriptor of the content: the linked one, or the one the
  // temporary name was linked or opened with.
  std::string fd = number_after(log[named], "linkat(");
  if (fd.empty()) {
    const std::string temp = first_quoted(log[named]);
    for (std::size_t i = 0; i < named; ++i) {
      if (log[i].find(", " + temp) != std::string::npos && !number_after(log[i], "linkat(").empty())
        fd = number_after(log[i], "linkat(");
      if (log[i].rfind("openat(" + folder + ", " + temp + ",", 0) == 0) fd = result_of(log[i]);
    }
  }
  ASSERT_FALSE(fd.empty()) << log[named];
  bool flushed = false;
  for (std::size_t i = 0; i < named; ++i)
    if (log[i] == "fsync(" + fd + ") = 0") flushed = true;
  EXPECT_TRUE(flushed) << "no fsync(" << fd << ") before: " << log[named];
  bool folder_flushed = false;
  for (std::size_t i = named + 1; i < log.size(); ++i) folder_flushed |= log[i] == "fsync(" + folder + ") = 0";
  EXPECT_TRUE(folder_flushed) << "folder not flushed after: " << log[named];
}

std::vector<std::string> strace_run(const fs::path& program, const std::vector<std::string>& args,
                                    const fs::path& log_path) {
  std::vector<std::string> full = {"-o", log_path.string(), "-e",
                                   "trace=openat,fsync,fdatasync,linkat,rename,renameat,renameat2", program.string()};
  full.insert(full.end(), args.begin(), args.end());
  RunResult r = test::run_program("/usr/bin/strace", full, without_leak_check());
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines;
  std::ifstream in(log_path);
  // strace pads the result into a column: "fsync(6)        = 0".
  for (std::string line; std::getline(in, line);) {
    const std::size_t eq = line.rfind(" = ");
    if (eq != std::string::npos) {
      std::size_t start = eq;
      while (start > 0 && line[start - 1] == ' ') --start;
      line.erase(start, eq - start);
    }
    lines.push_back(line);
  }
  return lines;
}

TEST_F(Durability, EachOutputIsFlushedBeforeItTakesItsNameAndItsFolderAfter) {
  VELLICOR_POSIX_PROGRAM_ONLY("reads the Linux system calls (fsync, rename) with strace");
  std::error_code ec;
  if (!fs::exists("/usr/bin/strace", ec)) GTEST_SKIP() << "strace is not installed";
  write_file(home_ / "input.bin", test::noise(300000, 5));
  const fs::path log = dir_.path() / "strace.log";

  auto lines = strace_run(program_, {"genkeys"}, log);
  expect_flushed_before_named(lines, "kyber.pub");
  expect_flushed_before_named(lines, "kyber.prv");

  // A new stego, then one over an existing file (named through a temporary name).
  for (int round = 0; round < 2; ++round) {
    lines = strace_run(program_, {"embed", path("input.bin"), path("carrier.png"), path("stego.png")}, log);
    expect_flushed_before_named(lines, "stego.png");
    lines = strace_run(program_, {"extract", path("stego.png"), path("back.bin")}, log);
    expect_flushed_before_named(lines, "back.bin");
  }
  EXPECT_EQ(read_file(home_ / "back.bin"), read_file(home_ / "input.bin"));
}

// Ten runs at once on a fresh install all make or take the key pair; every
// round ends with one matching pair, and every stego opens with it.
TEST_F(Durability, ConcurrentFirstRunsAgreeOnOneKeyPair) {
  write_file(home_ / "input.bin", std::string_view("sealed by one of ten"));
  constexpr int kRounds = 50, kRuns = 10;
  for (int round = 0; round < kRounds; ++round) {
    fs::remove_all(home_ / "keys");
    std::vector<int> pids;
    auto args = [&](int i) {
      return std::vector<std::string>{"embed", path("input.bin"), path("carrier.png"), path("s" + std::to_string(i) + ".png")};
    };
    for (int i = 0; i < kRuns; ++i) pids.push_back(test::start_program(program_, args(i)));
    for (int i = 0; i < kRuns; ++i) {
      std::string output;
      int status = test::wait_program(pids[i], &output);
      if (test::wine_started_nothing(status, output)) {
        std::cout << "[   NOTE   ] round " << round << " run " << i << ": Wine started nothing (status " << status
                  << "); run again\n";
        status = run(args(i)).status;
      }
      EXPECT_EQ(status, 0) << "round " << round << " run " << i << ":\n" << output;
    }
    const ByteBuffer pub = read_file(home_ / "keys" / "kyber.pub");
    const ByteBuffer prv = read_file(home_ / "keys" / "kyber.prv");
    ASSERT_EQ(pub.size(), 1568u);
    ASSERT_EQ(prv.size(), 3168u);
    ASSERT_TRUE(std::equal(pub.begin(), pub.end(), prv.begin() + 1536)) << "round " << round;
    EXPECT_EQ(test::list_dir(home_ / "keys"), "kyber.prv kyber.pub") << "round " << round;
    for (int i = 0; i < kRuns; ++i) {
      const std::string stego = path("s" + std::to_string(i) + ".png");
      EXPECT_EQ(run({"extract", stego, path("back.bin")}).status, 0) << "round " << round << " run " << i;
      EXPECT_EQ(test::read_text(home_ / "back.bin"), "sealed by one of ten");
    }
  }
}

}  // namespace
}  // namespace vellicor

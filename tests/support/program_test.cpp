#include "tests/support/program_test.hpp"

#include <unistd.h>

namespace vellicor::test {

ProgramTest::ProgramTest(const std::string& work_folder)
    : program_(install_program_copy(dir_.path())), home_(program_.parent_path()) {
  if (!work_folder.empty()) {
    work_ = dir_ / work_folder;
    std::filesystem::create_directories(work_);
  }
}

RunResult ProgramTest::run(const std::vector<std::string>& args, RunOptions options) const {
  if (options.cwd.empty()) options.cwd = work_;
  return run_program(program_, args, options);
}

std::optional<unsigned> ProgramTest::unprivileged_user() const {
  if (::geteuid() != 0) return std::nullopt;
  for (std::filesystem::path p = home_; p != dir_.path().parent_path(); p = p.parent_path())
    std::filesystem::permissions(p, std::filesystem::perms(0755));
  RunOptions nobody;
  nobody.run_as_uid = 65534u;
  const int status = run({"--version"}, nobody).status;
  if (status == 0) return nobody.run_as_uid;
  [status] { GTEST_SKIP() << "cannot run the program as user 65534 here (status " << status << ")"; }();
  return std::nullopt;
}

void give_to_nobody(const std::filesystem::path& p) {
  EXPECT_EQ(::lchown(p.c_str(), 65534, 65534), 0) << p;
  if (std::filesystem::is_directory(std::filesystem::symlink_status(p)))
    for (const auto& e : std::filesystem::directory_iterator(p)) give_to_nobody(e.path());
}

}  // namespace vellicor::test

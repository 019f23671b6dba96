#include "tests/support/program_test.hpp"

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

}  // namespace vellicor::test

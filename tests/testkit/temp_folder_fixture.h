// A fresh temporary folder that a GoogleTest test works in: the current
// directory from SetUp to TearDown, removed afterwards. QtTest tests, which
// have no fixtures, hold a TempFolderScope instead.
#pragma once

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace vantelo::testkit {

class TempFolderFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    char previous[PATH_MAX];
    previous_ = getcwd(previous, sizeof previous) ? previous : "/";
    std::string pattern = (std::filesystem::temp_directory_path() / "vantelo-XXXXXX").string();
    folder_ = mkdtemp(pattern.data());
    ASSERT_EQ(chdir(folder_.c_str()), 0);
  }
  void TearDown() override {
    (void)chdir(previous_.c_str());
    std::filesystem::permissions(folder_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add);
    std::filesystem::remove_all(folder_);
  }
  const std::string& Folder() const { return folder_; }

 private:
  std::string previous_;
  std::string folder_;
};

}  // namespace vantelo::testkit

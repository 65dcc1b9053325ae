// A fresh folder for each test, removed with everything in it when the test
// ends. Builds run side by side on one machine: its name is the test's
// plus a random number.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include <gtest/gtest.h>

namespace vaultcat::testsupport {

class TempFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '-');  // "Name/v5" of a parameterised test
    dir_ = std::filesystem::temp_directory_path() /
           ("vaultcat-" + name + "-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::string path(const std::string& relative) const { return (dir_ / relative).string(); }
  std::string writeText(const std::string& relative, const std::string& bytes) const {
    std::ofstream(dir_ / relative, std::ios::binary) << bytes;
    return path(relative);
  }
  std::string readText(const std::string& relative) const {
    std::ifstream in(dir_ / relative, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  std::filesystem::path dir_;
};

}  // namespace vaultcat::testsupport

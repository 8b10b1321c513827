// A fresh directory per test, removed afterwards, and whole-file helpers.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace tessavine::testing {

class TempRoot {
 public:
  explicit TempRoot(const std::string& tag) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = "tessavine-" + tag + "-" + std::to_string(::getpid()) + "-" +
                       info->test_suite_name() + "-" + info->name();
    for (char& c : name) c = c == '/' ? '_' : c;
    // Commits sync every file: a memory file system keeps the many small commits quick.
    const bool shm = std::getenv("TMPDIR") == nullptr && std::filesystem::is_directory("/dev/shm");
    dir_ = (shm ? std::filesystem::path("/dev/shm") : std::filesystem::temp_directory_path()) / name;
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  ~TempRoot() { std::error_code ec; std::filesystem::remove_all(dir_, ec); }
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::filesystem::path& path() const { return dir_; }
  std::filesystem::path operator/(const std::string& name) const { return dir_ / name; }

 private:
  std::filesystem::path dir_;
};

inline void write_file(const std::filesystem::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace tessavine::testing

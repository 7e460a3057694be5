// Shared test support: a temporary folder that removes itself, and whole-file
// reads and writes.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace brivane::test {

// A fresh folder under $TMPDIR, named after `tag` and the process number, and
// removed with everything in it when the object ends. A folder of the same
// name left by an ended run of the same process number is cleared first.
class TempDir {
 public:
  explicit TempDir(const std::string& tag = "brivane-test") {
    namespace fs = std::filesystem;
    const fs::path base = fs::temp_directory_path() / (tag + "-" + std::to_string(getpid()));
    fs::create_directories(base);
    std::string pattern = (base / "XXXXXX").string();
    if (!mkdtemp(pattern.data())) ADD_FAILURE() << "mkdtemp failed under " << base;
    path_ = pattern;
    base_ = base.string();
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
    std::filesystem::remove(base_, ec);  // only when no other TempDir of this process uses it
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_, base_;
};

// A test fixture owning one TempDir, `dir`.
class TempDirTest : public ::testing::Test {
 protected:
  TempDir dir;
};

inline std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void writeAll(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

}  // namespace brivane::test

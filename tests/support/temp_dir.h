// Shared test support: a temporary folder that removes itself, whole-file reads and writes.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace brivane::test {

// A fresh folder under $TMPDIR/<tag>-<process number>, removed with its
// contents when the object ends (the parent too once no other uses it).
class TempDir {
 public:
  explicit TempDir(const std::string& tag = "brivane-test")
      : base_((std::filesystem::temp_directory_path() / (tag + "-" + std::to_string(getpid()))).string()),
        path_(base_ + "/XXXXXX") {
    std::filesystem::create_directories(base_);
    if (!mkdtemp(path_.data())) ADD_FAILURE() << "mkdtemp failed under " << base_;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
    std::filesystem::remove(base_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string base_, path_;
};

// A test fixture owning one TempDir, `dir`.
class TempDirTest : public ::testing::Test {
 protected:
  TempDir dir;
};

// What a shell command writes to its standard output (empty when it cannot run).
inline std::string commandOutput(const std::string& command) {
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[512];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
    pclose(pipe);
  }
  return out;
}

inline std::string readAll(const std::string& path) {
  std::ostringstream out;
  out << std::ifstream(path, std::ios::binary).rdbuf();
  return out.str();
}

inline void writeAll(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

}  // namespace brivane::test

// Whole-file replacement: the reader's view (old or new, never a part), what it refuses, and that a name
// planted beside the target is never written through.
#include "file_replace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

class FileReplace : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() / (std::string("kestrum-replace-") + info->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  static std::string read(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // Every entry of the folder but the ones named.
  std::vector<std::string> others(const std::vector<std::string> &known) const {
    std::vector<std::string> out;
    for (const auto &e : fs::directory_iterator(dir_)) {
      const std::string name = e.path().filename().string();
      if (std::find(known.begin(), known.end(), name) == known.end()) out.push_back(name);
    }
    return out;
  }

  fs::path dir_;
};

TEST_F(FileReplace, ReplacesTheWholeFileAndLeavesNoTemporary) {
  const fs::path target = dir_ / "k.prom";
  std::string error;
  for (const std::string &text : {std::string("first\n"), std::string(3 << 20, 'x'), std::string()}) {
    ASSERT_TRUE(file_replace(target.string(), text, FileAccess::world_readable, &error)) << error;
    EXPECT_EQ(read(target), text);
    EXPECT_TRUE(others({"k.prom"}).empty());
  }
}

#if !defined(_WIN32)
TEST_F(FileReplace, AccessIsTheOneAskedForWhateverTheUmask) {
  const mode_t old = umask(0077);
  const struct {
    FileAccess access;
    mode_t mode;
  } cases[] = {{FileAccess::world_readable, 0644}, {FileAccess::owner_only, 0600}};
  for (const auto &c : cases) {
    const fs::path target = dir_ / "f";
    std::string error;
    ASSERT_TRUE(file_replace(target.string(), "x", c.access, &error)) << error;
    struct stat st {};
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, c.mode);
  }
  umask(old);
}

TEST_F(FileReplace, ALinkAtTheTargetIsReplacedNotWrittenThrough) {
  const fs::path outside = dir_ / "outside";
  { std::ofstream(outside) << "keep"; }
  const fs::path target = dir_ / "k.prom";
  fs::create_symlink(outside, target);
  std::string error;
  ASSERT_TRUE(file_replace(target.string(), "new", FileAccess::world_readable, &error)) << error;
  EXPECT_EQ(read(outside), "keep");
  EXPECT_FALSE(fs::is_symlink(target));
  EXPECT_EQ(read(target), "new");
}

TEST_F(FileReplace, TemporariesNamedTheOldWayAreNeverFollowed) {
  // Links planted under every name the earlier, predictable scheme would use, and some random-looking
  // ones: the replacement must go around them.
  const fs::path outside = dir_ / "outside";
  { std::ofstream(outside) << "keep"; }
  for (const std::string &name : {".k.prom." + std::to_string(getpid()) + ".tmp", std::string(".k.prom.tmp"),
                                  std::string(".k.prom.0000000000000000.tmp")}) {
    fs::create_symlink(outside, dir_ / name);
  }
  std::string error;
  ASSERT_TRUE(file_replace((dir_ / "k.prom").string(), "new", FileAccess::world_readable, &error)) << error;
  EXPECT_EQ(read(outside), "keep");
  EXPECT_EQ(read(dir_ / "k.prom"), "new");
}
#endif

TEST_F(FileReplace, WhatCannotBeReplacedIsRefusedBeforeAndAtTheWrite) {
  fs::create_directories(dir_ / "sub");
  const struct {
    std::string path;
    std::string says;
  } cases[] = {
      {(dir_ / "missing" / "k.prom").string(), "folder"},
      {(dir_ / "sub").string(), "is a folder"},
      {(dir_ / "sub").string() + "/", "names a folder"},
      {"/", "names a folder"},
      {"", "names a folder"},
  };
  for (const auto &c : cases) {
    std::string error;
    EXPECT_FALSE(file_replace_check(c.path, &error)) << c.path;
    EXPECT_NE(error.find("cannot write " + c.path + ": "), std::string::npos) << error;
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
    error.clear();
    EXPECT_FALSE(file_replace(c.path, "x", FileAccess::world_readable, &error)) << c.path;
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
  }
  EXPECT_TRUE(others({"sub"}).empty());
  std::string error;
  EXPECT_TRUE(file_replace_check((dir_ / "new.prom").string(), &error)) << error;
  EXPECT_FALSE(fs::exists(dir_ / "new.prom"));
}

}  // namespace

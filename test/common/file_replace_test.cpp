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

namespace {

TEST_F(FileReplace, ReadingBackTakesOnlyARegularFileWithinItsBound) {
  const fs::path file = dir_ / "state";
  std::string text = "untouched", error;
  EXPECT_EQ(file_read(file.string(), 16, &text, &error), FileRead::missing);
  EXPECT_EQ(text, "untouched");

  std::string error2;
  ASSERT_TRUE(file_replace(file.string(), std::string(16, 's'), FileAccess::owner_only, &error2)) << error2;
  EXPECT_EQ(file_read(file.string(), 16, &text, &error), FileRead::ok) << error;
  EXPECT_EQ(text, std::string(16, 's'));
  text = "untouched";
  EXPECT_EQ(file_read(file.string(), 15, &text, &error), FileRead::refused);
  EXPECT_NE(error.find("larger than 15 bytes"), std::string::npos) << error;
  EXPECT_EQ(text, "untouched");

  fs::create_directories(dir_ / "folder");
  EXPECT_EQ(file_read((dir_ / "folder").string(), 16, &text, &error), FileRead::refused);
  EXPECT_NE(error.find("it is a folder"), std::string::npos) << error;

  // Set aside: moved over whatever has the new name.
  ASSERT_TRUE(file_replace((dir_ / "old").string(), "old", FileAccess::owner_only, &error2)) << error2;
  ASSERT_TRUE(file_move(file.string(), (dir_ / "old").string(), &error)) << error;
  EXPECT_EQ(read(dir_ / "old"), std::string(16, 's'));
  EXPECT_FALSE(fs::exists(file));
  EXPECT_FALSE(file_move(file.string(), (dir_ / "old").string(), &error));
  EXPECT_NE(error.find("cannot move " + file.string()), std::string::npos) << error;
}

#if !defined(_WIN32)
TEST_F(FileReplace, ReadingBackRefusesLinksAndPipesWithoutWaiting) {
  const fs::path outside = dir_ / "outside";
  { std::ofstream(outside) << "secret"; }
  fs::create_symlink(outside, dir_ / "link");
  ASSERT_EQ(mkfifo((dir_ / "pipe").c_str(), 0600), 0);
  std::string text, error;
  EXPECT_EQ(file_read((dir_ / "link").string(), 1024, &text, &error), FileRead::refused);
  EXPECT_NE(error.find("it is a link"), std::string::npos) << error;
  EXPECT_EQ(file_read((dir_ / "pipe").string(), 1024, &text, &error), FileRead::refused);
  EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
  EXPECT_EQ(text, "");
  // A link among the folders above is followed: only the last name is ours to judge.
  fs::create_directories(dir_ / "real");
  { std::ofstream(dir_ / "real" / "f") << "via"; }
  fs::create_directory_symlink(dir_ / "real", dir_ / "alias");
  EXPECT_EQ(file_read((dir_ / "alias" / "f").string(), 1024, &text, &error), FileRead::ok) << error;
  EXPECT_EQ(text, "via");
}
#endif

}  // namespace

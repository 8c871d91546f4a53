// The lock between processes: a held lock makes the next taker wait its bound and fail with the reason,
// gives way once released, and its file is never opened through a link.
#include "file_lock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

class Lock : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           (std::string("kestrum-lock-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(Lock, AHeldLockMakesTheNextWaitThenGivesWay) {
  const std::string guarded = (dir_ / "state").string();
  FileLock first, second;
  std::string error;
  ASSERT_TRUE(file_lock(guarded, 0, &first, &error)) << error;
  EXPECT_TRUE(fs::exists(guarded + ".lock"));
  EXPECT_FALSE(fs::exists(guarded)) << "the guarded file itself is not touched";

  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(file_lock(guarded, 200, &second, &error));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(200));
  EXPECT_NE(error.find("cannot lock " + guarded + ": another process has held it for 200 ms"),
            std::string::npos)
      << error;

  // Released while the second waits: it gets the lock then, well within its bound.
  std::thread release([&first] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    file_unlock(&first);
  });
  EXPECT_TRUE(file_lock(guarded, 10000, &second, &error)) << error;
  release.join();
  file_unlock(&second);
  file_unlock(&second);  // a second release is harmless
  EXPECT_TRUE(fs::exists(guarded + ".lock")) << "the lock file stays for the next taker";
}

TEST_F(Lock, ALockFileThatCannotBeOpenedIsAnError) {
  std::string error;
  FileLock lock;
  const std::string missing = (dir_ / "no-such-folder" / "state").string();
  EXPECT_FALSE(file_lock(missing, 0, &lock, &error));
  EXPECT_NE(error.find("cannot lock " + missing + ": "), std::string::npos) << error;
}

#if !defined(_WIN32)
TEST_F(Lock, ALinkPlantedAtTheLockFileIsNotFollowed) {
  const fs::path outside = dir_ / "outside";
  { std::ofstream(outside) << "keep"; }
  fs::create_symlink(outside, dir_ / "state.lock");
  std::string error;
  FileLock lock;
  EXPECT_FALSE(file_lock((dir_ / "state").string(), 0, &lock, &error));
  EXPECT_NE(error.find("state.lock"), std::string::npos) << error;
  std::ifstream in(outside);
  std::string text;
  in >> text;
  EXPECT_EQ(text, "keep");
}
#endif

}  // namespace

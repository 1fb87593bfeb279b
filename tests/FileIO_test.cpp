// The checked file operations the writing commands build their transactions on.
#include "io/FileIO.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "support/TempDir.h"

namespace tessaro {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(FileIOTest, CopiesAndRenamesNeverReplaceAFile) {
  test::TempDir dir;
  const std::string from = dir.write("from", std::string(3 << 20, 'c') + "end").string();
  const std::string taken = dir.write("taken", "keep").string();
  const std::string to = (dir.path() / "to").string();

  ASSERT_EQ(copyFile(from, to, 0640), 0);
  EXPECT_EQ(fs::file_size(to), fs::file_size(from));
  EXPECT_EQ(fs::status(to).permissions() & fs::perms::all, fs::perms(0640));
  EXPECT_EQ(copyFile(from, taken, 0644), EEXIST);
  EXPECT_EQ(copyFile((dir.path() / "missing").string(), (dir.path() / "new").string(), 0644), ENOENT);
  EXPECT_FALSE(fs::exists(dir.path() / "new"));

  EXPECT_EQ(renameNoReplace(to, taken), EEXIST);
  EXPECT_EQ(fs::file_size(taken), 4u);
  EXPECT_EQ(renameNoReplace(to, (dir.path() / "moved").string()), 0);
  EXPECT_EQ(syncFolder(dir.str()), 0);
}

TEST(FileIOTest, RemovesTreesWhoseFoldersAndFilesAreReadOnly) {
  test::TempDir dir;
  const fs::path top = dir.path() / "top";
  dir.write("top/a/b/c/file.txt", "x");
  dir.write("top/a/other.txt", "y");
  fs::create_symlink("/etc/hostname", top / "a/link");
  fs::create_directories(top / "a/b/locked");
  fs::permissions(top / "a/b/c/file.txt", fs::perms::owner_read);
  fs::permissions(top / "a/b/c", fs::perms::owner_read | fs::perms::owner_exec);
  fs::permissions(top / "a/b/locked", fs::perms::none);
  fs::permissions(top / "a", fs::perms::owner_read | fs::perms::owner_exec);

  EXPECT_EQ(removeTree(top.c_str()), 0);
  EXPECT_FALSE(fs::exists(top));
  EXPECT_TRUE(fs::exists("/etc/hostname"));
  EXPECT_EQ(removeTree(top.c_str()), 0);  // already gone
}

TEST(FileIOTest, ALockWaitsForItsHolderAndFollowsAReplacedFile) {
  test::TempDir dir;
  const std::string path = dir.write("archive", "old").string();
  FileLock holder;
  ASSERT_EQ(holder.lock(path, 0ms), 0);
  FileLock waiter;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(waiter.lock(path, 300ms), EWOULDBLOCK);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);

  // A waiter that opened the old file before the holder replaced it ends up locking the new one.
  int waited = -1;
  std::thread second([&] { waited = waiter.lock(path, 5s); });
  std::this_thread::sleep_for(200ms);
  const std::string replacement = dir.write("replacement", "new").string();
  ASSERT_EQ(::rename(replacement.c_str(), path.c_str()), 0);
  holder.unlock();
  second.join();
  ASSERT_EQ(waited, 0);
  struct stat held;
  struct stat named;
  ASSERT_EQ(::fstat(waiter.fd(), &held), 0);
  ASSERT_EQ(::stat(path.c_str(), &named), 0);
  EXPECT_EQ(held.st_ino, named.st_ino);
  EXPECT_EQ(waiter.lock((dir.path() / "missing").string(), 0ms), ENOENT);
}

}  // namespace
}  // namespace tessaro

#include "utils/atomic_file.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "utils/time.hpp"

namespace pelmox {
namespace {

namespace fs = std::filesystem;

class AtomicFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/pelmox-atomic-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  static std::string slurp(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::string dir_;
};

TEST_F(AtomicFile, CreatesAndReplacesKeepingPermissions) {
  const std::string path = dir_ + "/state.json";
  ASSERT_TRUE(write_file_atomic(path, "first").ok());
  EXPECT_EQ(slurp(path), "first");

  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  std::ofstream(path + ".tmp") << "left over from a crash, much longer than the new text";
  ASSERT_EQ(::chmod((path + ".tmp").c_str(), 0644), 0);
  ASSERT_TRUE(write_file_atomic(path, "second").ok());
  EXPECT_EQ(slurp(path), "second");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_FALSE(fs::exists(path + ".tmp"));
}

TEST_F(AtomicFile, FailureCarriesSystemErrorAndKeepsTarget) {
  auto missing_dir = write_file_atomic(dir_ + "/no/such/dir/f.json", "x");
  ASSERT_FALSE(missing_dir.ok());
  EXPECT_NE(missing_dir.error().message.find("No such file or directory"), std::string::npos)
      << missing_dir.error().message;

  // A directory in the target's place: the rename fails, the temporary file is cleaned up.
  const std::string target = dir_ + "/occupied";
  fs::create_directories(target + "/child");
  auto blocked = write_file_atomic(target, "x");
  ASSERT_FALSE(blocked.ok());
  EXPECT_TRUE(fs::is_directory(target + "/child"));
  EXPECT_FALSE(fs::exists(target + ".tmp"));
}

TEST(Time, NowAndLocalDate) {
  EXPECT_GT(unix_now_secs(), 1600000000u);
  std::string date = local_date();
  ASSERT_EQ(date.size(), 10u) << date;
  for (std::size_t i = 0; i < date.size(); ++i) {
    if (i == 4 || i == 7)
      EXPECT_EQ(date[i], '-') << date;
    else
      EXPECT_TRUE(date[i] >= '0' && date[i] <= '9') << date;
  }
}

}  // namespace
}  // namespace pelmox

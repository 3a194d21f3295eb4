#include "utils/paths.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

namespace pelmox {
namespace {

// Sets HOME and USERPROFILE for one test and puts the old values back.
class HomeEnv {
 public:
  HomeEnv(std::optional<std::string> home, std::optional<std::string> profile)
      : old_home_(get("HOME")), old_profile_(get("USERPROFILE")) {
    set("HOME", home);
    set("USERPROFILE", profile);
  }
  ~HomeEnv() {
    set("HOME", old_home_);
    set("USERPROFILE", old_profile_);
  }

 private:
  static std::optional<std::string> get(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::optional<std::string>(v) : std::nullopt;
  }
  static void set(const char* name, const std::optional<std::string>& v) {
    if (v)
      ::setenv(name, v->c_str(), 1);
    else
      ::unsetenv(name);
  }
  std::optional<std::string> old_home_, old_profile_;
};

TEST(Paths, ExpandTilde) {
  struct Case {
    std::optional<std::string> home, profile;
    std::string in, out;
  };
  const Case cases[] = {
      {"/h", {}, "~", "/h"},       {"/h", {}, "~/a/b", "/h/a/b"},
      {"/h//", {}, "~/a", "/h/a"},                                    // trailing slashes of home collapse
      {"/", {}, "~/a", "/a"},      {"/h", {}, "~user/a", "~user/a"},  // other users' homes are not looked up
      {"/h", {}, "~\\a", "~\\a"},  {"/h", {}, "/abs/~/x", "/abs/~/x"},
      {"/h", {}, "rel", "rel"},    {"", "/p", "~/a", "~/a"},           // an empty HOME still counts as set
      {{}, "/p", "~/a", "/p/a"},   {"/bad\xFF", "/p", "~/a", "/p/a"},  // HOME that is not text falls through
      {{}, {}, "~/a", "~/a"},
  };
  for (const auto& c : cases) {
    HomeEnv env(c.home, c.profile);
    EXPECT_EQ(expand_tilde(c.in), c.out) << c.in << " with HOME=" << c.home.value_or("<unset>");
  }
}

TEST(Paths, TildeHintOnlyForExpandedTildePaths) {
  EXPECT_EQ(tilde_hint("~/x.txt", "/h/x.txt"),
            " (路径以 ~ 开头，已尝试展开为 '/h/x.txt'，请确认目标存在；或改用绝对路径)");
  EXPECT_EQ(tilde_hint("~/x.txt", "~/x.txt"), "");  // nothing was expanded
  EXPECT_EQ(tilde_hint("/abs/x", "/abs/x"), "");
  EXPECT_EQ(tilde_hint("", ""), "");
}

}  // namespace
}  // namespace pelmox

#include "utils/glob.hpp"

#include <gtest/gtest.h>

namespace pelmox {
namespace {

TEST(Glob, Matching) {
  struct Case {
    const char* pattern;
    const char* text;
    bool match;
  };
  const Case cases[] = {
      {"*.rs", "main.rs", true},
      {"*.rs", "src/a/main.rs", true},  // "*" crosses "/"
      {"*.rs", "main.rsx", false},
      {"a?c", "abc", true},
      {"a?c", "a/c", true},
      {"a?c", "ac", false},
      {"中?", "中文", true},  // one character, not one byte
      {"**/*.rs", "main.rs", true},
      {"**/*.rs", "src/a/b.rs", true},
      {"src/**/*.ts", "src/a.ts", true},
      {"src/**/*.ts", "src/x/y/a.ts", true},
      {"src/**/*.ts", "lib/a.ts", false},
      {"a/**/b", "a/b", true},
      {"a/**/b", "a/x/y/b", true},
      {"a/**/b", "a/xb", false},
      {"a/**", "a/b/c", true},
      {"**", "anything/at/all", true},
      {"[abc]", "b", true},
      {"[!abc]", "b", false},
      {"[!abc]", "d", true},
      {"[a-c]x", "bx", true},
      {"[a-c]x", "dx", false},
      {"[a-]", "-", true},
      {"[]]", "]", true},
      {"[!]]", "]", false},
      {"[!]]", "x", true},
      {"[*]", "*", true},
      {"[*]", "x", false},
      {"[[]", "[", true},
      {"*", ".hidden", true},
      {"Foo", "foo", false},
      {"*", "\xFF", false},
      {"", "", true},
      {"", "a", false},
      {"*a*b*c*d*e*f*", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},
  };
  for (const auto& c : cases) {
    auto g = Glob::compile(c.pattern);
    ASSERT_TRUE(g.ok()) << c.pattern << ": " << g.error().message;
    EXPECT_EQ(g->matches(c.text), c.match) << c.pattern << " vs " << c.text;
  }
}

TEST(Glob, CompileErrorsDescribeTheProblem) {
  for (const char* bad : {"[", "[]", "[!]", "a[b", "***", "a**", "**a", "a/**b"}) {
    auto g = Glob::compile(bad);
    ASSERT_FALSE(g.ok()) << bad;
    EXPECT_NE(g.error().message.find("position"), std::string::npos) << g.error().message;
  }
  EXPECT_NE(Glob::compile("[").error().message.find("never closed"), std::string::npos);
}

}  // namespace
}  // namespace pelmox

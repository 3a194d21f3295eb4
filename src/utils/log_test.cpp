#include "utils/log.hpp"

#include <regex>

#include <gtest/gtest.h>

namespace pelmox {
namespace {

using spdlog::level::level_enum;

TEST(LogFilter, ParsesDirectivesAndPicksTheMostSpecific) {
  struct Case {
    std::string filter;
    std::string target;
    level_enum expected;
  };
  const std::vector<Case> cases = {
      {"debug", "pelmox::agent", level_enum::debug},
      {"WARN", "pelmox::agent", level_enum::warn},
      {"Off", "pelmox", level_enum::off},
      {"pelmox=debug", "pelmox::agent", level_enum::debug},
      {"pelmox=debug", "pelmox", level_enum::debug},
      {"pelmox=debug", "pelmoxy", level_enum::off},  // a child is "pelmox::...", not any longer name
      {"pelmox::agent=debug", "pelmox::server", level_enum::off},
      {"info,pelmox::agent=trace", "pelmox::agent", level_enum::trace},
      {"info,pelmox::agent=trace", "pelmox::agent::loop", level_enum::trace},
      {"info,pelmox::agent=trace", "pelmox::server", level_enum::info},
      {"pelmox::agent=error,pelmox=debug", "pelmox::agent", level_enum::err},
      {"pelmox=debug,pelmox::agent=error", "pelmox::mcp", level_enum::debug},
      {"pelmox::agent", "pelmox::agent", level_enum::trace},  // a bare target enables everything for it
      {"error,pelmox::eventbus", "pelmox::eventbus", level_enum::trace},
      {" info , pelmox = warn ,", "pelmox::x", level_enum::warn},
  };
  for (const auto& c : cases) {
    auto f = parse_log_filter(c.filter);
    ASSERT_TRUE(f) << c.filter;
    EXPECT_EQ(f->level_for(c.target), c.expected) << c.filter << " for " << c.target;
  }

  for (const std::string bad : {"", " , ", "loud!", "pelmox=loud", "info,pelmox=", "=debug", "pelmox[span]=info",
                                "a b", "info,{x}"}) {
    EXPECT_FALSE(parse_log_filter(bad)) << bad;
  }
}

TEST(LogFilter, InvalidFilterFallsBackToTheDefault) {
  struct Case {
    LogSettings settings;
    level_enum expected;
  };
  const std::vector<Case> cases = {
      {{.verbose = false}, level_enum::info},
      {{.verbose = true}, level_enum::debug},
      {{.verbose = true, .filter = "warn"}, level_enum::warn},
      {{.verbose = true, .filter = "garbage here"}, level_enum::debug},
      {{.verbose = false, .filter = "pelmox=nope"}, level_enum::info},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(effective_log_filter(c.settings).level_for("pelmox::agent"), c.expected)
        << c.settings.filter.value_or("<unset>");
  }
}

TEST(Logging, WritesOneLinePerEventWithTimestampLevelAndTarget) {
  spdlog::logger& early = logger("logtest_early");
  EXPECT_EQ(early.level(), level_enum::info);  // before init_logging

  init_logging({.verbose = false, .filter = "info,pelmox::logtest=debug", .color = false});
  EXPECT_EQ(early.level(), level_enum::info);
  spdlog::logger& log = logger("logtest");
  EXPECT_EQ(&log, &logger("logtest"));

  testing::internal::CaptureStdout();
  log.info("hello {}", 1);
  log.warn("careful");
  log.debug("details");
  log.trace("hidden");
  early.debug("hidden too");
  const std::string out = testing::internal::GetCapturedStdout();

  const std::regex layout(
      "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{6}Z  INFO pelmox::logtest: hello 1\n"
      "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{6}Z  WARN pelmox::logtest: careful\n"
      "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{6}Z DEBUG pelmox::logtest: details\n");
  EXPECT_TRUE(std::regex_match(out, layout)) << out;

  // Re-initialising re-levels existing loggers; colour codes surround the level only.
  init_logging({.verbose = true, .color = true});
  testing::internal::CaptureStdout();
  early.debug("now shown");
  const std::string coloured = testing::internal::GetCapturedStdout();
  EXPECT_NE(coloured.find("\x1b["), std::string::npos) << coloured;
  EXPECT_NE(coloured.find("DEBUG\x1b[m pelmox::logtest_early: now shown\n"), std::string::npos) << coloured;

  init_logging({});
}

}  // namespace
}  // namespace pelmox

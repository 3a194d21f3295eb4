// fake_provider [--host 127.0.0.1] [--port N] [--script FILE.json | --tool-rounds N] [--loop]
// Serves scripted model replies until SIGTERM or SIGINT.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include <pthread.h>

#include "fakes/fake_provider.hpp"

namespace {

constexpr const char* kUsage =
    "usage: fake_provider [--host 127.0.0.1] [--port N] [--script FILE.json | --tool-rounds N] [--loop]\n";

int usage_error(const std::string& message) {
  std::cerr << "fake_provider: " << message << "\n" << kUsage;
  return 2;
}

int script_error(const std::string& message) {
  std::cerr << "fake_provider: " << message << "\n";
  return 2;
}

bool parse_number(const std::string& text, long min, long max, long& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || v < min || v > max) return false;
  out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string host = "127.0.0.1";
  long port = 0;
  std::string script_file;
  long tool_rounds = -1;
  bool loop = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string v;
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (arg == "--loop") {
      loop = true;
    } else if (arg == "--host") {
      if (!value(host)) return usage_error("--host needs a value");
    } else if (arg == "--port") {
      if (!value(v) || !parse_number(v, 0, 65535, port)) return usage_error("--port needs a number from 0 to 65535");
    } else if (arg == "--script") {
      if (!value(script_file)) return usage_error("--script needs a file");
    } else if (arg == "--tool-rounds") {
      if (!value(v) || !parse_number(v, 0, 1'000'000, tool_rounds)) {
        return usage_error("--tool-rounds needs a number from 0 to 1000000");
      }
    } else {
      return usage_error("unknown argument '" + arg + "'");
    }
  }
  if (!script_file.empty() && tool_rounds >= 0) return usage_error("--script and --tool-rounds exclude each other");

  pelmox::fake::FakeProvider provider;
  if (!script_file.empty()) {
    std::ifstream in(script_file, std::ios::binary);
    if (!in) return script_error("cannot read script " + script_file);
    std::stringstream text;
    text << in.rdbuf();
    auto j = nlohmann::json::parse(text.str(), nullptr, false);
    if (j.is_discarded()) return script_error("script " + script_file + " is not valid JSON");
    std::string error;
    auto replies = pelmox::fake::try_parse_script(j, error);
    if (!replies) return script_error("script " + script_file + ": " + error);
    provider.script(std::move(*replies));
  } else if (tool_rounds >= 0) {
    provider.script(pelmox::fake::tool_rounds_script(static_cast<int>(tool_rounds)));
  }
  provider.set_loop(loop);

  // Block the stop signals before the server thread exists so only sigwait below receives them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  if (provider.start(static_cast<unsigned short>(port), host) == 0) {
    std::cerr << "fake_provider: " << provider.last_error() << "\n";
    return 1;
  }
  std::cout << "fake_provider listening on " << provider.base_url() << std::endl;

  int received = 0;
  sigwait(&stop_signals, &received);
  provider.stop();
  return 0;
}

#pragma once
// Runs the real pelmox executable as a child process with its own working directory, environment and standard
// input, and collects what it printed. Test-only.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace pelmox::test {

struct ChildResult {
  int status = -1;  // exit status, or -1 when it was killed
  std::string out;
  std::string err;
};

struct ChildSpec {
  std::vector<std::string> args;               // without the program
  std::filesystem::path cwd;
  std::map<std::string, std::string> env_set;  // replaces or adds
  std::vector<std::string> env_unset;
  std::string input;                           // written to standard input, then it is closed
  std::chrono::seconds limit{60};
};

inline ChildResult run_child(const std::string& program, const ChildSpec& spec) {
  int in[2], out[2], err[2];
  if (pipe(in) || pipe(out) || pipe(err)) throw std::runtime_error("pipe failed");
  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string kv(*e);
    auto eq = kv.find('=');
    if (eq != std::string::npos) env[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  for (const auto& k : spec.env_unset) env.erase(k);
  for (const auto& [k, v] : spec.env_set) env[k] = v;
  std::vector<std::string> env_strings;
  for (const auto& [k, v] : env) env_strings.push_back(k + "=" + v);
  std::vector<char*> envp, argv;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::string prog = program;
  argv.push_back(prog.data());
  std::vector<std::string> args = spec.args;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, in[0], 0);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err[1], 2);
  for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) posix_spawn_file_actions_addclose(&fa, fd);
  if (!spec.cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, spec.cwd.c_str());
  pid_t pid = 0;
  int rc = posix_spawn(&pid, prog.c_str(), &fa, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (rc != 0) throw std::runtime_error(std::string("spawn failed: ") + std::strerror(rc));

  signal(SIGPIPE, SIG_IGN);
  std::size_t written = 0;
  if (spec.input.empty()) close(in[1]);
  fcntl(in[1], F_SETFL, O_NONBLOCK);
  ChildResult result;
  const auto deadline = std::chrono::steady_clock::now() + spec.limit;
  bool out_open = true, err_open = true, in_open = !spec.input.empty();
  while (out_open || err_open) {
    std::vector<pollfd> fds;
    if (out_open) fds.push_back({out[0], POLLIN, 0});
    if (err_open) fds.push_back({err[0], POLLIN, 0});
    if (in_open) fds.push_back({in[1], POLLOUT, 0});
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      break;
    }
    poll(fds.data(), fds.size(), 100);
    for (auto& p : fds) {
      if (!p.revents) continue;
      if (p.fd == in[1]) {
        ssize_t n = write(in[1], spec.input.data() + written, spec.input.size() - written);
        if (n > 0) written += static_cast<std::size_t>(n);
        if (n < 0 || written == spec.input.size()) {
          close(in[1]);
          in_open = false;
        }
        continue;
      }
      char buf[65536];
      ssize_t n = read(p.fd, buf, sizeof buf);
      std::string& sink = p.fd == out[0] ? result.out : result.err;
      if (n > 0) sink.append(buf, static_cast<std::size_t>(n));
      else (p.fd == out[0] ? out_open : err_open) = false;
    }
  }
  if (in_open) close(in[1]);
  close(out[0]);
  close(err[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// A fresh directory under the system's temporary directory, removed with the object.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "pelmox-it-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }
  void write(const std::string& name, const std::string& text) const {
    std::filesystem::create_directories((path_ / name).parent_path());
    std::ofstream(path_ / name, std::ios::binary) << text;
  }
  std::string read(const std::string& name) const {
    std::ifstream f(path_ / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
  }

 private:
  std::filesystem::path path_;
};

}  // namespace pelmox::test

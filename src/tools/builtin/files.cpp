// The five file-system tools. Mistakes a model can correct itself (a bad glob, a search over too many files)
// come back as ordinary result text saying what to do; missing arguments and system failures are errors.
// Every file-system call runs on the blocking pool, one after another within a call.
//
// Awaited operations are named before the co_await: g++ 12 destroys temporaries inside a co_await expression
// twice.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tools/builtin/builtins.hpp"
#include "tools/builtin/walk.hpp"
#include "utils/glob.hpp"
#include "utils/paths.hpp"
#include "utils/text.hpp"

namespace pelmox {

namespace {

constexpr std::size_t kReadLimit = 100000;
constexpr std::uint64_t kSearchFileLimit = 2097152;
constexpr std::size_t kNulWindow = 4096;
constexpr std::size_t kMaxMatches = 200;
constexpr std::size_t kMatchLineLimit = 160;
constexpr std::size_t kSearchOutputLimit = 24000;
constexpr std::size_t kReadBlock = 64 * 1024;

std::string os_error(int err) {
  return std::strerror(err);
}

// Opens for reading without hanging on a FIFO that has no writer; only regular files are read (a device
// such as /dev/zero would never end).
Result<int> open_regular(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Error(os_error(errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    return Error(os_error(err));
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return Error(S_ISDIR(st.st_mode) ? os_error(EISDIR) : std::string("not a regular file"));
  }
  return fd;
}

struct FileText {
  std::string head;         // the first bytes of the file, at most the `keep` asked for
  std::uint64_t total = 0;  // the file's full length
};

// Reads a whole file as UTF-8 in blocks, so a large file costs only `keep` bytes of memory while every byte is
// still checked. A file longer than `limit` fails.
Result<FileText> read_utf8_file(const std::string& path, std::size_t keep, std::uint64_t limit) {
  auto opened = open_regular(path);
  if (!opened) return opened.error();
  int fd = opened.value();
  FileText out;
  Utf8Validator utf8;
  std::vector<char> block(kReadBlock);
  for (;;) {
    ssize_t n = ::read(fd, block.data(), block.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      return Error(os_error(err));
    }
    if (n == 0) break;
    std::string_view piece(block.data(), static_cast<std::size_t>(n));
    out.total += piece.size();
    if (out.total > limit) {
      ::close(fd);
      return Error("file too large");
    }
    if (!utf8.feed(piece)) {
      ::close(fd);
      return Error("stream did not contain valid UTF-8");
    }
    if (out.head.size() < keep) out.head.append(piece.substr(0, keep - out.head.size()));
  }
  ::close(fd);
  if (!utf8.finish()) return Error("stream did not contain valid UTF-8");
  return out;
}

// The directory that must exist before a file can be created at `path` ("" when it has none).
std::string parent_of(const std::string& path) {
  std::vector<std::string_view> parts;
  std::string_view p(path);
  bool absolute = !p.empty() && p[0] == '/';
  bool leading_dot = false;
  std::size_t i = 0;
  bool first = true;
  while (i <= p.size()) {
    std::size_t end = p.find('/', i);
    if (end == std::string_view::npos) end = p.size();
    std::string_view part = p.substr(i, end - i);
    if (first && part == "." && !absolute)
      leading_dot = true;
    else if (!part.empty() && part != ".")
      parts.push_back(part);
    first = false;
    i = end + 1;
  }
  if (parts.empty()) return "";
  parts.pop_back();
  std::string out = absolute ? "/" : leading_dot ? "./" : "";
  for (std::size_t k = 0; k < parts.size(); ++k) {
    if (k) out += '/';
    out += parts[k];
  }
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out == "./" ? "." : out;
}

void create_dirs(const std::string& dir) {
  for (std::size_t i = 1; i < dir.size(); ++i) {
    if (dir[i] == '/') ::mkdir(dir.substr(0, i).c_str(), 0777);
  }
  ::mkdir(dir.c_str(), 0777);
}

Status write_whole(const std::string& path, const std::string& content) {
  // Non-blocking only for the open, so a FIFO without a reader fails at once instead of parking a worker.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd < 0) return Error(os_error(errno));
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  std::size_t done = 0;
  while (done < content.size()) {
    ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      return Error(os_error(err));
    }
    done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0 && errno != EINTR) return Error(os_error(errno));
  return ok_status();
}

struct ListedEntry {
  std::string name;  // as the system gave it
  bool is_dir = false;
  std::uint64_t size = 0;
};

struct Listing {
  std::vector<ListedEntry> entries;
  std::optional<std::string> open_error;  // the directory could not be opened
  std::optional<std::string> read_error;  // an entry or its metadata could not be read
};

Listing list_entries(const std::string& path) {
  Listing out;
  DIR* dir = ::opendir(path.c_str());
  if (!dir) {
    out.open_error = os_error(errno);
    return out;
  }
  int fd = ::dirfd(dir);
  for (;;) {
    errno = 0;
    dirent* e = ::readdir(dir);
    if (!e) {
      if (errno != 0) out.read_error = os_error(errno);
      break;
    }
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    // The entry itself: a symbolic link is reported as what it is, not as its target.
    if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      out.read_error = os_error(errno);
      break;
    }
    out.entries.push_back({std::move(name), S_ISDIR(st.st_mode), static_cast<std::uint64_t>(st.st_size)});
  }
  ::closedir(dir);
  return out;
}

// The matching lines of one file, at most `room` of them; nothing for a file that is not searched (unreadable,
// too large, not UTF-8 text, or binary by a NUL byte near its start).
std::vector<std::string> search_file(const std::string& path, const std::string& needle, std::size_t room) {
  std::vector<std::string> found;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return found;
  if (static_cast<std::uint64_t>(st.st_size) > kSearchFileLimit) return found;
  auto read = read_utf8_file(path, kSearchFileLimit, kSearchFileLimit);
  if (!read) return found;
  const std::string& text = read.value().head;
  if (std::string_view(text).substr(0, kNulWindow).find('\0') != std::string_view::npos) return found;
  const std::string shown_path = lossy_utf8(path);
  std::size_t start = 0, number = 0;
  while (start < text.size() && found.size() < room) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    ++number;
    if (to_lower(line).find(needle) != std::string::npos) {
      found.push_back(shown_path + ":" + std::to_string(number) + ": " + truncate_str(trim(line), kMatchLineLimit));
    }
    start = end + 1;
  }
  return found;
}

std::string listing_line(const ListedEntry& e, const std::string& name) {
  char size[32];
  std::snprintf(size, sizeof size, "%10llu", static_cast<unsigned long long>(e.size));
  return std::string("[") + (e.is_dir ? "DIR" : "FILE") + "] " + size + "  " + name;
}

// The search root: "." when absent or empty, "~" expanded.
std::string search_root(const json& args) {
  auto path = string_arg(args, "path");
  return expand_tilde(path && !path->empty() ? *path : std::string("."));
}

awaitable<Result<ToolOutput>> read_file(json args) {
  auto given = string_arg(args, "path");
  if (!given) co_return Error("Missing 'path' parameter");
  std::string path = expand_tilde(*given);
  auto reading = on_blocking_pool([path] { return read_utf8_file(path, kReadLimit + 4, UINT64_MAX); });
  auto read = co_await std::move(reading);
  if (!read) co_return Error("Failed to read '" + *given + "': " + read.error().message + tilde_hint(*given, path));
  FileText& file = read.value();
  if (file.total <= kReadLimit) co_return ToolOutput{std::move(file.head), std::nullopt};
  co_return ToolOutput{
      utf8_prefix(file.head, kReadLimit) + "\n\n... (truncated, total " + std::to_string(file.total) + " bytes)",
      std::nullopt};
}

awaitable<Result<ToolOutput>> write_file(json args) {
  auto given = string_arg(args, "path");
  if (!given) co_return Error("Missing 'path' parameter");
  auto content = string_arg(args, "content");
  if (!content) co_return Error("Missing 'content' parameter");
  std::string path = expand_tilde(*given);
  auto writing = on_blocking_pool([path, text = *content]() -> Status {
    // A directory that cannot be created shows up as the write's own failure below.
    std::string parent = parent_of(path);
    if (!parent.empty()) create_dirs(parent);
    return write_whole(path, text);
  });
  auto written = co_await std::move(writing);
  if (!written) {
    co_return Error("Failed to write '" + *given + "': " + written.error().message + tilde_hint(*given, path));
  }
  json data{{"path", path}, {"bytes_written", content->size()}};
  co_return ToolOutput{"Wrote " + std::to_string(content->size()) + " bytes to '" + path + "'", std::move(data)};
}

awaitable<Result<ToolOutput>> list_directory(json args) {
  std::string given = string_arg(args, "path").value_or(".");
  std::string path = expand_tilde(given);
  auto listing_op = on_blocking_pool([path]() -> Result<Listing> { return list_entries(path); });
  auto listed = co_await std::move(listing_op);
  if (!listed || listed.value().open_error) {
    std::string why = listed ? *listed.value().open_error : listed.error().message;
    co_return Error("Failed to read dir '" + given + "': " + why + tilde_hint(given, path));
  }
  Listing& listing = listed.value();
  if (listing.read_error) co_return Error(*listing.read_error);

  json entries = json::array();
  std::vector<std::string> lines;
  for (const ListedEntry& e : listing.entries) {
    std::string name = lossy_utf8(e.name);
    lines.push_back(listing_line(e, name));
    entries.push_back(json{{"name", name}, {"type", e.is_dir ? "directory" : "file"}, {"size", e.size}});
  }
  std::sort(lines.begin(), lines.end());
  std::string text;
  if (lines.empty()) {
    text = "Directory '" + path + "' is empty";
  } else {
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (i) text += '\n';
      text += lines[i];
    }
  }
  co_return ToolOutput{std::move(text), json{{"path", path}, {"entries", std::move(entries)}}};
}

awaitable<Result<ToolOutput>> search_files(json args) {
  auto pattern = string_arg(args, "pattern");
  if (!pattern) co_return Error("Missing 'pattern' parameter");
  auto glob = Glob::compile(*pattern);
  if (!glob) co_return ToolOutput{"[无效 glob 模式] " + glob.error().message, std::nullopt};
  std::string root = search_root(args);
  auto walk = collect_files(root, std::nullopt);
  auto walked = co_await std::move(walk);
  if (!walked) co_return ToolOutput{"[搜索失败] " + walked.error().message, std::nullopt};

  json files = json::array();
  std::string listing;
  for (const WalkedFile& f : walked.value()) {
    if (!glob->matches(f.relative)) continue;
    std::string shown = lossy_utf8(f.path);
    if (!files.empty()) listing += '\n';
    listing += shown;
    files.push_back(std::move(shown));
  }
  if (files.empty()) co_return ToolOutput{"No files found matching the pattern.", std::nullopt};
  std::string text = "Found " + std::to_string(files.size()) + " file(s):\n" + listing;
  co_return ToolOutput{std::move(text), json{{"files", std::move(files)}}};
}

std::string join_lines(const std::vector<std::string>& lines) {
  std::string out;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i) out += '\n';
    out += lines[i];
  }
  return out;
}

awaitable<Result<ToolOutput>> search_content(json args) {
  auto pattern = string_arg(args, "pattern");
  if (!pattern) co_return Error("Missing 'pattern' parameter");
  std::string root = search_root(args);
  std::string needle = to_lower(*pattern);
  auto walk = collect_files(root, string_arg(args, "file_glob"));
  auto walked = co_await std::move(walk);
  if (!walked) co_return ToolOutput{"[搜索失败] " + walked.error().message, std::nullopt};

  std::vector<std::string> matches;
  for (const WalkedFile& f : walked.value()) {
    std::size_t room = kMaxMatches - matches.size();
    auto searching = on_blocking_pool([path = f.path, needle, room]() -> Result<std::vector<std::string>> {
      return search_file(path, needle, room);
    });
    auto found = co_await std::move(searching);
    if (!found) continue;  // a worker that failed counts as an unreadable file
    for (auto& m : found.value()) matches.push_back(std::move(m));
    if (matches.size() >= kMaxMatches) {
      matches.push_back("... (truncated at " + std::to_string(kMaxMatches) + " matches)");
      co_return ToolOutput{"Found " + std::to_string(kMaxMatches) + " match(es):\n" + join_lines(matches),
                           std::nullopt};
    }
  }
  if (matches.empty()) co_return ToolOutput{"No matches found for '" + *pattern + "'.", std::nullopt};
  std::string text = "Found " + std::to_string(matches.size()) + " match(es):\n" + join_lines(matches);
  if (text.size() > kSearchOutputLimit) {
    text = truncate_str(text, kSearchOutputLimit) + "\n... (output truncated, total " + std::to_string(text.size()) +
           " chars)";
  }
  json data{{"count", matches.size()}, {"matches", matches}};
  co_return ToolOutput{std::move(text), std::move(data)};
}

class FileTool final : public Tool {
 public:
  using Run = awaitable<Result<ToolOutput>> (*)(json);

  FileTool(std::string name, std::string description, json parameters, bool approval, Run run)
      : name_(std::move(name)),
        definition_(make_definition(name_, std::move(description), std::move(parameters))),
        approval_(approval),
        run_(run) {}

  std::string name() const override { return name_; }
  ApiTool definition() const override { return definition_; }
  bool requires_approval() const override { return approval_; }
  awaitable<Result<ToolOutput>> execute(json args) override { return run_(std::move(args)); }

 private:
  std::string name_;
  ApiTool definition_;
  bool approval_;
  Run run_;
};

}  // namespace

ToolPtr make_read_file_tool() {
  return std::make_shared<FileTool>("read_file", "Read the full contents of a text file at the given path.",
                                    string_params_schema({{"path", "Path to the file to read"}}, {"path"}), false,
                                    &read_file);
}

ToolPtr make_write_file_tool() {
  return std::make_shared<FileTool>(
      "write_file",
      "Write content to a file at the given path. Creates parent directories if needed. Overwrites existing "
      "content.",
      string_params_schema({{"path", "Path to the file to write"}, {"content", "The content to write to the file"}},
                           {"path", "content"}),
      true, &write_file);
}

ToolPtr make_list_directory_tool() {
  return std::make_shared<FileTool>(
      "list_directory", "List the contents of a directory, showing file names, sizes, and types.",
      string_params_schema({{"path", "Directory path to list (default: current directory)"}}, {}), false,
      &list_directory);
}

ToolPtr make_search_files_tool() {
  return std::make_shared<FileTool>(
      "search_files", "Find files matching a glob pattern (e.g. '**/*.rs' finds all Rust files recursively).",
      string_params_schema({{"pattern", "Glob pattern (e.g. '**/*.rs', 'src/**/*.ts')"},
                            {"path", "Base directory to search in (default: current directory)"}},
                           {"pattern"}),
      false, &search_files);
}

ToolPtr make_search_content_tool() {
  return std::make_shared<FileTool>(
      "search_content",
      "Search for a text pattern inside files. Returns matching lines with file paths and line numbers. Searches "
      "recursively from the given directory. Build/dependency directories (target, build, node_modules, .git, "
      "...) and binary/generated files are skipped by default.",
      string_params_schema({{"pattern", "Text or substring to search for"},
                            {"path", "Directory to search in (default: current directory)"},
                            {"file_glob", "Optional glob filter for file types (e.g. '*.rs', '*.py')"}},
                           {"pattern"}),
      false, &search_content);
}

}  // namespace pelmox

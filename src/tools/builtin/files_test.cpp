#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "tools/builtin/builtins.hpp"

namespace pelmox {
namespace {

namespace fs = std::filesystem;

Result<ToolOutput> call(const ToolPtr& tool, json args) {
  asio::io_context io;
  std::optional<Result<ToolOutput>> out;
  asio::co_spawn(
      io,
      [&]() -> awaitable<void> {
        auto run = tool->execute(std::move(args));
        out.emplace(co_await std::move(run));
      },
      [](std::exception_ptr e) {
        if (e) std::rethrow_exception(e);
      });
  io.run();
  return std::move(*out);
}

std::string text_of(const Result<ToolOutput>& r) {
  EXPECT_TRUE(r.ok()) << r.error().message;
  return r.ok() ? r.value().text : std::string();
}

// A fresh directory per test; HOME points into it and the working directory is restored afterwards.
class FileTools : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/pelmox-files-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    const char* home = std::getenv("HOME");
    if (home) old_home_ = home;
    ::setenv("HOME", (dir_ + "/home").c_str(), 1);
    fs::create_directories(dir_ + "/home");
    old_cwd_ = fs::current_path();
  }
  void TearDown() override {
    fs::current_path(old_cwd_);
    if (old_home_)
      ::setenv("HOME", old_home_->c_str(), 1);
    else
      ::unsetenv("HOME");
    fs::remove_all(dir_);
  }
  std::string put(const std::string& rel, const std::string& content) {
    std::string p = dir_ + "/" + rel;
    fs::create_directories(fs::path(p).parent_path());
    std::ofstream(p, std::ios::binary) << content;
    return p;
  }
  static std::string slurp(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::string dir_;
  std::optional<std::string> old_home_;
  fs::path old_cwd_;
};

TEST_F(FileTools, Definitions) {
  struct Case {
    ToolPtr tool;
    const char* name;
    bool approval;
    json required;
  };
  const Case cases[] = {
      {make_read_file_tool(), "read_file", false, {"path"}},
      {make_write_file_tool(), "write_file", true, {"path", "content"}},
      {make_list_directory_tool(), "list_directory", false, json::array()},
      {make_search_files_tool(), "search_files", false, {"pattern"}},
      {make_search_content_tool(), "search_content", false, {"pattern"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.tool->name(), c.name);
    EXPECT_EQ(c.tool->requires_approval(), c.approval) << c.name;
    ApiTool d = c.tool->definition();
    EXPECT_EQ(d.function.name, c.name);
    EXPECT_EQ(d.function.parameters["type"], "object");
    EXPECT_EQ(d.function.parameters["required"], c.required) << c.name;
  }
}

TEST_F(FileTools, ReadFileCutsAtTheLimitOnACharacterBoundary) {
  auto read = make_read_file_tool();
  std::string exact(100000, 'a');
  EXPECT_EQ(text_of(call(read, {{"path", put("exact.txt", exact)}})), exact);

  EXPECT_EQ(text_of(call(read, {{"path", put("over.txt", exact + "b")}})),
            exact + "\n\n... (truncated, total 100001 bytes)");

  // "中" occupies bytes 99999..100001, so the cut falls before it.
  EXPECT_EQ(text_of(call(read, {{"path", put("cjk.txt", std::string(99999, 'a') + "中")}})),
            std::string(99999, 'a') + "\n\n... (truncated, total 100002 bytes)");
}

TEST_F(FileTools, ReadFileChecksEveryByteOfALargeFile) {
  auto read = make_read_file_tool();
  // A three-byte character straddles the first 64 KiB block; the file is valid.
  std::string big = std::string(65535, 'x') + "中" + std::string(300000, 'y');
  auto ok = text_of(call(read, {{"path", put("big.txt", big)}}));
  EXPECT_EQ(ok.size(), 100000 + std::string("\n\n... (truncated, total 365538 bytes)").size());
  EXPECT_NE(ok.find("total 365538 bytes"), std::string::npos);

  // One bad byte far beyond the part that is returned still makes the read fail.
  std::string path = put("bad.txt", std::string(200000, 'x') + "\xFF" + "tail");
  auto bad = call(read, {{"path", path}});
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message, "Failed to read '" + path + "': stream did not contain valid UTF-8");
}

TEST_F(FileTools, ReadFileErrors) {
  auto read = make_read_file_tool();
  auto tilde = call(read, {{"path", "~/nope.txt"}});
  ASSERT_FALSE(tilde.ok());
  EXPECT_EQ(tilde.error().message,
            "Failed to read '~/nope.txt': No such file or directory (路径以 ~ 开头，已尝试展开为 '" + dir_ +
                "/home/nope.txt'，请确认目标存在；或改用绝对路径)");

  auto absolute = call(read, {{"path", dir_ + "/nope.txt"}});
  ASSERT_FALSE(absolute.ok());
  EXPECT_EQ(absolute.error().message, "Failed to read '" + dir_ + "/nope.txt': No such file or directory");

  auto directory = call(read, {{"path", dir_}});
  ASSERT_FALSE(directory.ok());
  EXPECT_EQ(directory.error().message, "Failed to read '" + dir_ + "': Is a directory");

  ASSERT_EQ(::mkfifo((dir_ + "/fifo").c_str(), 0600), 0);  // must fail, not wait for a writer
  EXPECT_FALSE(call(read, {{"path", dir_ + "/fifo"}}).ok());

  for (json args : {json::object(), json{{"path", 5}}, json(nullptr)}) {
    auto missing = call(read, args);
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().message, "Missing 'path' parameter");
  }
}

TEST_F(FileTools, WriteFileCreatesParentsAndReplaces) {
  auto write = make_write_file_tool();
  std::string path = dir_ + "/a/b/c.txt";
  auto r = call(write, {{"path", path}, {"content", "中文x"}});
  EXPECT_EQ(text_of(r), "Wrote 7 bytes to '" + path + "'");
  EXPECT_EQ(r.value().data, (json{{"path", path}, {"bytes_written", 7}}));
  EXPECT_EQ(slurp(path), "中文x");

  EXPECT_EQ(text_of(call(write, {{"path", path}, {"content", "y"}})), "Wrote 1 bytes to '" + path + "'");
  EXPECT_EQ(slurp(path), "y");

  EXPECT_EQ(text_of(call(write, {{"path", "~/w.txt"}, {"content", ""}})), "Wrote 0 bytes to '" + dir_ + "/home/w.txt'");
  EXPECT_TRUE(fs::exists(dir_ + "/home/w.txt"));

  auto blocked = call(write, {{"path", path + "/under"}, {"content", "z"}});
  ASSERT_FALSE(blocked.ok());
  EXPECT_EQ(blocked.error().message, "Failed to write '" + path + "/under': Not a directory");

  auto no_content = call(write, {{"path", path}});
  ASSERT_FALSE(no_content.ok());
  EXPECT_EQ(no_content.error().message, "Missing 'content' parameter");
  EXPECT_EQ(call(write, {{"content", "x"}}).error().message, "Missing 'path' parameter");
}

TEST_F(FileTools, ListDirectory) {
  auto list = make_list_directory_tool();
  fs::create_directories(dir_ + "/empty");
  auto empty = call(list, {{"path", dir_ + "/empty"}});
  EXPECT_EQ(text_of(empty), "Directory '" + dir_ + "/empty' is empty");
  EXPECT_EQ(empty.value().data, (json{{"path", dir_ + "/empty"}, {"entries", json::array()}}));

  put("d/b.txt", std::string(1234, 'b'));
  put("d/a.txt", "hello");
  fs::create_directories(dir_ + "/d/sub");
  fs::create_symlink("sub", dir_ + "/d/link");  // a link is listed as itself, never as a directory
  auto r = call(list, {{"path", dir_ + "/d"}});
  struct stat sub {};
  ASSERT_EQ(::stat((dir_ + "/d/sub").c_str(), &sub), 0);
  std::string sub_size = std::to_string(sub.st_size);  // directories report their own size too
  EXPECT_EQ(text_of(r), "[DIR] " + std::string(10 - sub_size.size(), ' ') + sub_size +
                            "  sub\n"
                            "[FILE]          3  link\n"  // padded sizes: shorter numbers sort first
                            "[FILE]          5  a.txt\n"
                            "[FILE]       1234  b.txt");
  ASSERT_TRUE(r.ok());
  const json& entries = r.value().data->at("entries");
  ASSERT_EQ(entries.size(), 4u);
  for (const auto& e : entries) {
    if (e["name"] == "sub") {
      EXPECT_EQ(e["type"], "directory");
    }
    if (e["name"] == "b.txt") {
      EXPECT_EQ(e, (json{{"name", "b.txt"}, {"size", 1234}, {"type", "file"}}));
    }
  }

  fs::current_path(dir_ + "/empty");
  auto here = call(list, json::object());
  EXPECT_EQ(text_of(here), "Directory '.' is empty");
  EXPECT_EQ(here.value().data->at("path"), ".");

  auto missing = call(list, {{"path", "~/gone"}});
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().message,
            "Failed to read dir '~/gone': No such file or directory (路径以 ~ 开头，已尝试展开为 '" + dir_ +
                "/home/gone'，请确认目标存在；或改用绝对路径)");
}

TEST_F(FileTools, SearchFiles) {
  auto search = make_search_files_tool();
  put("proj/a.rs", "");
  put("proj/src/deep/b.rs", "");
  put("proj/src/c.txt", "");
  put("proj/node_modules/x.rs", "");
  put("proj/.git/y.rs", "");
  std::string root = dir_ + "/proj";

  auto r = call(search, {{"pattern", "*.rs"}, {"path", root}});
  ASSERT_TRUE(r.ok());
  std::vector<std::string> files = r.value().data->at("files");
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{root + "/a.rs", root + "/src/deep/b.rs"}));
  EXPECT_EQ(r.value().text.rfind("Found 2 file(s):\n", 0), 0u) << r.value().text;

  EXPECT_EQ(text_of(call(search, {{"pattern", "src/**/*.txt"}, {"path", root}})),
            "Found 1 file(s):\n" + root + "/src/c.txt");

  auto bad = call(search, {{"pattern", "["}, {"path", root}});
  EXPECT_EQ(text_of(bad).rfind("[无效 glob 模式] ", 0), 0u);
  EXPECT_FALSE(bad.value().data.has_value());

  put("build/inside/z.rs", "");  // every path under this root has a "build" component
  auto none = call(search, {{"pattern", "**/*"}, {"path", dir_ + "/build/inside"}});
  EXPECT_EQ(text_of(none), "No files found matching the pattern.");
  EXPECT_FALSE(none.value().data.has_value());
  EXPECT_EQ(text_of(call(search, {{"pattern", "*"}, {"path", dir_ + "/missing"}})),
            "No files found matching the pattern.");

  fs::current_path(root + "/src");
  EXPECT_EQ(text_of(call(search, {{"pattern", "*.txt"}})), "Found 1 file(s):\n./c.txt");
  EXPECT_EQ(call(search, {{"path", "."}}).error().message, "Missing 'pattern' parameter");
}

TEST_F(FileTools, WalkStopsAfterAThousandFiles) {
  auto search = make_search_files_tool();
  for (int i = 0; i < 1000; ++i) put("many/d" + std::to_string(i % 7) + "/f" + std::to_string(i), "");
  EXPECT_EQ(text_of(call(search, {{"pattern", "*f999"}, {"path", dir_ + "/many"}})).rfind("Found 1 file(s):", 0), 0u);

  put("many/one-more", "");
  auto over = call(search, {{"pattern", "*f999"}, {"path", dir_ + "/many"}});
  EXPECT_EQ(text_of(over), "[搜索失败] 扫描文件数超过 1000 个，请缩小搜索范围（指定更具体的 path 或 file_glob）");
  EXPECT_FALSE(over.value().data.has_value());
}

TEST_F(FileTools, WalkDoesNotFollowALinkBackIntoItsOwnAncestor) {
  put("loop/f.txt", "");
  fs::create_symlink(".", dir_ + "/loop/self");
  fs::create_directories(dir_ + "/other");
  put("other/g.txt", "");
  fs::create_directory_symlink(dir_ + "/other", dir_ + "/loop/to-other");
  auto r = call(make_search_files_tool(), {{"pattern", "**/*.txt"}, {"path", dir_ + "/loop"}});
  ASSERT_TRUE(r.ok());
  std::vector<std::string> files = r.value().data->at("files");
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{dir_ + "/loop/f.txt", dir_ + "/loop/to-other/g.txt"}));
}

TEST_F(FileTools, SearchContentMatchesCaseInsensitivelyAndSkipsBinaries) {
  auto search = make_search_content_tool();
  put("s/notes.txt", "first\n   Hello World  \r\nnothing\nhELLo again");
  put("s/code.rs", "// HELLO from rust\n");
  put("s/nul.txt", std::string("hello\0binary", 12));
  put("s/big.txt", "hello\n" + std::string(2097152, 'x'));
  put("s/latin.txt", "hello \xFF");
  std::string root = dir_ + "/s";

  auto r = call(search, {{"pattern", "HELLO"}, {"path", root}, {"file_glob", "*.txt"}});
  EXPECT_EQ(text_of(r),
            "Found 2 match(es):\n" + root + "/notes.txt:2: Hello World\n" + root + "/notes.txt:4: hELLo again");
  EXPECT_EQ(r.value().data->at("count"), 2);

  auto all = call(search, {{"pattern", "hello"}, {"path", root}});
  EXPECT_EQ(all.value().data->at("count"), 3);

  EXPECT_EQ(text_of(call(search, {{"pattern", "XyZ"}, {"path", root}})), "No matches found for 'XyZ'.");
  EXPECT_EQ(text_of(call(search, {{"pattern", "x"}, {"path", root}, {"file_glob", "["}}))
                .rfind("[搜索失败] Invalid file_glob: ", 0),
            0u);
  EXPECT_EQ(call(search, {{"path", root}}).error().message, "Missing 'pattern' parameter");
}

TEST_F(FileTools, SearchContentLimits) {
  auto search = make_search_content_tool();
  std::string lines;
  for (int i = 0; i < 250; ++i) lines += "match " + std::to_string(i) + "\n";
  put("many/m.txt", lines);
  auto capped = call(search, {{"pattern", "match"}, {"path", dir_ + "/many"}});
  std::string text = text_of(capped);
  EXPECT_EQ(text.rfind("Found 200 match(es):\n", 0), 0u);
  EXPECT_NE(text.find(":200: match 199\n... (truncated at 200 matches)"), std::string::npos);
  EXPECT_EQ(text.find("match 200"), std::string::npos);
  EXPECT_FALSE(capped.value().data.has_value());

  // 150 long lines: each entry is cut to 160 bytes, the whole text to 24000 bytes.
  std::string long_lines;
  for (int i = 0; i < 150; ++i) long_lines += "needle " + std::string(300, 'q') + "\n";
  std::string path = put("long/l.txt", long_lines);
  auto cut = call(search, {{"pattern", "needle"}, {"path", dir_ + "/long"}});
  std::string entry = path + ":1: needle " + std::string(153, 'q') + "...";
  std::string full = "Found 150 match(es):\n" + entry;
  for (int i = 2; i <= 150; ++i)
    full += "\n" + path + ":" + std::to_string(i) + ": needle " + std::string(153, 'q') + "...";
  ASSERT_GT(full.size(), 24000u);
  EXPECT_EQ(text_of(cut),
            full.substr(0, 24000) + "...\n... (output truncated, total " + std::to_string(full.size()) + " chars)");
  EXPECT_EQ(cut.value().data->at("count"), 150);
  EXPECT_EQ(cut.value().data->at("matches")[0], entry);
}

}  // namespace
}  // namespace pelmox

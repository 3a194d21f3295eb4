#include "memory/task_store.hpp"

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>

#include "utils/log.hpp"
#include "utils/time.hpp"

namespace pelmox {
namespace {

namespace fs = std::filesystem;

class LogCapture {
 public:
  LogCapture() : sink_(std::make_shared<spdlog::sinks::ostream_sink_st>(out_)) {
    sink_->set_pattern("%l|%v");
    logger("memory").sinks().push_back(sink_);
  }
  ~LogCapture() { std::erase(logger("memory").sinks(), sink_); }
  std::string text() const { return out_.str(); }

 private:
  std::ostringstream out_;
  std::shared_ptr<spdlog::sinks::ostream_sink_st> sink_;
};

std::string read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write(const fs::path& p, const std::string& text) {
  std::ofstream(p, std::ios::binary) << text;
}

// Each test runs in a fresh working directory with HOME pointing into it.
class TaskStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/pelmox_tasks_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    old_cwd_ = fs::current_path();
    fs::current_path(dir_);
    if (const char* h = std::getenv("HOME")) old_home_ = h;
    home_ = dir_ / "home";
    fs::create_directory(home_);
    setenv("HOME", home_.c_str(), 1);
  }
  void TearDown() override {
    fs::current_path(old_cwd_);
    if (old_home_) setenv("HOME", old_home_->c_str(), 1);
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  std::vector<fs::path> backups() const {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(dir_)) {
      if (e.path().filename().string().starts_with(".pelmox_tasks.json.bak-")) out.push_back(e.path());
    }
    return out;
  }

  fs::path dir_, old_cwd_, home_;
  std::optional<std::string> old_home_;
};

const char* kStoreText =
    R"({"active_task_id":"t2","tasks":[)"
    R"({"id":"t1","name":"甲任务","created_at":1700000000,"context":{"messages":[{"role":"system","content":"P"},)"
    R"({"role":"user","content":"hi\n\"q\""},{"role":"assistant","content":"ok","tool_calls":[{"id":"c1",)"
    R"("type":"function","function":{"name":"read_file","arguments":"{\"path\":\"a\"}"}}]},)"
    R"({"role":"tool","tool_call_id":"c1","content":"x"}],"timestamps":[1,2,3,4],"max_tokens":14000},)"
    R"("workspace":null},)"
    R"({"id":"t2","name":"second","created_at":5,"context":{"messages":[],"timestamps":[],"max_tokens":500},)"
    R"("workspace":"/w"}]})";

TEST_F(TaskStoreTest, FileRoundTripsByteForByte) {
  write(".pelmox_tasks.json", kStoreText);
  TaskStore store;
  store.set_system_prompt("PROMPT");
  store.load();
  ASSERT_EQ(store.order(), (std::vector<std::string>{"t1", "t2"}));
  EXPECT_EQ(store.active_id(), "t2");
  const Task* t1 = store.find("t1");
  ASSERT_NE(t1, nullptr);
  EXPECT_EQ(t1->name, "甲任务");
  EXPECT_EQ(t1->created_at, 1700000000u);
  EXPECT_EQ(t1->context.messages().size(), 4u);
  EXPECT_FALSE(t1->workspace);
  // A loaded conversation keeps what it was stored with, even an empty one.
  EXPECT_TRUE(store.find("t2")->context.messages().empty());
  EXPECT_EQ(store.find("t2")->context.max_tokens(), 500u);

  store.persist();
  EXPECT_EQ(read(".pelmox_tasks.json"), kStoreText);
  EXPECT_FALSE(fs::exists(".pelmox_tasks.json.tmp"));

  // The two-element array form reads the same and is written back as the object.
  const auto doc = ordered_json::parse(kStoreText);
  write(".pelmox_tasks.json", dump(ordered_json::array({doc["active_task_id"], doc["tasks"]})));
  TaskStore from_array;
  from_array.load();
  from_array.persist();
  EXPECT_EQ(read(".pelmox_tasks.json"), kStoreText);
  EXPECT_TRUE(backups().empty());
}

TEST_F(TaskStoreTest, MissingFileStartsEmptyWithoutNoise) {
  LogCapture log;
  TaskStore store;
  store.load();
  EXPECT_TRUE(store.order().empty());
  EXPECT_EQ(store.active_id(), "");
  EXPECT_EQ(log.text(), "");
  EXPECT_FALSE(fs::exists(".pelmox_tasks.json"));
}

TEST_F(TaskStoreTest, UnreadableFileIsBackedUpAndTheStoreStartsEmpty) {
  const std::string t = R"({"id":"a","name":"n","created_at":1,"context":{"messages":[]}})";
  const std::string cases[] = {
      "{not json",
      R"({"active_task_id":null,"tasks":[]})",
      R"({"active_task_id":""})",
      R"({"active_task_id":"","tasks":{}})",
      R"(["", [], 3])",
      R"({"active_task_id":"","tasks":[{"id":"a","name":"n","context":{"messages":[]}}]})",
      R"({"active_task_id":"","tasks":[{"id":"a","name":"n","created_at":-1,"context":{"messages":[]}}]})",
      R"({"active_task_id":"","tasks":[{"id":"a","name":"n","created_at":1,"context":{}}]})",
      R"({"active_task_id":"","tasks":[{"id":"a","name":"n","created_at":1,"context":{"messages":[]},"workspace":3}]})",
      "{\"active_task_id\":\"\xff\",\"tasks\":[]}",
      "",
  };
  for (const auto& text : cases) {
    write(".pelmox_tasks.json", text);
    LogCapture log;
    TaskStore store;
    store.load();
    EXPECT_TRUE(store.order().empty()) << text;
    EXPECT_FALSE(fs::exists(".pelmox_tasks.json")) << text;
    const auto baks = backups();
    ASSERT_EQ(baks.size(), 1u) << text;
    EXPECT_EQ(read(baks[0]), text);
    EXPECT_TRUE(std::regex_match(baks[0].filename().string(), std::regex(R"(\.pelmox_tasks\.json\.bak-\d+)")));
    EXPECT_NE(log.text().find("warning|task state unreadable — backed up to .pelmox_tasks.json.bak-"),
              std::string::npos)
        << log.text();
    fs::remove(baks[0]);
  }

  // The next change writes a fresh file and leaves the backup alone.
  write(".pelmox_tasks.json", "garbage");
  TaskStore store;
  store.load();
  store.create_task(std::nullopt, "n", "/tmp");
  ASSERT_EQ(backups().size(), 1u);
  EXPECT_EQ(read(backups()[0]), "garbage");
  TaskStore again;
  again.load();
  EXPECT_EQ(again.order().size(), 1u);

  // A second backup in the same second must not replace the first.
  write(".pelmox_tasks.json", "garbage 2");
  TaskStore second;
  second.load();
  write(".pelmox_tasks.json", "garbage 3");
  second.load();
  EXPECT_EQ(backups().size(), 3u);
}

TEST_F(TaskStoreTest, CreateTaskNamesWorkspacesAndPersists) {
  TaskStore store;
  store.set_system_prompt("PROMPT");
  store.set_budget(321);
  const std::string a = store.create_task(std::nullopt, "新任务", std::nullopt);
  const std::string b = store.create_task(std::nullopt, "   ", std::nullopt);
  const fs::path today = home_ / ".pelmox" / local_date();

  const Task* ta = store.find(a);
  ASSERT_NE(ta, nullptr);
  EXPECT_EQ(ta->name, "新任务");
  EXPECT_EQ(store.find(b)->name, "未命名任务");
  EXPECT_EQ(ta->workspace, today.string());
  EXPECT_EQ(store.find(b)->workspace, today.string());
  EXPECT_TRUE(fs::is_directory(today));
  EXPECT_EQ(store.active_id(), b);
  EXPECT_EQ(ta->context.max_tokens(), 321u);
  ASSERT_EQ(ta->context.messages().size(), 1u);
  EXPECT_EQ(ta->context.messages()[0], Message(SystemMessage{"PROMPT"}));
  const auto now = unix_now_secs();
  EXPECT_LE(ta->created_at, now);
  EXPECT_GT(ta->created_at + 60, now);

  // A given workspace is trimmed and created with its parents.
  const fs::path deep = dir_ / "given" / "x" / "y";
  const std::string c = store.create_task(std::nullopt, " named ", "  " + deep.string() + " \n");
  EXPECT_EQ(store.find(c)->name, "named");
  EXPECT_EQ(store.find(c)->workspace, deep.string());
  EXPECT_TRUE(fs::is_directory(deep));

  TaskStore reread;
  reread.load();
  EXPECT_EQ(reread.order(), (std::vector<std::string>{a, b, c}));
  EXPECT_EQ(reread.active_id(), c);
  EXPECT_EQ(reread.find(a)->context.messages(), ta->context.messages());

  // A workspace that cannot be made is logged and kept.
  write("plainfile", "x");
  LogCapture log;
  const std::string bad_ws = (dir_ / "plainfile" / "sub").string();
  const std::string d = store.create_task(std::nullopt, "d", bad_ws);
  EXPECT_EQ(store.find(d)->workspace, bad_ws);
  EXPECT_NE(log.text().find("warning|failed to create default workspace dir " + bad_ws + ": "), std::string::npos)
      << log.text();

  // No home directory: no default workspace.
  unsetenv("HOME");
  unsetenv("USERPROFILE");
  const std::string e = store.create_task(std::nullopt, "e", std::nullopt);
  EXPECT_FALSE(store.find(e)->workspace);
}

TEST_F(TaskStoreTest, CreateTaskNeverReplacesAnExistingTask) {
  TaskStore store;
  const std::string a = store.create_task("fixed", "first", "/tmp");
  EXPECT_EQ(a, "fixed");
  const std::string b = store.create_task("fixed", "second", "/tmp");
  const std::string c = store.create_task("", "third", "/tmp");
  EXPECT_NE(b, "fixed");
  EXPECT_NE(c, "");
  EXPECT_EQ(store.find("fixed")->name, "first");
  EXPECT_EQ(store.order().size(), 3u);
}

TEST(TitleFromMessage, CollapsesWhiteSpaceAndCutsByCharacters) {
  const std::string forty_han = [] {
    std::string s;
    for (int i = 0; i < 40; ++i) s += "字";
    return s;
  }();
  struct Case {
    std::string in;
    std::size_t max;
    std::string want;
  };
  const Case cases[] = {
      {"  hello \r\n\t  world  ", 40, "hello world"},
      {"a\u3000\u3000b", 40, "a b"},
      {"", 40, "新对话"},
      {" \n\r\t ", 40, "新对话"},
      {forty_han, 40, forty_han},
      {forty_han + "尾", 40, forty_han + "…"},
      {"abcdefghij klmnopqrstu vwxyz", 24, "abcdefghij klmnopqrstu v…"},
      {"abcdefghij klmnopqrstu v", 24, "abcdefghij klmnopqrstu v"},
      {"abcdefghij  klmnopqrstuv  wxyz", 23, "abcdefghij klmnopqrstuv…"},
  };
  for (const auto& c : cases) EXPECT_EQ(title_from_message(c.in, c.max), c.want) << c.in;
}

TEST_F(TaskStoreTest, GetOrCreateRenamesDefaultNamesOnceAndKeepsClientIds) {
  TaskStore store;
  const std::string id = store.create_task(std::nullopt, "新任务", std::nullopt);
  EXPECT_EQ(store.get_or_create(id, "   "), id);
  EXPECT_EQ(store.find(id)->name, "新任务");
  EXPECT_EQ(store.get_or_create(id, "  first\nquestion "), id);
  EXPECT_EQ(store.find(id)->name, "first question");
  store.get_or_create(id, "second question");
  EXPECT_EQ(store.find(id)->name, "first question");

  EXPECT_EQ(store.get_or_create("client-chosen", "你好"), "client-chosen");
  EXPECT_EQ(store.find("client-chosen")->name, "你好");
  EXPECT_EQ(store.active_id(), "client-chosen");

  TaskStore reread;
  reread.load();
  EXPECT_EQ(reread.find(id)->name, "first question");
}

TEST_F(TaskStoreTest, EnsureActiveCreatesOneTaskWithAUuid) {
  TaskStore store;
  const std::string id = store.get_or_create("", "an opening message that is longer than 24 characters");
  EXPECT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")))
      << id;
  EXPECT_EQ(store.find(id)->name, "an opening message that …");
  EXPECT_EQ(store.ensure_active("other"), id);
  EXPECT_EQ(store.order().size(), 1u);
  ASSERT_TRUE(store.remove(id));
  const std::string next = store.ensure_active(" ");
  EXPECT_NE(next, id);
  EXPECT_EQ(store.find(next)->name, "新对话");
  EXPECT_EQ(store.active_id(), next);
}

TEST_F(TaskStoreTest, RemoveMovesTheActiveTaskToTheLastRemaining) {
  TaskStore store;
  const auto a = store.create_task(std::nullopt, "a", "/tmp");
  const auto b = store.create_task(std::nullopt, "b", "/tmp");
  const auto c = store.create_task(std::nullopt, "c", "/tmp");
  ASSERT_TRUE(store.switch_to(a));
  EXPECT_TRUE(store.remove(b));
  EXPECT_EQ(store.active_id(), a);
  EXPECT_TRUE(store.remove(a));
  EXPECT_EQ(store.active_id(), c);
  EXPECT_FALSE(store.remove(a));
  EXPECT_TRUE(store.remove(c));
  EXPECT_EQ(store.active_id(), "");
  EXPECT_EQ(read(".pelmox_tasks.json"), R"({"active_task_id":"","tasks":[]})");
  EXPECT_FALSE(store.switch_to(a));
  EXPECT_FALSE(store.rename(a, "x"));
}

TEST_F(TaskStoreTest, WorkspaceClearRenameAndBudget) {
  TaskStore store;
  store.set_system_prompt("PROMPT");
  EXPECT_FALSE(store.set_workspace("/x"));
  const auto id = store.create_task(std::nullopt, "t", "/tmp");
  EXPECT_TRUE(store.set_workspace("  /x  "));
  EXPECT_EQ(store.find(id)->workspace, "/x");
  EXPECT_TRUE(store.set_workspace(" "));
  EXPECT_FALSE(store.find(id)->workspace);
  EXPECT_TRUE(store.set_workspace("/y"));
  EXPECT_TRUE(store.set_workspace(std::nullopt));
  EXPECT_FALSE(store.find(id)->workspace);

  EXPECT_TRUE(store.rename(id, "renamed"));
  Task* t = store.find(id);
  for (int i = 0; i < 8; ++i) t->context.push(UserMessage{std::string(400, 'u')});
  store.set_budget(150);
  EXPECT_EQ(t->context.max_tokens(), 150u);
  EXPECT_EQ(t->context.messages().size(), 7u);
  EXPECT_EQ(store.budget(), 150u);

  EXPECT_TRUE(store.clear(id));
  ASSERT_EQ(t->context.messages().size(), 1u);
  EXPECT_EQ(t->context.timestamps().size(), 1u);
  EXPECT_EQ(t->context.messages()[0], Message(SystemMessage{"PROMPT"}));
  EXPECT_FALSE(store.clear("missing"));

  TaskStore reread;
  reread.load();
  EXPECT_EQ(reread.find(id)->name, "renamed");
  EXPECT_EQ(reread.find(id)->context.messages().size(), 1u);
  EXPECT_EQ(reread.find(id)->context.max_tokens(), 150u);
}

TEST_F(TaskStoreTest, SummariesListTasksInStoreOrder) {
  TaskStore store;
  store.set_system_prompt("PROMPT");
  const auto a = store.create_task(std::nullopt, "a", "/tmp");
  const auto b = store.create_task(std::nullopt, "b", "/tmp");
  store.set_workspace(std::nullopt);
  const json s = store.summaries();
  ASSERT_EQ(s.size(), 2u);
  const Task* ta = store.find(a);
  const json want_a = {
      {"active", false},
      {"created_at", ta->created_at},
      {"history", json::array({{{"content", "PROMPT"}, {"role", "system"}, {"ts", ta->context.timestamps()[0]}}})},
      {"id", a},
      {"messages", 1},
      {"name", "a"},
      {"workspace", "/tmp"}};
  EXPECT_EQ(dump(s[0]), dump(want_a));
  EXPECT_EQ(s[1]["id"], b);
  EXPECT_EQ(s[1]["active"], true);
  EXPECT_TRUE(s[1]["workspace"].is_null());
}

TEST_F(TaskStoreTest, PersistFailureIsLoggedAndTheStoreKeepsWorking) {
  TaskStore store("missing_dir/.pelmox_tasks.json");
  LogCapture log;
  const auto id = store.create_task(std::nullopt, "kept", "/tmp");
  EXPECT_EQ(store.find(id)->name, "kept");
  EXPECT_NE(log.text().find("warning|persist task state failed: "), std::string::npos) << log.text();
  fs::create_directory("missing_dir");
  store.persist();
  TaskStore reread("missing_dir/.pelmox_tasks.json");
  reread.load();
  EXPECT_EQ(reread.order(), (std::vector<std::string>{id}));
}

}  // namespace
}  // namespace pelmox

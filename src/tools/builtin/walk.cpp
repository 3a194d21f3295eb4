#include "tools/builtin/walk.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <memory>
#include <string_view>

#include "utils/glob.hpp"

namespace pelmox {

namespace {

constexpr std::array<std::string_view, 18> kSkippedNames = {
    "target",   "build", "node_modules", ".git", ".gradle", "dist", "out",        "__pycache__",
    ".idea",    ".vs",   ".vscode",      "venv", ".venv",   "Pods", ".quillnest", ".pelmox_sessions",
    "coverage", ".cache"};

bool is_skipped_name(std::string_view name) {
  for (auto s : kSkippedNames) {
    if (s == name) return true;
  }
  return false;
}

// Any normal component ("." and ".." are not) of the path is a skipped name.
bool has_skipped_component(std::string_view path) {
  std::size_t i = 0;
  while (i <= path.size()) {
    std::size_t end = path.find('/', i);
    if (end == std::string_view::npos) end = path.size();
    std::string_view part = path.substr(i, end - i);
    if (!part.empty() && part != "." && part != ".." && is_skipped_name(part)) return true;
    i = end + 1;
  }
  return false;
}

struct DirId {
  dev_t dev;
  ino_t ino;
};

// The directories from the root down to one waiting on the stack, to recognise a link back to an ancestor.
struct Ancestry {
  DirId id;
  std::shared_ptr<const Ancestry> parent;
};

bool among(const std::shared_ptr<const Ancestry>& chain, DirId id) {
  for (const Ancestry* a = chain.get(); a; a = a->parent.get()) {
    if (a->id.dev == id.dev && a->id.ino == id.ino) return true;
  }
  return false;
}

struct Pending {
  std::string path;
  std::string relative;
  std::shared_ptr<const Ancestry> chain;  // this directory and its ancestors; null when it could not be identified
};

struct Entry {
  std::string name;
  bool is_dir = false;
  DirId id{};
};

// One directory's entries, each with whether it is a directory (links followed). None when it cannot be
// opened; a failure part-way keeps the entries read so far.
Result<std::vector<Entry>> list_dir(const std::string& path) {
  DIR* dir = ::opendir(path.c_str());
  if (!dir) return Error("cannot open");
  std::vector<Entry> out;
  int fd = ::dirfd(dir);
  for (;;) {
    errno = 0;
    dirent* e = ::readdir(dir);
    if (!e) break;  // the end, or an error that ends this directory's listing
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    Entry entry{std::move(name)};
    struct stat st {};
    if (::fstatat(fd, entry.name.c_str(), &st, 0) == 0 && S_ISDIR(st.st_mode)) {
      entry.is_dir = true;
      entry.id = {st.st_dev, st.st_ino};
    }
    out.push_back(std::move(entry));
  }
  ::closedir(dir);
  return out;
}

std::shared_ptr<const Ancestry> root_chain(const std::string& root) {
  struct stat st {};
  if (::stat(root.c_str(), &st) != 0) return nullptr;
  return std::make_shared<const Ancestry>(Ancestry{{st.st_dev, st.st_ino}, nullptr});
}

}  // namespace

std::string join_path(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

awaitable<Result<std::vector<WalkedFile>>> collect_files(std::string root, std::optional<std::string> file_glob) {
  std::optional<Glob> filter;
  if (file_glob && !file_glob->empty()) {
    auto compiled = Glob::compile(*file_glob);
    if (!compiled) co_return Error("Invalid file_glob: " + compiled.error().message);
    filter = std::move(compiled.value());
  }
  std::vector<WalkedFile> files;
  // Every path carries the root's components, so a root inside a build directory yields nothing at all.
  if (has_skipped_component(root)) co_return files;

  // Awaited operations are named first: g++ 12 destroys temporaries inside a co_await expression twice.
  auto identify = on_blocking_pool([root]() -> Result<std::shared_ptr<const Ancestry>> { return root_chain(root); });
  auto chain = co_await std::move(identify);
  std::vector<Pending> stack;
  stack.push_back({root, "", chain ? chain.value() : nullptr});
  while (!stack.empty()) {
    Pending dir = std::move(stack.back());
    stack.pop_back();
    auto listing = on_blocking_pool([path = dir.path] { return list_dir(path); });
    auto listed = co_await std::move(listing);
    if (!listed) continue;
    for (Entry& e : listed.value()) {
      if (is_skipped_name(e.name)) continue;
      std::string path = join_path(dir.path, e.name);
      std::string relative = join_path(dir.relative, e.name);
      if (e.is_dir) {
        if (among(dir.chain, e.id)) continue;
        stack.push_back(
            {std::move(path), std::move(relative), std::make_shared<const Ancestry>(Ancestry{e.id, dir.chain})});
        continue;
      }
      if (files.size() >= kMaxWalkFiles) {
        co_return Error("扫描文件数超过 " + std::to_string(kMaxWalkFiles) +
                        " 个，请缩小搜索范围（指定更具体的 path 或 file_glob）");
      }
      if (filter && !filter->matches(relative)) continue;
      files.push_back({std::move(path), std::move(relative)});
    }
  }
  co_return files;
}

}  // namespace pelmox

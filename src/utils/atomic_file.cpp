#include "utils/atomic_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pelmox {

namespace {

Error sys_error(const char* what, const std::string& path, int err) {
  return Error(std::string(what) + " '" + path + "': " + std::strerror(err));
}

// The directory whose entry the rename changes.
std::string parent_dir(const std::string& path) {
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool write_all(int fd, const std::string& content) {
  std::size_t done = 0;
  while (done < content.size()) {
    ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

Status write_file_atomic(const std::string& path, const std::string& content) {
  const std::string tmp = path + ".tmp";
  struct stat target {};
  bool keep_mode = ::stat(path.c_str(), &target) == 0;

  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return sys_error("cannot create", tmp, errno);
  auto fail = [&](const char* what, const std::string& name, int err) -> Status {
    if (fd >= 0) ::close(fd);
    ::unlink(tmp.c_str());
    return sys_error(what, name, err);
  };
  // A left-over temporary file keeps its own mode through O_TRUNC, so the target's bits are set explicitly.
  if (keep_mode && ::fchmod(fd, target.st_mode & 07777) != 0) return fail("cannot set permissions of", tmp, errno);
  if (!write_all(fd, content)) return fail("cannot write", tmp, errno);
  if (::fsync(fd) != 0) return fail("cannot flush", tmp, errno);
  int rc = ::close(fd);
  fd = -1;
  if (rc != 0) return fail("cannot close", tmp, errno);
  if (::rename(tmp.c_str(), path.c_str()) != 0) return fail("cannot rename to", path, errno);

  // The rename is only durable once the directory itself reaches the disk.
  const std::string dir = parent_dir(path);
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) return sys_error("cannot open directory", dir, errno);
  rc = ::fsync(dfd);
  int err = errno;
  ::close(dfd);
  if (rc != 0 && err != EINVAL) return sys_error("cannot flush directory", dir, err);
  return ok_status();
}

}  // namespace pelmox

#pragma once
// Rewrites a file so that a crash or power loss leaves the old or the new content, never a mix: the text is
// written to "<path>.tmp", flushed to the disk, renamed over the target, and the directory entry flushed too.
// An existing target's permission bits are kept.

#include <string>

#include "utils/result.hpp"

namespace pelmox {

Status write_file_atomic(const std::string& path, const std::string& content);

}  // namespace pelmox

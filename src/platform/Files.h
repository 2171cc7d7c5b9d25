#pragma once

// The one way the program reads a whole file and rewrites a file, so that
// every file gets a size bound on reading and survives a failed write intact.
// Any thread; calls share nothing but a counter for temporary names.
//
// On Windows (FilesWindows.cpp) there are no permission bits, so `mode` is not
// used; errno is the value nearest to the Windows error; and Windows renames
// nothing over a file that is open (a reader, a virus scanner): the rename is
// retried for about half a second, then fails with EACCES.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// The whole content of the regular file `path`. std::nullopt when it cannot
// be opened or read, is no regular file, or holds more than `limit` bytes;
// errno then says why (ENOENT: no such file, EISDIR: a folder, EFBIG: too
// large), so that the caller decides what a missing file means. `*tooLarge`,
// when given, is set to whether the limit was passed, for the caller's log.
// Throws nothing but std::bad_alloc.
std::optional<std::string> ReadWholeFile(const std::string& path, size_t limit,
                                         bool* tooLarge = nullptr);

// Replaces `path` with a file that holds `contents` and has exactly the
// permission bits `mode` (the umask does not apply). The new content goes to
// a uniquely named temporary file beside the target (created 0600 with
// O_EXCL, so no one else reads it half-written), is synced and then renamed
// over the target, so a reader sees the old file or the new one, never a
// mix. A symbolic link stays a link: the file it points to is replaced. An
// existing target keeps its owner and group where the process may set them.
// On failure the temporary is removed, `path` is left as it was, errno holds
// the failing call's error and `*error` (when given) names the file and the
// call. Throws nothing but std::bad_alloc.
bool ReplaceFileAtomically(const std::string& path, std::string_view contents, unsigned mode,
                           std::string* error = nullptr);

} // namespace corvane

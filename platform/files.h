#pragma once

// Plain file helpers: one-line appends for the logs, whole-file atomic replacement for files
// that hold undelivered data, and whole-file reads.

#include <optional>
#include <string>
#include <string_view>

namespace kormlink {

// Writes all of data to fd (a short write is continued); false on an error.
bool writeAll(int fd, std::string_view data);

// Replaces the file at path with content so that a crash at any moment leaves either the old
// file or the new one, never a torn mixture: write a temporary file beside it, fsync it, rename
// it over the old one, then fsync the folder so the rename itself is durable.
// On failure the old file is untouched, the temporary is removed and error (when given) says
// why; only when the folder cannot be synced after the rename is the new file already in place.
// With sync false the two fsyncs are left out: the replacement is still atomic for a process
// that is killed, but not for a machine that loses power.
bool replaceFileAtomically(const std::string& path, std::string_view content,
                           std::string* error = nullptr, bool sync = true);

// The whole file, or nullopt when it cannot be read.
std::optional<std::string> readWholeFile(const std::string& path);

// "dir/name" with exactly one separator; dir "" or "." gives name unchanged.
std::string joinPath(const std::string& dir, const std::string& name);

}  // namespace kormlink

#pragma once

// Files that no reader ever sees half of: one replaced whole, written to a
// temporary beside it and renamed over it; one appended a line at a time,
// synced, a torn last line cut first. And a file read whole.

#include <optional>
#include <string>
#include <string_view>

namespace pairdot_files {

struct FileReplacement {
  std::string path;
  std::string temporary;
  int fd = -1;
};

// Opens the temporary; throws std::runtime_error("cannot write PATH: ...").
FileReplacement begin_replacement(const std::string &path);
// Writes, syncs and renames; throws as above, the temporary removed.
void commit_replacement(FileReplacement &file, std::string_view text);
// Removes the temporary of a replacement not committed.
void abandon_replacement(FileReplacement &file);

// Appends the line (ending with a newline) to the file and syncs it, its
// directory too when the file is new; throws as above.
void append_line(const std::string &path, std::string_view line);

// Makes the renames in the directory durable; a failure loses nothing written.
void sync_dir(const std::string &dir);

// What the file holds; nothing if it cannot be read.
std::optional<std::string> file_text(const std::string &path);

} // namespace pairdot_files

// Files written so that a reader sees the old content or the new, never half of either, and so
// that a link planted at the name (in a shared folder, say) is replaced rather than written
// through: the content goes into a new file beside the target, which is then renamed over it.
#pragma once

#include <filesystem>
#include <string_view>

namespace quenfold_testlibs::core {

enum class FileMode {
  Ordinary,   // what a new file gets (0666 less the umask); an existing regular file keeps its mode
  OwnerOnly,  // 0600 from the moment the file exists, whatever the umask (private keys)
};

// A free name beside `target` for its temporary file: hidden, with a random suffix. The name is
// only proposed: whoever creates the file must do so exclusively.
std::filesystem::path temporaryBeside(const std::filesystem::path& target);

// Renames the finished `temporary` over `target`; on failure removes it and throws
// std::system_error.
void replaceWith(const std::filesystem::path& temporary, const std::filesystem::path& target);

// Writes `content` to `target` atomically and durably (synced before the rename). Throws
// std::system_error with the errno of the step that failed; no temporary file is left behind.
void writeFileAtomically(const std::filesystem::path& target, std::string_view content, FileMode mode);

}  // namespace quenfold_testlibs::core

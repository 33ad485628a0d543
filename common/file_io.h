// The few file operations that differ between platforms, kept in one place.
#pragma once

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace common {

// std::fopen for a path of any spelling; the mode always includes 'b'.
std::FILE* OpenFile(const std::filesystem::path& path, const char* mode);

// Asks the system to put what was written to the disk itself.
bool SyncFile(std::FILE* file);

// Renames from over to, replacing an existing to in one step.
void ReplaceFile(const std::filesystem::path& from,
                 const std::filesystem::path& to, std::error_code& ec);

}  // namespace common

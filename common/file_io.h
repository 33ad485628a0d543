// The few file operations that differ between platforms, kept in one place.
#pragma once

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace common {

// std::fopen for a path of any spelling; the mode always includes 'b'.
std::FILE* OpenFile(const std::filesystem::path& path, const char* mode);

// True when an existing file may be opened for writing: as opening it
// would tell, and on Windows also not marked read-only.
bool MayWrite(const std::filesystem::path& path);

// Asks the system to put what was written to the disk itself.
bool SyncFile(std::FILE* file);

// Makes standard output and error binary, so that messages are printed
// byte for byte (no CR before LF on Windows).
void UseBinaryStandardStreams();

// Renames from over to, replacing an existing to in one step.
void RenameOver(const std::filesystem::path& from,
                 const std::filesystem::path& to, std::error_code& ec);

}  // namespace common

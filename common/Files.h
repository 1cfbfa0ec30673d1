// File-system tests and path helpers shared by the programs.
#pragma once

#include <string>
#include <string_view>

namespace quor {

// True when an ordinary file (not a directory) exists at path.
bool FileExists(const std::wstring& path);
// True when a directory exists at path.
bool DirectoryExists(const std::wstring& path);
// True when anything (file or directory) exists at path.
bool PathExists(const std::wstring& path);

// Directory of the running program without a trailing separator; empty on failure.
std::wstring ModuleDirectory();
// Full path of the running program; empty on failure.
std::wstring ModulePath();

// The drive part of a path: "D:" for "D:\x\y", "\\server\share" for a UNC path, else "".
std::wstring DrivePart(std::wstring_view path);

// Text before the last separator ('\' or '/'); "" when there is none.
std::wstring ParentPath(std::wstring_view path);

// Deletes a directory with all its content, read-only items included.
// Returns false when anything could not be removed.
bool DeleteTree(const std::wstring& path);

} // namespace quor

// Absolute and extended-length ("\\?\") forms of paths, so that deep trees are neither
// walked nor restored through the 260-character limit.
#pragma once

#include <string>

namespace bi {

// Absolute form of path as the platform resolves it (current folder, "." and ".."); empty
// on failure. Trailing separators are removed except after a drive root ("C:\").
std::wstring AbsolutePath(const std::wstring& path);

// The "\\?\" form of an absolute path ("\\?\UNC\server\share\..." for UNC paths); a path that
// has the prefix already is returned unchanged.
std::wstring ExtendedPath(const std::wstring& absolutePath);

// Last component of an absolute path; empty for a drive or share root.
std::wstring LastComponent(const std::wstring& absolutePath);

} // namespace bi

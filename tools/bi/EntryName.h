// Entry names: from a walked relative path to the stored UTF-8 name, and from a stored name
// back to a relative path that is safe to create below an extraction folder on Windows.
#pragma once

#include "Status.h"

#include <string>
#include <string_view>

namespace bi {

// True when one path component can be created as itself on Windows: not empty, not "." or
// "..", no `\ / : * ? " < > |` or control characters, no trailing dot or space, and not a
// reserved device name (CON, NUL, COM1, LPT1, ... also with an extension such as NUL.txt).
bool IsSafeComponent(std::wstring_view component);

// Converts a relative path with '\' separators into the stored name ('/' separators, UTF-8).
// Refuses text that is not valid UTF-16 and names that the reader would refuse on restore,
// so that an archive never holds an entry it cannot give back (BadSourceName), and names
// longer than the writer's limit (NameTooLong).
Status ArchiveNameFromPath(std::wstring_view relativePath, std::string& name);

// Checks a stored name for extraction and returns it as a relative path with '\'
// separators. Refuses (UnsafeName) invalid UTF-8, an empty name, a leading '/', a drive
// prefix, empty components and every component IsSafeComponent rejects.
Status RelativePathFromArchiveName(std::string_view name, std::wstring& relativePath);

} // namespace bi

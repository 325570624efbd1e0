// Files the driver opens with NdisOpenFile (its firmware image): files held
// in memory, then the files of one directory. Names match without regard to
// case, as on Windows; a name with a path separator is looked up only among
// the in-memory files, so the driver cannot reach outside the directory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace host {

// Adds or replaces an in-memory file.
void AddFile(const std::string& name, const std::vector<uint8_t>& bytes);
// The directory searched after the in-memory files ("" for none).
void SetFileDirectory(const std::string& path);
// Forgets the in-memory files and the directory; open files stay open.
void ClearFiles();

}  // namespace host

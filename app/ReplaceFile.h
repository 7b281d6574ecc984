#ifndef QUORVEL_REPLACEFILE_H
#define QUORVEL_REPLACEFILE_H

#include <cstddef>
#include <string>

#include "aError.h"

// Writes the bytes to `path` so that the file holds either its old contents
// or all of the new ones, never a part: a crash or a full disk half-way must
// not leave a truncated file that later runs trust. The bytes go to a
// temporary file in the same directory, are flushed to disk, and the
// temporary is renamed over the old file (keeping its permission bits).
//
// Returns aErrNone; aErrNotFound when the file cannot be opened for writing
// (no such directory, no permission, not a regular file); aErrWrite when
// writing, flushing or renaming fails, in which case the old file is left
// untouched. `sysError` (may be null) receives the system error number.
aErr ReplaceFile(const std::string& path, const void* data, size_t length, int* sysError);

#endif

// A regedit file read from disk.
#pragma once

#include <string>

#include "platform/regedit.h"

namespace platform {

// Reads the file at `path` and parses it as parseRegedit does. A file that
// cannot be read, is not a regular file (a FIFO would block the read for
// ever) or is larger than 64 MiB gives "<path>: cannot read: <reason>".
bool loadRegeditFile(const std::string& path, RegTree* tree, std::string* error);

}  // namespace platform

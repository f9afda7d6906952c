// Reading the regedit text format ("REGEDIT4" or "Windows Registry Editor
// Version 5.00") into a RegTree: the registry a test or simulator states.
#pragma once

#include <string>
#include <string_view>

#include "platform/regtree.h"

namespace platform {

// Applies the file's keys and values to *tree, as an import would. The text is
// UTF-8 (with or without a byte-order mark) or UTF-16LE with a byte-order mark;
// lines end in LF or CRLF. Only HKEY_LOCAL_MACHINE (or HKLM) is kept: keys of
// the other standard hives are skipped with their values, an unknown hive is
// an error. On failure *tree is left as it was and *error reads
// "<fileName>:<line>: <reason>", or "<fileName>: cannot load: ..." when the
// file needs more memory than there is. Nothing is thrown.
bool parseRegedit(std::string_view bytes, const std::string& fileName, RegTree* tree,
                  std::string* error);

// Reads the file at `path` and parses it as above. A file that cannot be
// read, is not a regular file (a FIFO would block the read for ever) or is
// larger than 64 MiB gives "<path>: cannot read: <reason>".
bool loadRegeditFile(const std::string& path, RegTree* tree, std::string* error);

}  // namespace platform

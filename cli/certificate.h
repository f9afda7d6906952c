// A certificate of sanitization to print and sign: the devices of wipe
// records, one row each, with who wiped them, where and with what, and lines
// for the operator's and a validator's signatures. PDF, where the build has
// a PDF library.
#pragma once

#include <string>
#include <vector>

#include "cli/json.h"

namespace cli {

#ifdef HWDS_HAVE_HPDF
inline constexpr bool kCertificates = true;
#else
inline constexpr bool kCertificates = false;
#endif
inline constexpr char kNoCertificates[] =
    "this build of hwds has no PDF library and makes no certificates; hwds certificate "
    "on a build that has one renders the records";

// Renders the records (null ones are skipped) into a PDF at `path`; false
// with *error when it could not.
bool renderCertificate(const std::vector<Json>& records, const std::string& path, std::string* error);

}  // namespace cli

// The journal of erasures: one record a line, each line chained to the one
// before by its hash and numbered, and signed when a key is given, so that a
// line changed, removed, reordered or cut short shows.
//
// A line is the compact JSON (UTF-8, no blanks) of the record's members,
// then "seq" (1 for the first line, one more than the line before for the
// next), then "prev_sha256": the SHA-256, in lower-case hexadecimal, of the
// line before without its line end (of the empty string for the first
// line); then, when signed, "signature": the Ed25519 signature (R then S, in
// lower-case hexadecimal) of the line's bytes up to its `,"signature":`
// member, followed by `}`. Each line ends in "\n".
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "cli/crypto.h"
#include "cli/json.h"

namespace cli {

struct SigningKey {
    Ed25519Key secret{};
};
struct PublicKey {
    Ed25519Key key{};
};

// The key files of `hwds journal keygen`: 64 hexadecimal digits and a line end.
bool loadSigningKey(const std::string& path, SigningKey* key, std::string* error);
bool loadPublicKey(const std::string& path, PublicKey* key, std::string* error);
// Makes a key pair: PREFIX.secret, which only its owner may read, and
// PREFIX.public. Replaces neither; fails, writing nothing, when one is there.
bool generateKeyFiles(const std::string& prefix, std::string* error);

// The line `record` (an object) becomes after the line `previous` (without
// its line end; empty for the first line).
bool journalLine(const Json& record, std::string_view previous, const SigningKey* key, std::string* line,
                 std::string* error);

// Appends `record` to the journal at `path` (created when absent) under the
// file's lock, so that threads and processes appending at once each add a
// whole line. After a last line cut short (a crash), the record goes on a
// new line and chains to the last whole line.
bool appendJournal(const std::string& path, const Json& record, const SigningKey* key, std::string* error);

struct JournalCheck {
    std::size_t lines = 0;    // in the file, a last line cut short included
    std::size_t badLine = 0;  // the first line that does not hold, from 1; 0: none
    std::string reason;       // why not: "changed", "removed", "reordered", "bad signature" or "torn", and more
    std::string lastSha256;   // of the last line that holds (of the empty string for none)
    bool signaturesChecked = false;

    bool holds() const { return badLine == 0; }
};

// Checks every link and, with a key, every signature of a journal's bytes.
JournalCheck checkJournal(std::string_view text, const PublicKey* key);
// The same for the file at `path`, read under its lock; false when it cannot be read.
bool checkJournalFile(const std::string& path, const PublicKey* key, JournalCheck* check, std::string* error);

}  // namespace cli

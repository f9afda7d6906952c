#include "cli/journal.h"

#include <filesystem>
#include <optional>
#include <system_error>
#include <vector>

#include "platform/locked_file.h"

namespace cli {

namespace {

constexpr char kSignatureMember[] = ",\"signature\":\"";
constexpr std::size_t kSignatureDigits = 2 * sizeof(Ed25519Signature{});
// `,"signature":"`, the digits and `"}`.
constexpr std::size_t kSignatureTail = sizeof kSignatureMember - 1 + kSignatureDigits + 2;

bool fail(std::string* error, std::string why) {
    *error = std::move(why);
    return false;
}

bool readKey(const std::string& path, Ed25519Key* key, std::string* error) {
    platform::LockedFile file;
    uint64_t size = 0;
    if (!file.open(path, platform::LockedFile::Mode::Read, error) || !file.size(&size, error)) return false;
    std::string text(size < 256 ? static_cast<std::size_t>(size) : 256, '\0');
    if (!file.readAt(0, text.data(), text.size(), error)) return false;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (!parseHexExact(text, key->data(), key->size()))
        return fail(error, path + " is not a key file of hwds journal keygen (64 hexadecimal digits)");
    return true;
}

// What the journal needs of a line: its number and link, if it has them.
struct Entry {
    std::string_view text;
    std::string sha256;
    bool parsed = false;
    uint64_t seq = 0;
    std::string prev;
};

Entry entryOf(std::string_view text) {
    Entry entry;
    entry.text = text;
    entry.sha256 = sha256Hex(text);
    const Json line = Json::parse(text, nullptr, false);
    if (!line.is_object()) return entry;
    const auto seq = line.find("seq"), prev = line.find("prev_sha256");
    if (seq == line.end() || !seq->is_number_unsigned() || prev == line.end() || !prev->is_string()) return entry;
    entry.parsed = true;
    entry.seq = seq->get<uint64_t>();
    entry.prev = prev->get<std::string>();
    return entry;
}

bool signatureHolds(std::string_view line, const PublicKey& key) {
    if (line.size() < kSignatureTail) return false;
    const std::size_t member = line.size() - kSignatureTail;
    if (line.substr(member, sizeof kSignatureMember - 1) != kSignatureMember || line.substr(line.size() - 2) != "\"}")
        return false;
    Ed25519Signature signature{};
    if (!parseHexExact(line.substr(member + sizeof kSignatureMember - 1, kSignatureDigits), signature.data(),
                       signature.size()))
        return false;
    std::string message(line.substr(0, member));
    message += '}';
    return ed25519Verify(key.key, message, signature);
}

bool hasSignature(std::string_view line) { return line.find(kSignatureMember) != std::string_view::npos; }

// The last whole line of the file (without its line end), and whether a
// line cut short follows it.
bool lastWholeLine(platform::LockedFile& file, uint64_t size, std::string* line, bool* torn, std::string* error) {
    std::string tail;
    uint64_t start = size;
    for (uint64_t chunk = 4096;; chunk *= 2) {
        const uint64_t from = size > chunk ? size - chunk : 0;
        std::string more(static_cast<std::size_t>(start - from), '\0');
        if (!file.readAt(from, more.data(), more.size(), error)) return false;
        tail.insert(0, more);
        start = from;
        const std::size_t end = tail.rfind('\n');
        const std::size_t begin = end == std::string::npos || end == 0 ? std::string::npos : tail.rfind('\n', end - 1);
        if (begin != std::string::npos || start == 0) {
            *torn = !tail.empty() && tail.back() != '\n';
            if (end == std::string::npos)
                line->clear();
            else
                *line = tail.substr(begin == std::string::npos ? 0 : begin + 1,
                                    end - (begin == std::string::npos ? 0 : begin + 1));
            return true;
        }
    }
}

}  // namespace

bool loadSigningKey(const std::string& path, SigningKey* key, std::string* error) {
    return readKey(path, &key->secret, error);
}

bool loadPublicKey(const std::string& path, PublicKey* key, std::string* error) {
    return readKey(path, &key->key, error);
}

bool generateKeyFiles(const std::string& prefix, std::string* error) {
    Ed25519Key secret{}, publicKey{};
    if (!ed25519Generate(&secret, &publicKey, error)) return false;
    const std::string secretPath = prefix + ".secret", publicPath = prefix + ".public";
    if (platform::createNewFile(secretPath, hexOf(secret.data(), secret.size()) + "\n", true, error) !=
        platform::NewFile::Created)
        return false;
    if (platform::createNewFile(publicPath, hexOf(publicKey.data(), publicKey.size()) + "\n", false, error) !=
        platform::NewFile::Created) {
        // A secret key without its public half would only mislead.
        std::error_code ignored;
        std::filesystem::remove(secretPath, ignored);
        return false;
    }
    return true;
}

bool journalLine(const Json& record, std::string_view previous, const SigningKey* key, std::string* line,
                 std::string* error) {
    if (!cryptoAvailable()) return fail(error, kNoCrypto);
    if (!record.is_object()) return fail(error, "a journal record must be a JSON object");
    uint64_t seq = 1;
    if (!previous.empty()) {
        const Entry last = entryOf(previous);
        if (!last.parsed) return fail(error, "the journal's last whole line is not a journal line");
        seq = last.seq + 1;
    }
    Json object = record;
    for (const char* name : {"seq", "prev_sha256", "signature"}) object.erase(name);
    object["seq"] = seq;
    object["prev_sha256"] = sha256Hex(previous);
    *line = object.dump(-1, ' ', false, Json::error_handler_t::replace);
    if (key == nullptr) return true;
    Ed25519Signature signature{};
    if (!ed25519Sign(key->secret, *line, &signature, error)) return false;
    line->pop_back();
    *line += kSignatureMember + hexOf(signature.data(), signature.size()) + "\"}";
    return true;
}

bool appendJournal(const std::string& path, const Json& record, const SigningKey* key, std::string* error) {
    if (!cryptoAvailable()) return fail(error, kNoCrypto);
    platform::LockedFile file;
    uint64_t size = 0;
    std::string previous, line;
    bool torn = false;
    if (!file.open(path, platform::LockedFile::Mode::Append, error) || !file.size(&size, error) ||
        !lastWholeLine(file, size, &previous, &torn, error))
        return false;
    if (!journalLine(record, previous, key, &line, error)) return fail(error, path + ": " + *error);
    return file.append((torn ? "\n" : "") + line + "\n", error);
}

JournalCheck checkJournal(std::string_view text, const PublicKey* key) {
    JournalCheck check;
    check.signaturesChecked = key != nullptr;
    std::vector<Entry> entries;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\n', at);
        entries.push_back(entryOf(text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at)));
        at = end == std::string_view::npos ? text.size() : end + 1;
    }
    check.lines = entries.size();
    const bool tornLast = !text.empty() && text.back() != '\n';
    std::string link = sha256Hex("");
    uint64_t seq = 1;
    const auto bad = [&](std::size_t i, std::string reason) {
        check.badLine = i + 1;
        check.reason = std::move(reason);
        check.lastSha256 = link;
        return check;
    };
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const Entry& line = entries[i];
        const Entry* next = i + 1 < entries.size() && entries[i + 1].parsed ? &entries[i + 1] : nullptr;
        // A later append that found this line cut short chained to the line before it.
        const bool skipped = next != nullptr && next->prev == link && next->seq == seq;
        if (i + 1 == entries.size() && tornLast) return bad(i, "torn: the line is cut short (no line end)");
        if (!line.parsed)
            return bad(i, skipped ? "torn: the line is cut short; the next line chains past it"
                                  : "changed: not a journal line");
        if (line.prev != link) {
            for (std::size_t j = 0; j < entries.size(); ++j)
                if (entries[j].sha256 == line.prev)
                    return bad(i, "reordered: it chains to line " + std::to_string(j + 1));
            if (line.seq > seq) {
                const uint64_t gone = line.seq - seq;
                return bad(
                    i, "removed: " + std::to_string(gone) + (gone == 1 ? " line" : " lines") + " missing before it");
            }
            return bad(i, "changed: it does not chain to the line before");
        }
        if (line.seq != seq)
            return bad(
                i, "changed: it is numbered " + std::to_string(line.seq) + ", " + std::to_string(seq) + " expected");
        if (next != nullptr && next->text == line.text) {
            link = line.sha256;
            return bad(i + 1, "reordered: it repeats line " + std::to_string(i + 1));
        }
        if (skipped) return bad(i, "torn or inserted: the next line chains past it");
        const bool nextBroken = next != nullptr && next->seq == seq + 1 && next->prev != line.sha256;
        if (key != nullptr && !signatureHolds(line.text, *key)) {
            if (nextBroken) return bad(i, "changed: the next line does not chain to it");
            return bad(i, hasSignature(line.text) ? "bad signature" : "bad signature: the line is not signed");
        }
        if (key == nullptr && nextBroken) {
            // When the line after the next one does not chain to the next one
            // either, the next line is the one changed, and shows as such.
            const Entry* after = i + 2 < entries.size() && entries[i + 2].parsed ? &entries[i + 2] : nullptr;
            if (after == nullptr || after->prev == next->sha256)
                return bad(i, "changed: the next line does not chain to it");
        }
        link = line.sha256;
        ++seq;
    }
    check.lastSha256 = link;
    return check;
}

bool checkJournalFile(const std::string& path, const PublicKey* key, JournalCheck* check, std::string* error) {
    if (!cryptoAvailable()) return fail(error, kNoCrypto);
    platform::LockedFile file;
    uint64_t size = 0;
    if (!file.open(path, platform::LockedFile::Mode::Read, error) || !file.size(&size, error)) return false;
    std::string text(static_cast<std::size_t>(size), '\0');
    if (!file.readAt(0, text.data(), text.size(), error)) return false;
    file.close();
    *check = checkJournal(text, key);
    return true;
}

}  // namespace cli

// The journal of erasures: its hashes and signatures against published vectors, the chain it writes, every
// kind of tampering found at its line, a line cut short and the append after it, and the key files.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/crypto.h"
#include "cli/journal.h"
#include "tests/fakes/temp_dir.h"

namespace {

using Lines = std::vector<std::string>;

constexpr char kEmptySha256[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
// RFC 8032, section 7.1, test 1.
constexpr char kRfcSecret[] = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";
constexpr char kRfcPublic[] = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
constexpr char kRfcSignature[] =
    "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe2465"
    "5141438e7a100b";
// Test 2 of the same section: another key.
constexpr char kOtherPublic[] = "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c";

cli::Ed25519Key keyOf(const char* hex) {
    cli::Ed25519Key key{};
    EXPECT_TRUE(cli::parseHexExact(hex, key.data(), key.size())) << hex;
    return key;
}

std::string joined(const Lines& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

Lines split(const std::string& text) {
    Lines lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

cli::Json record(int n) {
    cli::Json r;
    r["type"] = "TUVAK";
    r["identifier"] = "DEV" + std::to_string(n);
    r["status"] = "erased";
    return r;
}

class JournalTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!cli::cryptoAvailable()) GTEST_SKIP() << "this build has no libgcrypt";
        ASSERT_FALSE(dir.path.empty());
        path = dir.path + "/journal.jsonl";
    }
    void append(int n, const cli::SigningKey* key) {
        std::string error;
        ASSERT_TRUE(cli::appendJournal(path, record(n), key, &error)) << error;
    }
    // Records 1 to `count`, each signed with the RFC key when `signed_`.
    Lines journal(int count, bool signedLines) {
        for (int n = 1; n <= count; ++n) append(n, signedLines ? &secret : nullptr);
        return split(fileText(path));
    }

    fakes::TempDir dir;
    std::string path;
    cli::SigningKey secret{keyOf(kRfcSecret)};
    cli::PublicKey publicKey{keyOf(kRfcPublic)};
};

TEST_F(JournalTest, HashAndSignatureMatchPublishedVectors) {
    EXPECT_EQ(cli::sha256Hex(""), kEmptySha256);
    EXPECT_EQ(cli::sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    cli::Ed25519Signature signature{};
    std::string error;
    ASSERT_TRUE(cli::ed25519Sign(secret.secret, "", &signature, &error)) << error;
    EXPECT_EQ(cli::hexOf(signature.data(), signature.size()), kRfcSignature);
    EXPECT_TRUE(cli::ed25519Verify(publicKey.key, "", signature));
    EXPECT_FALSE(cli::ed25519Verify(publicKey.key, "x", signature));
    EXPECT_FALSE(cli::ed25519Verify(keyOf(kOtherPublic), "", signature));
    signature[63] ^= 0x01;
    EXPECT_FALSE(cli::ed25519Verify(publicKey.key, "", signature));
}

TEST_F(JournalTest, EachLineChainsToTheOneBefore) {
    const Lines lines = journal(3, false);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0],
              std::string(R"({"type":"TUVAK","identifier":"DEV1","status":"erased","seq":1,"prev_sha256":")") +
                  kEmptySha256 + "\"}");
    EXPECT_EQ(lines[1], R"({"type":"TUVAK","identifier":"DEV2","status":"erased","seq":2,"prev_sha256":")" +
                            cli::sha256Hex(lines[0]) + "\"}");
    EXPECT_EQ(lines[2], R"({"type":"TUVAK","identifier":"DEV3","status":"erased","seq":3,"prev_sha256":")" +
                            cli::sha256Hex(lines[1]) + "\"}");
    const cli::JournalCheck check = cli::checkJournal(joined(lines), nullptr);
    EXPECT_TRUE(check.holds()) << check.badLine << ": " << check.reason;
    EXPECT_EQ(check.lines, 3u);
    EXPECT_EQ(check.lastSha256, cli::sha256Hex(lines[2]));
    EXPECT_FALSE(check.signaturesChecked);
}

TEST_F(JournalTest, ASignedLineCarriesTheSignatureOfItselfWithoutIt) {
    const Lines lines = journal(2, true);
    ASSERT_EQ(lines.size(), 2u);
    const std::string member = ",\"signature\":\"";
    const std::size_t at = lines[1].rfind(member);
    ASSERT_NE(at, std::string::npos) << lines[1];
    EXPECT_EQ(lines[1].size(), at + member.size() + 128 + 2);
    EXPECT_EQ(lines[1].substr(0, at),
              R"({"type":"TUVAK","identifier":"DEV2","status":"erased","seq":2,"prev_sha256":")" +
                  cli::sha256Hex(lines[0]) + "\"");
    cli::Ed25519Signature signature{};
    ASSERT_TRUE(cli::parseHexExact(lines[1].substr(at + member.size(), 128), signature.data(), signature.size()));
    EXPECT_TRUE(cli::ed25519Verify(publicKey.key, lines[1].substr(0, at) + "}", signature));
    const cli::JournalCheck check = cli::checkJournal(joined(lines), &publicKey);
    EXPECT_TRUE(check.holds()) << check.badLine << ": " << check.reason;
    EXPECT_TRUE(check.signaturesChecked);
}

TEST_F(JournalTest, FieldsOfTheChainInTheRecordAreReplaced) {
    cli::Json forged = record(1);
    forged["signature"] = "00";
    forged["seq"] = 7;
    forged["prev_sha256"] = "ff";
    std::string error;
    ASSERT_TRUE(cli::appendJournal(path, forged, nullptr, &error)) << error;
    EXPECT_EQ(fileText(path), std::string(R"({"type":"TUVAK","identifier":"DEV1","status":"erased","seq":1,)") +
                                  "\"prev_sha256\":\"" + kEmptySha256 + "\"}\n");
}

TEST_F(JournalTest, TextThatIsNotUtf8IsReplacedAndStillChains) {
    cli::Json r = record(1);
    r["operator"] = std::string("Ivan\xff");
    std::string error;
    ASSERT_TRUE(cli::appendJournal(path, r, &secret, &error)) << error;
    append(2, &secret);
    const std::string text = fileText(path);
    EXPECT_NE(text.find("\"operator\":\"Ivan\xef\xbf\xbd\""), std::string::npos) << text;
    EXPECT_TRUE(cli::checkJournal(text, &publicKey).holds());
}

// Lines far longer than the tail the appender reads first.
TEST_F(JournalTest, LongLinesChainToo) {
    for (std::size_t size : {5000u, 20000u, 3u, 70000u}) {
        cli::Json r = record(static_cast<int>(size));
        r["note"] = std::string(size, 'x');
        std::string error;
        ASSERT_TRUE(cli::appendJournal(path, r, nullptr, &error)) << error;
    }
    const cli::JournalCheck check = cli::checkJournal(fileText(path), nullptr);
    EXPECT_TRUE(check.holds()) << check.badLine << ": " << check.reason;
    EXPECT_EQ(check.lines, 4u);
}

TEST_F(JournalTest, EveryKindOfTamperingShowsAtItsLine) {
    struct Case {
        const char* what;
        bool signedLines;
        bool withKey;
        std::function<void(Lines&)> tamper;
        std::size_t badLine;
        const char* reason;
    };
    const auto replace = [](std::string& line, const std::string& from, const std::string& to) {
        const std::size_t at = line.find(from);
        ASSERT_NE(at, std::string::npos) << line;
        line.replace(at, from.size(), to);
    };
    const std::vector<Case> cases = {
        {.what = "a byte of line 2's record",
         .signedLines = false,
         .withKey = false,
         .tamper = [&](Lines& l) { replace(l[1], "DEV2", "DEV9"); },
         .badLine = 2,
         .reason = "changed: the next line does not chain to it"},
        {.what = "a byte of line 2's record, signed",
         .signedLines = true,
         .withKey = true,
         .tamper = [&](Lines& l) { replace(l[1], "DEV2", "DEV9"); },
         .badLine = 2,
         .reason = "changed: the next line does not chain to it"},
        {.what = "a byte of line 2's link",
         .signedLines = false,
         .withKey = false,
         .tamper = [&](Lines& l) { replace(l[1], "\"prev_sha256\":\"", "\"prev_sha256\":\"0"); },
         .badLine = 2,
         .reason = "changed: it does not chain to the line before"},
        {.what = "line 2's number",
         .signedLines = false,
         .withKey = false,
         .tamper = [&](Lines& l) { replace(l[1], "\"seq\":2", "\"seq\":5"); },
         .badLine = 2,
         .reason = "changed: it is numbered 5, 2 expected"},
        {.what = "line 2's number not a whole number",
         .signedLines = false,
         .withKey = false,
         .tamper = [&](Lines& l) { replace(l[1], "\"seq\":2", "\"seq\":2.0"); },
         .badLine = 2,
         .reason = "changed: not a journal line"},
        {.what = "line 2's link not a text",
         .signedLines = false,
         .withKey = false,
         .tamper = [&](Lines& l) { replace(l[1], "\"prev_sha256\":\"", "\"prev_sha256\":1,\"x\":\""); },
         .badLine = 2,
         .reason = "changed: not a journal line"},
        {.what = "a byte of the last line's link, signed",
         .signedLines = true,
         .withKey = true,
         .tamper = [&](Lines& l) { replace(l[3], "\"prev_sha256\":\"", "\"prev_sha256\":\"0"); },
         .badLine = 4,
         .reason = "changed: it does not chain to the line before"},
        {.what = "line 3 no longer JSON",
         .signedLines = false,
         .withKey = false,
         .tamper = [&](Lines& l) { replace(l[2], "{", "["); },
         .badLine = 3,
         .reason = "changed: not a journal line"},
        {.what = "line 2 with a CR before its line end",
         .signedLines = false,
         .withKey = false,
         .tamper = [](Lines& l) { l[1] += "\r"; },
         .badLine = 2,
         .reason = "changed: the next line does not chain to it"},
        {.what = "the last line, signed",
         .signedLines = true,
         .withKey = true,
         .tamper = [&](Lines& l) { replace(l[3], "erased", "failed"); },
         .badLine = 4,
         .reason = "bad signature"},
        {.what = "line 2 removed",
         .signedLines = false,
         .withKey = false,
         .tamper = [](Lines& l) { l.erase(l.begin() + 1); },
         .badLine = 2,
         .reason = "removed: 1 line missing before it"},
        {.what = "lines 2 and 3 removed",
         .signedLines = true,
         .withKey = true,
         .tamper = [](Lines& l) { l.erase(l.begin() + 1, l.begin() + 3); },
         .badLine = 2,
         .reason = "removed: 2 lines missing before it"},
        {.what = "line 1 removed",
         .signedLines = false,
         .withKey = false,
         .tamper = [](Lines& l) { l.erase(l.begin()); },
         .badLine = 1,
         .reason = "removed: 1 line missing before it"},
        {.what = "lines 2 and 3 swapped",
         .signedLines = false,
         .withKey = false,
         .tamper = [](Lines& l) { std::swap(l[1], l[2]); },
         .badLine = 2,
         .reason = "reordered: it chains to line 3"},
        {.what = "line 2 moved to the end",
         .signedLines = true,
         .withKey = true,
         .tamper = [](Lines& l) { std::rotate(l.begin() + 1, l.begin() + 2, l.end()); },
         .badLine = 2,
         .reason = "reordered: it chains to line 4"},
        {.what = "line 2 repeated",
         .signedLines = false,
         .withKey = false,
         .tamper = [](Lines& l) { l.insert(l.begin() + 2, l[1]); },
         .badLine = 3,
         .reason = "reordered: it repeats line 2"},
        {.what = "line 2 repeated after line 3",
         .signedLines = false,
         .withKey = false,
         .tamper = [](Lines& l) { l.insert(l.begin() + 3, l[1]); },
         .badLine = 4,
         .reason = "reordered: it chains to line 1"},
        {.what = "a copy of line 3 put first",
         .signedLines = false,
         .withKey = false,
         .tamper = [](Lines& l) { l.insert(l.begin(), l[2]); },
         .badLine = 1,
         .reason = "reordered: it chains to line 3"},
        {.what = "a byte of line 2's signature",
         .signedLines = true,
         .withKey = true,
         .tamper = [](Lines& l) { l[1][l[1].size() - 3] = l[1][l[1].size() - 3] == '0' ? '1' : '0'; },
         .badLine = 2,
         .reason = "changed: the next line does not chain to it"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(path);
        Lines lines = journal(4, c.signedLines);
        ASSERT_EQ(lines.size(), 4u);
        c.tamper(lines);
        const cli::JournalCheck check = cli::checkJournal(joined(lines), c.withKey ? &publicKey : nullptr);
        EXPECT_EQ(check.badLine, c.badLine) << check.reason;
        EXPECT_EQ(check.reason, c.reason);
        EXPECT_FALSE(check.holds());
    }
}

// Only on the last line: an earlier one shows as changed by the link that follows it.
TEST_F(JournalTest, SignaturesThatDoNotHold) {
    const std::string signedJournal = joined(journal(2, true));
    const cli::PublicKey other{keyOf(kOtherPublic)};
    cli::JournalCheck check = cli::checkJournal(signedJournal, &other);
    EXPECT_EQ(check.badLine, 1u);
    EXPECT_EQ(check.reason, "bad signature");
    std::filesystem::remove(path);
    append(1, &secret);
    append(2, nullptr);
    check = cli::checkJournal(fileText(path), &publicKey);
    EXPECT_EQ(check.badLine, 2u);
    EXPECT_EQ(check.reason, "bad signature: the line is not signed");
    EXPECT_TRUE(cli::checkJournal(fileText(path), nullptr).holds());
}

TEST_F(JournalTest, ALineCutShortIsTornAndTheNextAppendGoesRoundIt) {
    const Lines whole = journal(2, true);
    const std::string cut = whole[1].substr(0, 40);
    std::ofstream(path, std::ios::binary | std::ios::app) << cut;
    cli::JournalCheck check = cli::checkJournal(fileText(path), &publicKey);
    EXPECT_EQ(check.badLine, 3u);
    EXPECT_EQ(check.reason, "torn: the line is cut short (no line end)");
    EXPECT_EQ(check.lines, 3u);
    EXPECT_EQ(check.lastSha256, cli::sha256Hex(whole[1]));

    append(3, &secret);
    const Lines after = split(fileText(path));
    ASSERT_EQ(after.size(), 4u);
    EXPECT_EQ(after[2], cut);
    EXPECT_EQ(after[3].substr(0, after[3].find(",\"signature\"")),
              R"({"type":"TUVAK","identifier":"DEV3","status":"erased","seq":3,"prev_sha256":")" +
                  cli::sha256Hex(whole[1]) + "\"");
    check = cli::checkJournal(fileText(path), &publicKey);
    EXPECT_EQ(check.badLine, 3u);
    EXPECT_EQ(check.reason, "torn: the line is cut short; the next line chains past it");
    // A whole line cut only of its line end, then gone round, is no longer the chain's.
    std::filesystem::remove(path);
    const Lines two = journal(2, false);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << two[0] << "\n" << two[1];
    append(3, nullptr);
    check = cli::checkJournal(fileText(path), nullptr);
    EXPECT_EQ(check.badLine, 2u);
    EXPECT_EQ(check.reason, "torn or inserted: the next line chains past it");
}

TEST_F(JournalTest, AFirstLineCutShortIsGoneRoundFromTheStart) {
    std::ofstream(path, std::ios::binary) << "{\"type\":\"TU";
    append(1, nullptr);
    const Lines lines = split(fileText(path));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1],
              std::string(R"({"type":"TUVAK","identifier":"DEV1","status":"erased","seq":1,"prev_sha256":")") +
                  kEmptySha256 + "\"}");
    const cli::JournalCheck check = cli::checkJournal(fileText(path), nullptr);
    EXPECT_EQ(check.badLine, 1u);
    EXPECT_EQ(check.reason, "torn: the line is cut short; the next line chains past it");
}

TEST_F(JournalTest, EmptyJournalHolds) {
    const cli::JournalCheck check = cli::checkJournal("", &publicKey);
    EXPECT_TRUE(check.holds());
    EXPECT_EQ(check.lines, 0u);
    EXPECT_EQ(check.lastSha256, kEmptySha256);
}

TEST_F(JournalTest, AppendsThatCannotBeMade) {
    std::string error;
    EXPECT_FALSE(cli::appendJournal(path, cli::Json::array(), nullptr, &error));
    EXPECT_EQ(error, path + ": a journal record must be a JSON object");
    std::ofstream(path, std::ios::binary) << "not a journal\n";
    EXPECT_FALSE(cli::appendJournal(path, record(1), nullptr, &error));
    EXPECT_EQ(error, path + ": the journal's last whole line is not a journal line");
    EXPECT_EQ(fileText(path), "not a journal\n");
    EXPECT_FALSE(cli::appendJournal(dir.path + "/no/such/folder/j", record(1), nullptr, &error));
    EXPECT_NE(error.find("cannot open " + dir.path + "/no/such/folder/j"), std::string::npos) << error;
}

TEST_F(JournalTest, KeygenWritesAPairAndNeverReplacesOne) {
    const std::string prefix = dir.path + "/station";
    std::string error;
    ASSERT_TRUE(cli::generateKeyFiles(prefix, &error)) << error;
    const std::string secretText = fileText(prefix + ".secret"), publicText = fileText(prefix + ".public");
    EXPECT_EQ(secretText.size(), 65u);
    EXPECT_EQ(publicText.size(), 65u);
    cli::SigningKey made;
    cli::PublicKey madePublic;
    ASSERT_TRUE(cli::loadSigningKey(prefix + ".secret", &made, &error)) << error;
    ASSERT_TRUE(cli::loadPublicKey(prefix + ".public", &madePublic, &error)) << error;
    std::string line;
    ASSERT_TRUE(cli::journalLine(record(1), "", &made, &line, &error)) << error;
    EXPECT_TRUE(cli::checkJournal(line + "\n", &madePublic).holds());

    EXPECT_FALSE(cli::generateKeyFiles(prefix, &error));
    EXPECT_NE(error.find("cannot create " + prefix + ".secret"), std::string::npos) << error;
    EXPECT_EQ(fileText(prefix + ".secret"), secretText);
    EXPECT_EQ(fileText(prefix + ".public"), publicText);
    // A public key alone is kept, and no secret key is left without it.
    const std::string lone = dir.path + "/lone";
    dir.write("lone.public", publicText);
    EXPECT_FALSE(cli::generateKeyFiles(lone, &error));
    EXPECT_NE(error.find("cannot create " + lone + ".public"), std::string::npos) << error;
    EXPECT_FALSE(std::filesystem::exists(lone + ".secret"));
    EXPECT_EQ(fileText(lone + ".public"), publicText);
}

TEST_F(JournalTest, KeyFilesThatAreNotKeys) {
    struct Case {
        const char* text;
        bool ok;
    };
    const Case cases[] = {
        {.text = kRfcPublic, .ok = true},
        {.text = "D75A980182B10AB7D54BFED3C964073A0EE172F3DAA62325AF021A68F707511A\r\n", .ok = true},
        {.text = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511", .ok = false},
        {.text = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a0", .ok = false},
        {.text = "g75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", .ok = false},
        {.text = "dx5a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", .ok = false},
        {.text = "", .ok = false},
    };
    for (const Case& c : cases) {
        const std::string file = dir.write("key.public", c.text);
        cli::PublicKey key;
        std::string error;
        EXPECT_EQ(cli::loadPublicKey(file, &key, &error), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(key.key, publicKey.key);
        } else {
            EXPECT_EQ(error, file + " is not a key file of hwds journal keygen (64 hexadecimal digits)");
        }
    }
    std::string error;
    cli::SigningKey none;
    EXPECT_FALSE(cli::loadSigningKey(dir.path + "/absent.secret", &none, &error));
    EXPECT_NE(error.find("cannot open " + dir.path + "/absent.secret"), std::string::npos) << error;
}

}  // namespace

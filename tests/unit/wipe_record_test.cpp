// The record of a wipe: its fields in order, its texts (times, UUID, status,
// file names), and record files that never replace one another.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cli/record.h"
#include "tests/fakes/fake_system.h"
#include "tests/fakes/temp_dir.h"

namespace {

using cli::Json;

cli::WipeOutcome tuvakOutcome() {
    cli::WipeOutcome o;
    o.result = CE_OK;
    o.passesDone = 2;
    o.size = 128;
    o.bytesErased = 128;
    o.verified = true;
    o.type = "TUVAK";
    o.id = "DEV0";
    o.passes = {0xFF, 0x00};
    o.verify = true;
    o.serial = "DEV0";
    o.port = "COM3";
    o.presentBytes = 128;
    o.started = 1796660425123;
    o.finished = 1796660426500;
    return o;
}

class WipeRecordTest : public ::testing::Test {
protected:
    fakes::FakeSystem system;
    platform::ScopedServices services{{.system = &system}};
};

TEST(WipeRecordText, UtcTimesWithMilliseconds) {
    const std::pair<int64_t, const char*> table[] = {
        {0, "1970-01-01T00:00:00.000Z"},
        {1796660425123, "2026-12-07T16:20:25.123Z"},
        {951782399999, "2000-02-28T23:59:59.999Z"},
        {951782400001, "2000-02-29T00:00:00.001Z"},
    };
    for (const auto& [ms, text] : table) EXPECT_EQ(cli::utcText(ms), text) << ms;
}

TEST(WipeRecordText, UuidCarriesVersion4AndTheVariant) {
    const uint8_t ones[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                              0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const uint8_t zeros[16] = {};
    const uint8_t counting[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    EXPECT_EQ(cli::uuidText(ones), "ffffffff-ffff-4fff-bfff-ffffffffffff");
    EXPECT_EQ(cli::uuidText(zeros), "00000000-0000-4000-8000-000000000000");
    EXPECT_EQ(cli::uuidText(counting), "00010203-0405-4607-8809-0a0b0c0d0e0f");
}

TEST(WipeRecordText, StatusSaysWhetherItWasVerified) {
    cli::WipeOutcome o = tuvakOutcome();
    EXPECT_EQ(cli::wipeStatus(o), "erased");
    o.verified = false;
    EXPECT_EQ(cli::wipeStatus(o), "erased, not verified");
    o.failure = "pass 2 of 2: the device did not confirm a write";
    EXPECT_EQ(cli::wipeStatus(o), "failed");
}

TEST(WipeRecordText, FileNamesFromTypeIdentifierAndStamp) {
    const Json tuvak = {
        {"type", "TUVAK"}, {"identifier", "DEV0"}, {"serial", "DEV0"}, {"finished", "2026-12-07T16:20:26.500Z"}};
    const Json accord = {{"type", "ACCORD"},
                         {"identifier", nullptr},
                         {"serial", "0C510E7A13000042"},
                         {"finished", "2026-12-07T16:20:26.500Z"}};
    const Json odd = {{"type", "TUVAK"}, {"identifier", "a/b\\c:d Ж"}, {"finished", "2026-12-07T16:20:26.500Z"}};
    const Json unknown = {
        {"type", "ACCORD"}, {"identifier", nullptr}, {"serial", nullptr}, {"finished", "2026-12-07T16:20:26.500Z"}};
    EXPECT_EQ(cli::recordFileName(tuvak, 1), "TUVAK-DEV0-20261207T162026.500Z.json");
    EXPECT_EQ(cli::recordFileName(tuvak, 2), "TUVAK-DEV0-20261207T162026.500Z-2.json");
    EXPECT_EQ(cli::recordFileName(accord, 1), "ACCORD-0C510E7A13000042-20261207T162026.500Z.json");
    EXPECT_EQ(cli::recordFileName(odd, 1), "TUVAK-a_b_c_d___-20261207T162026.500Z.json");
    EXPECT_EQ(cli::recordFileName(unknown, 3), "ACCORD-unknown-20261207T162026.500Z-3.json");
}

TEST_F(WipeRecordTest, EveryFieldInOrder) {
    Json record;
    ASSERT_TRUE(cli::wipeRecord({.host = "station-1", .operatorName = "Иван Петров", .organization = "Отдел 5"},
                                tuvakOutcome(), &record));
    const Json expected = Json::parse(R"({
        "record_id": "a0a1a2a3-a4a5-46a7-a8a9-aaabacadaeaf", "tool": "hwds", "version": "1.0.0",
        "host": "station-1", "operator": "Иван Петров", "organization": "Отдел 5",
        "type": "TUVAK", "identifier": "DEV0", "serial": "DEV0", "description": "Тувак key device",
        "port": "COM3", "size_bytes": 128, "method_type": "Clear", "method": "Overwrite", "passes": [255, 0],
        "passes_done": 2, "bytes_erased": 128, "verification": "read back in full", "verified": true,
        "started": "2026-12-07T16:20:25.123Z", "finished": "2026-12-07T16:20:26.500Z", "duration_s": 1.377,
        "result": "CE_OK", "status": "erased", "error": null})");
    EXPECT_EQ(record, expected);
}

TEST_F(WipeRecordTest, AFailedAccordWipeNamesNoPortAndNoOrganization) {
    cli::WipeOutcome o = tuvakOutcome();
    o.type = "ACCORD";
    o.id = "";
    o.port = "";
    o.serial = "0C510E7A13000042";
    o.presentBytes = 7680;
    o.size = 7560;
    o.bytesErased = 7560;
    o.passesDone = 1;
    o.verify = false;
    o.verified = false;
    o.result = CE_CANCELED;
    o.failure = "pass 2 of 2: the device is not attached";
    Json record;
    ASSERT_TRUE(cli::wipeRecord(cli::recordRun("", ""), o, &record));
    const std::pair<const char*, Json> fields[] = {
        {"operator", "operator1"},
        {"organization", nullptr},
        {"identifier", nullptr},
        {"description", "Touch Memory key, family 0x0C"},
        {"port", nullptr},
        {"size_bytes", 7680},
        {"bytes_erased", 7560},
        {"verification", "none"},
        {"result", "CE_CANCELED"},
        {"status", "failed"},
        {"error", "pass 2 of 2: the device is not attached"},
    };
    for (const auto& [name, value] : fields) EXPECT_EQ(record[name], value) << name;
    EXPECT_EQ(record.size(), 25u);
}

TEST_F(WipeRecordTest, NoRandomBytesNoRecord) {
    system.randomFails = true;
    Json record;
    EXPECT_FALSE(cli::wipeRecord({}, tuvakOutcome(), &record));
}

TEST_F(WipeRecordTest, RecordFilesNeverReplaceOneAnother) {
    fakes::TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    std::vector<std::string> paths;
    for (const char* operatorName : {"first", "second", "third"}) {
        Json record;
        ASSERT_TRUE(
            cli::wipeRecord({.host = "h", .operatorName = operatorName, .organization = ""}, tuvakOutcome(), &record));
        std::string path, error;
        ASSERT_TRUE(cli::writeRecordFile(dir.path, record, &path, &error)) << error;
        paths.push_back(std::filesystem::path(path).filename().string());
    }
    EXPECT_EQ(paths, (std::vector<std::string>{"TUVAK-DEV0-20261207T162026.500Z.json",
                                               "TUVAK-DEV0-20261207T162026.500Z-2.json",
                                               "TUVAK-DEV0-20261207T162026.500Z-3.json"}));
    // Each file holds its own record, and nothing else is left in the folder.
    for (std::size_t i = 0; i < paths.size(); ++i) {
        std::ifstream in(std::filesystem::path(dir.path) / paths[i]);
        const Json read = Json::parse(in, nullptr, false);
        EXPECT_EQ(read["operator"], (std::vector<std::string>{"first", "second", "third"})[i]);
    }
    const auto entries = std::distance(std::filesystem::directory_iterator(dir.path), {});
    EXPECT_EQ(entries, 3);

    system.publishError = platform::kErrAccessDenied;
    std::string path, error;
    EXPECT_FALSE(cli::writeRecordFile(dir.path, Json::object(), &path, &error));
    EXPECT_NE(error.find("cannot write (system error 5)"), std::string::npos) << error;
}

}  // namespace

// hwds journal end to end: the key files keygen writes, verify's report and exit status on a journal that holds
// and on each kind of tampering, appends from two processes at once, and a journal written here verified by
// hwds.exe under Wine.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/journal.h"
#include "sim/control/sim_process.h"
#include "tests/e2e/wine_host.h"
#include "tests/fakes/temp_dir.h"

#if !defined(HWDS_CLI_PATH)
#error "this suite runs hwds: build it where the program is built"
#endif

namespace {

using Lines = std::vector<std::string>;
using Strings = std::vector<std::string>;

std::string fileText(const std::string& path) {
    std::string text;
    sim::readTextFile(path, &text);
    return text;
}

Lines split(const std::string& text) {
    Lines lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

void writeLines(const std::string& path, const Lines& lines) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (const std::string& line : lines) out << line << "\n";
}

cli::Json record(const std::string& identifier) {
    cli::Json r;
    r["type"] = "TUVAK";
    r["identifier"] = identifier;
    r["operator"] = "Иванов";
    return r;
}

// The three tamperings a journal must never survive, each found at line 2.
struct Tampering {
    const char* what;
    std::function<void(Lines&)> apply;
    const char* reason;
};
const std::vector<Tampering> kTamperings = {
    {.what = "a byte changed in line 2",
     .apply = [](Lines& l) { l[1][l[1].find("DEV2") + 3] = '9'; },
     .reason = "changed: the next line does not chain to it"},
    {.what = "line 2 removed",
     .apply = [](Lines& l) { l.erase(l.begin() + 1); },
     .reason = "removed: 1 line missing before it"},
    {.what = "lines 2 and 3 swapped",
     .apply = [](Lines& l) { std::swap(l[1], l[2]); },
     .reason = "reordered: it chains to line 3"},
};

class JournalE2e : public ::testing::Test {
protected:
    void SetUp() override {
        if (!cli::cryptoAvailable()) GTEST_SKIP() << "this build has no libgcrypt";
        ASSERT_FALSE(dir.path.empty()) << "no temporary directory";
        journal = dir.path + "/J";
        prefix = dir.path + "/K";
    }
    sim::RunResult hwds(Strings args) {
        args.insert(args.begin(), HWDS_CLI_PATH);
        return sim::runProgram(args, {"LC_ALL=C.UTF-8"});
    }
    // A key pair from the Linux hwds, and `count` records signed with it.
    void signedJournal(int count) {
        const sim::RunResult made = hwds({"journal", "keygen", prefix});
        ASSERT_EQ(made.exitCode, 0) << made.err;
        std::string error;
        ASSERT_TRUE(cli::loadSigningKey(prefix + ".secret", &secret, &error)) << error;
        for (int n = 1; n <= count; ++n)
            ASSERT_TRUE(cli::appendJournal(journal, record("DEV" + std::to_string(n)), &secret, &error)) << error;
    }

    fakes::TempDir dir;
    std::string journal, prefix;
    cli::SigningKey secret;
};

TEST_F(JournalE2e, KeygenWritesAnOwnerOnlySecretAndNeverReplacesAKey) {
    if (e2e::WineHost::get()) GTEST_SKIP() << "runs the Linux build only";
    const mode_t saved = ::umask(0);
    const sim::RunResult made = hwds({"journal", "keygen", prefix});
    ::umask(saved);
    ASSERT_EQ(made.exitCode, 0) << made.err;
    EXPECT_EQ(made.out + made.err, "");
    struct stat secretStat = {};
    struct stat publicStat = {};
    ASSERT_EQ(::stat((prefix + ".secret").c_str(), &secretStat), 0);
    ASSERT_EQ(::stat((prefix + ".public").c_str(), &publicStat), 0);
    EXPECT_EQ(secretStat.st_mode & 0777, 0600u);
    EXPECT_EQ(publicStat.st_mode & 0777, 0644u);
    const std::string secretText = fileText(prefix + ".secret");
    const sim::RunResult again = hwds({"journal", "keygen", prefix});
    EXPECT_EQ(again.exitCode, 2);
    EXPECT_EQ(again.err, "hwds: cannot create " + prefix + ".secret: File exists\n");
    EXPECT_EQ(fileText(prefix + ".secret"), secretText);
}

TEST_F(JournalE2e, VerifyReportsTheFirstBadLineAndExits6) {
    if (e2e::WineHost::get()) GTEST_SKIP() << "runs the Linux build only";
    signedJournal(3);
    const sim::RunResult good = hwds({"journal", "verify", journal, "--key", prefix + ".public", "--json"});
    EXPECT_EQ(good.exitCode, 0) << good.err;
    EXPECT_EQ(good.err, "");
    const nlohmann::json summary = nlohmann::json::parse(good.out, nullptr, false);
    EXPECT_EQ(summary.value("lines", 0), 3) << good.out;
    EXPECT_EQ(summary.value("holds", false), true);
    EXPECT_EQ(summary.value("signatures_checked", false), true);
    EXPECT_TRUE(summary.contains("bad_line") && summary["bad_line"].is_null());
    EXPECT_EQ(summary.value("last_sha256", ""), cli::sha256Hex(split(fileText(journal))[2]));
    const Lines original = split(fileText(journal));
    for (const Tampering& t : kTamperings) {
        SCOPED_TRACE(t.what);
        Lines lines = original;
        t.apply(lines);
        writeLines(journal, lines);
        for (const Strings& key : {Strings{}, Strings{"--key", prefix + ".public"}}) {
            Strings args = {"journal", "verify", journal};
            args.insert(args.end(), key.begin(), key.end());
            const sim::RunResult r = hwds(args);
            EXPECT_EQ(r.exitCode, 6);
            EXPECT_EQ(r.err, journal + ":2: " + t.reason + "\n");
            EXPECT_EQ(r.out, "");
        }
    }
    writeLines(journal, original);
    std::ofstream(journal, std::ios::binary | std::ios::app) << original[0].substr(0, 30);
    const sim::RunResult torn = hwds({"journal", "verify", journal, "--json"});
    EXPECT_EQ(torn.exitCode, 6);
    EXPECT_EQ(torn.err, journal + ":4: torn: the line is cut short (no line end)\n");
    const nlohmann::json tornSummary = nlohmann::json::parse(torn.out, nullptr, false);
    EXPECT_EQ(tornSummary.value("bad_line", 0), 4) << torn.out;
    EXPECT_EQ(tornSummary.value("holds", true), false);
}

TEST_F(JournalE2e, VerifyRefusesWhatItCannotRead) {
    if (e2e::WineHost::get()) GTEST_SKIP() << "runs the Linux build only";
    signedJournal(1);
    struct Case {
        Strings args;
        std::string says;
    };
    const std::vector<Case> cases = {
        {.args = {"journal", "verify", dir.path + "/absent"}, .says = "hwds: cannot open " + dir.path + "/absent: "},
        {.args = {"journal", "verify", journal, "--key", prefix + ".secret.x"}, .says = "hwds: cannot open "},
        {.args = {"journal", "verify", journal, "--key", journal},
         .says = "hwds: " + journal + " is not a key file of hwds journal keygen (64 hexadecimal digits)\n"},
        {.args = {"journal"}, .says = "A subcommand is required"},
        {.args = {"journal", "keygen"}, .says = "PREFIX is required"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        const sim::RunResult r = hwds(c.args);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(JournalE2e, TwoProcessesAppendingAtOnceEachAddWholeLines) {
    if (e2e::WineHost::get()) GTEST_SKIP() << "runs the Linux build only";
    signedJournal(1);
    constexpr int kEach = 40;
    const auto appendMany = [&](const std::string& who) {
        std::string error;
        for (int n = 0; n < kEach; ++n)
            if (!cli::appendJournal(journal, record(who + std::to_string(n)), &secret, &error)) return false;
        return true;
    };
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) std::_Exit(appendMany("child") ? 0 : 1);
    EXPECT_TRUE(appendMany("parent"));
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const sim::RunResult r = hwds({"journal", "verify", journal, "--key", prefix + ".public", "--json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(nlohmann::json::parse(r.out, nullptr, false).value("lines", 0), 1 + 2 * kEach) << r.out;
}

TEST_F(JournalE2e, AJournalWrittenOnLinuxHoldsForHwdsExe) {
    e2e::WineHost* wine = e2e::WineHost::get();
    if (wine == nullptr) GTEST_SKIP() << "runs hwds.exe when HWDS_E2E_WINE names the build";
    signedJournal(3);
    // Names relative to the folder it runs in: Wine's drives know no Linux path.
    const sim::RunResult good =
        wine->run("cli/hwds.exe", {"journal", "verify", "J", "--key", "K.public", "--json"}, {}, dir.path);
    EXPECT_EQ(good.exitCode, 0) << good.err;
    const nlohmann::json summary = nlohmann::json::parse(good.out, nullptr, false);
    EXPECT_EQ(summary.value("holds", false), true) << good.out;
    EXPECT_EQ(summary.value("lines", 0), 3);
    const Lines original = split(fileText(journal));
    for (const Tampering& t : kTamperings) {
        SCOPED_TRACE(t.what);
        Lines lines = original;
        t.apply(lines);
        writeLines(journal, lines);
        const sim::RunResult r =
            wine->run("cli/hwds.exe", {"journal", "verify", "J", "--key", "K.public"}, {}, dir.path);
        EXPECT_EQ(r.exitCode, 6);
        EXPECT_EQ(r.err, e2e::WineHost::console(std::string("J:2: ") + t.reason + "\n"));
    }
}

}  // namespace

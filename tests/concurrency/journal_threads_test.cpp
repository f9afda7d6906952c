// Threads appending to one journal at once, each through its own open of the file, as parallel wipes do: every
// line whole, each chained to one other, numbered without a gap. Runs under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/journal.h"
#include "tests/fakes/temp_dir.h"

namespace {

constexpr int kThreads = 6;
constexpr int kPerThread = 20;
// RFC 8032, section 7.1, test 1.
constexpr char kSecret[] = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";
constexpr char kPublic[] = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";

TEST(JournalThreads, ParallelAppendsEachAddAWholeChainedLine) {
    if (!cli::cryptoAvailable()) GTEST_SKIP() << "this build has no libgcrypt";
    fakes::TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    const std::string path = dir.path + "/journal.jsonl";
    cli::SigningKey secret;
    cli::PublicKey publicKey;
    ASSERT_TRUE(cli::parseHexExact(kSecret, secret.secret.data(), secret.secret.size()));
    ASSERT_TRUE(cli::parseHexExact(kPublic, publicKey.key.data(), publicKey.key.size()));

    std::vector<std::string> errors(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int n = 0; n < kPerThread && errors[t].empty(); ++n) {
                cli::Json record;
                // Appended piece by piece: GCC 12 at -O2 sees a false overlap in "literal" + std::string.
                std::string identifier(1, 'T');
                identifier.append(std::to_string(t)).append(1, '-').append(std::to_string(n));
                record["identifier"] = identifier;
                record["note"] = std::string(static_cast<std::size_t>(100 * (t + 1)), 'x');
                cli::appendJournal(path, record, &secret, &errors[t]);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (const std::string& error : errors) EXPECT_EQ(error, "");

    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    const cli::JournalCheck check = cli::checkJournal(text.str(), &publicKey);
    EXPECT_TRUE(check.holds()) << check.badLine << ": " << check.reason;
    EXPECT_EQ(check.lines, static_cast<std::size_t>(kThreads * kPerThread));
    std::set<std::string> identifiers;
    std::istringstream lines(text.str());
    for (std::string line; std::getline(lines, line);)
        identifiers.insert(cli::Json::parse(line, nullptr, false).value("identifier", ""));
    EXPECT_EQ(identifiers.size(), static_cast<std::size_t>(kThreads * kPerThread));
}

}  // namespace

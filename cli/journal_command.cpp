// journal: the key pair that signs the journal's lines, and the check of a
// journal's chain and signatures.
#include <memory>
#include <optional>

#include "cli/journal.h"
#include "cli/subcommand.h"

namespace cli {

namespace {

class Journal : public Subcommand {
public:
    CLI::App* add(CLI::App& program, double*) override {
        CLI::App* journal =
            program.add_subcommand("journal", "make the key pair that signs a journal of erasures, or check a journal");
        journal->require_subcommand(1);
        keygen_ = journal->add_subcommand(
            "keygen",
            "write an Ed25519 key pair: PREFIX.secret (readable by its owner only) and PREFIX.public;\n"
            "an existing file is never replaced");
        keygen_->add_option("PREFIX", prefix_, "the key files' path without .secret and .public")->required();
        verify_ = journal->add_subcommand(
            "verify",
            "check every line's link to the line before and, with --key, its signature;\n"
            "the first bad line as FILE:N: reason on standard error; exit status 6 when one is bad");
        verify_->add_option("FILE", file_, "the journal")->required();
        verify_->add_option("--key", key_, "the public key file of hwds journal keygen");
        verify_->add_flag("--json", json_, "a summary as a JSON object on standard output");
        return journal;
    }

    int run(Display&) override { return keygen_->parsed() ? keygen() : verify(); }

private:
    int keygen() {
        std::string error;
        if (!generateKeyFiles(prefix_, &error)) {
            complain(error);
            return kExitUsage;
        }
        return kExitOk;
    }

    int verify() {
        std::string error;
        std::optional<PublicKey> key;
        if (!key_.empty() && !loadPublicKey(key_, &key.emplace(), &error)) {
            complain(error);
            return kExitUsage;
        }
        JournalCheck check;
        if (!checkJournalFile(file_, key ? &*key : nullptr, &check, &error)) {
            complain(error);
            return kExitUsage;
        }
        if (!check.holds() && !writeErr(file_ + ":" + std::to_string(check.badLine) + ": " + check.reason + "\n"))
            return kExitFailed;
        if (json_) {
            Json summary;
            summary["journal"] = file_;
            summary["lines"] = check.lines;
            summary["holds"] = check.holds();
            summary["signatures_checked"] = check.signaturesChecked;
            summary["bad_line"] = check.holds() ? Json() : Json(check.badLine);
            summary["reason"] = check.holds() ? Json() : Json(check.reason);
            summary["last_sha256"] = check.lastSha256;
            if (!writeOut(jsonValue(summary) + "\n")) return kExitFailed;
        }
        return check.holds() ? kExitOk : kExitBroken;
    }

    CLI::App* keygen_ = nullptr;
    CLI::App* verify_ = nullptr;
    std::string prefix_, file_, key_;
    bool json_ = false;
};

}  // namespace

std::unique_ptr<Subcommand> journalSubcommand() { return std::make_unique<Journal>(); }

}  // namespace cli

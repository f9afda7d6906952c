// The Windows build's programs under Wine, for the end-to-end cases. HWDS_E2E_WINE
// names the build folder, WINEPREFIX the prefix, HWDS_E2E_WINE_LOCALE the locale
// and so the code pages (ru_RU.UTF-8 when unset), which must not change a byte of
// the output; LOCPATH may name a folder holding that locale.
#pragma once

#include <iconv.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/regedit.h"
#include "platform/regtree.h"
#include "sim/control/sim_process.h"

namespace e2e {

inline std::optional<std::string> findInPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const std::string candidate = dir + "/" + program;
        if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::nullopt;
}

class WineHost {
public:
    using Strings = std::vector<std::string>;

    // The host when HWDS_E2E_WINE is set, else null: the tests run the Linux programs.
    static WineHost* get() {
        static const char* const build = std::getenv("HWDS_E2E_WINE");
        static WineHost* const host = build != nullptr && *build != '\0' ? new WineHost(build) : nullptr;
        return host;
    }

    // A file of the Windows build, by its path below the build folder.
    std::string built(const std::string& path) const { return (std::filesystem::path(build_) / path).string(); }

    // The prefix's System32: what the loader searches for an installed driver.
    std::string system32() const { return prefix_ + "/drive_c/windows/system32"; }

    // A program of the Windows build with `env` added, in `dir` if given; console text in CP866.
    sim::RunResult run(const std::string& program, Strings args, Strings env = {}, const std::string& dir = {}) {
        args.insert(args.begin(), built(program));
        if (sim::RunResult failed; !start(&failed.err)) return failed;
        return wine(args, std::move(env), dir);
    }

    // A program of the Windows build with the driver data of a regedit file (see install).
    sim::RunResult runWithRegistry(const std::string& program, const std::string& registryFile, const Strings& args,
                                   Strings env = {}) {
        if (sim::RunResult failed; !start(&failed.err) || !install(registryFile, &failed.err)) return failed;
        return run(program, args, std::move(env));
    }

    // Ends the Wine session; the next run starts another. Due before a simulator closes a pty
    // that Wine has opened as a COM port: a wineserver that sees one go dumps its object table.
    void stop() {
        if (!running_) return;
        sim::runProgram({"/bin/sh", "-c", "wineserver -k"});
        running_ = false;
    }

    // What the console receives for a UTF-8 text, whatever the code pages: CP866, lines in CR LF.
    static std::string console(const std::string& utf8) {
        std::string crlf;
        for (char c : utf8) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
        iconv_t cd = ::iconv_open("CP866", "UTF-8");
        if (cd == reinterpret_cast<iconv_t>(-1)) return "<no CP866 converter>";
        std::string out(crlf.size(), '\0');
        char *in = crlf.data(), *to = out.data();
        std::size_t inLeft = crlf.size(), outLeft = out.size();
        const std::size_t rc = ::iconv(cd, &in, &inLeft, &to, &outLeft);
        ::iconv_close(cd);
        if (rc == static_cast<std::size_t>(-1)) return "<not in CP866: " + utf8 + ">";
        out.resize(out.size() - outLeft);
        return out;
    }

private:
    static bool fail(std::string* error, std::string why) {
        *error = std::move(why);
        return false;
    }

    explicit WineHost(std::string build) : build_(std::move(build)) {
        const char* prefix = std::getenv("WINEPREFIX");
        const char* locale = std::getenv("HWDS_E2E_WINE_LOCALE");
        prefix_ = prefix != nullptr ? prefix : "";
        locale_ = locale != nullptr && *locale != '\0' ? locale : "ru_RU.UTF-8";
    }

    // `wine args...` in `dir` (else here), in the locale of the run.
    sim::RunResult wine(const Strings& args, Strings env = {}, const std::string& dir = {}) const {
        Strings argv = {"/bin/sh", "-c", "cd \"$1\" && shift && exec wine \"$@\"", "sh", dir.empty() ? "." : dir};
        argv.insert(argv.end(), args.begin(), args.end());
        env.insert(env.end(), {"WINEDEBUG=-all", "LC_ALL=" + locale_, "LANG=" + locale_});
        return sim::runProgram(argv, env);
    }

    // The wineserver and services that the first run starts outlive it and would hold its pipes
    // open: they start on their own, output going nowhere. A new prefix takes a while.
    bool start(std::string* error) {
        if (running_) return true;
        if (prefix_.empty()) return fail(error, "WINEPREFIX is not set");
        const char* boot = "wineserver -p </dev/null >/dev/null 2>&1; exec wine cmd /c exit </dev/null >/dev/null 2>&1";
        const sim::RunResult r = sim::runProgram({"/bin/sh", "-c", boot}, {"WINEDEBUG=-all"}, 180000);
        if (r.exitCode != 0)
            return fail(error, "cannot start Wine in " + prefix_ + " (" + std::to_string(r.exitCode) + ")");
        running_ = true;
        return true;
    }

    // The file's keys replace the previous file's in the prefix's registry (none without a file),
    // and each COM name of its SERIALCOMM key becomes a dosdevices link to the value's node.
    bool install(const std::string& registryFile, std::string* error) {
        std::string text;
        if (!sim::readTextFile(registryFile, &text)) text.clear();
        if (installed_ && text == *installed_) return true;
        installed_.reset();
        for (const char* key :
             {"HKLM\\SYSTEM\\CurrentControlSet\\Services\\FTSER2K", "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS"})
            wine({"reg", "delete", key, "/f"});  // absent is fine
        if (!text.empty()) {
            platform::RegTree tree;
            if (!platform::parseRegedit(text, registryFile, &tree, error)) return false;
            if (const sim::RunResult r = wine({"reg", "import", registryFile}); r.exitCode != 0)
                return fail(error, "wine reg import failed (" + std::to_string(r.exitCode) + "): " + r.err);
            const platform::RegKey none;
            const platform::RegKey* serialComm = tree.findKey("HARDWARE\\DEVICEMAP\\SERIALCOMM");
            for (const auto& [node, value] : (serialComm != nullptr ? serialComm : &none)->values()) {
                std::string com(value.data.begin(), value.data.end());
                com = com.substr(0, com.find('\0'));
                for (char& c : com) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                const std::filesystem::path link = std::filesystem::path(prefix_) / "dosdevices" / com;
                std::error_code ec;
                std::filesystem::remove(link, ec);
                std::filesystem::create_symlink(node, link, ec);
                if (ec) return fail(error, "cannot link " + link.string() + ": " + ec.message());
            }
        }
        installed_ = text;
        return true;
    }

    std::string build_, prefix_, locale_;
    bool running_ = false;
    std::optional<std::string> installed_;
};

}  // namespace e2e

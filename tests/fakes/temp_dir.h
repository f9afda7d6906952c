// A directory of a test's own, removed with everything in it at the end.
#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <system_error>

namespace fakes {

class TempDir {
public:
    TempDir() {
        // create_directory reports whether it made the folder, so a name that
        // another process took in the meantime is never shared.
        std::error_code ec;
        const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
        if (ec) return;
        std::random_device seed;
        std::mt19937_64 names(seed());
        for (int attempt = 0; attempt < 100 && path.empty(); ++attempt) {
            const std::filesystem::path candidate = base / ("hwds-test-" + std::to_string(names()));
            if (std::filesystem::create_directory(candidate, ec)) path = candidate.string();
        }
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // Writes the file (and its folders) below the directory; returns its path.
    std::string write(const std::string& name, std::string_view bytes) const {
        const std::filesystem::path file = std::filesystem::path(path) / name;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return file.string();
    }

    std::string path;
};

}  // namespace fakes

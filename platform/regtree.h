// An in-memory registry: the view that the POSIX backend builds from a
// regedit file or from sysfs, and that tests fill by hand.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace platform {

inline constexpr uint32_t kRegNone = 0;
inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegExpandSz = 2;
inline constexpr uint32_t kRegBinary = 3;
inline constexpr uint32_t kRegDword = 4;
inline constexpr uint32_t kRegMultiSz = 7;

struct RegValue {
    uint32_t type = kRegNone;
    std::vector<uint8_t> data;
};

// Keys and value names compare without regard to ASCII letter case, as on
// Windows. Paths are backslash-separated and relative to HKEY_LOCAL_MACHINE.
class RegTree {
public:
    // Creates the key and any missing parents.
    void addKey(std::string_view path);
    // Creates the key if needed; replaces a value of the same name.
    void setValue(std::string_view keyPath, std::string_view name, uint32_t type,
                  std::vector<uint8_t> data);
    // REG_SZ whose data is the text and its terminating zero.
    void setString(std::string_view keyPath, std::string_view name, std::string_view text);
    void setDword(std::string_view keyPath, std::string_view name, uint32_t value);
    // Removes the key, its values and its subkeys.
    void removeKey(std::string_view path);
    void removeValue(std::string_view keyPath, std::string_view name);

    bool hasKey(std::string_view path) const;
    const RegValue* value(std::string_view keyPath, std::string_view name) const;
    // The key's values in the order they were first set.
    std::vector<std::pair<std::string, const RegValue*>> values(std::string_view keyPath) const;

private:
    struct Key {
        std::vector<std::pair<std::string, RegValue>> values;  // insertion order
    };
    std::map<std::string, Key> keys_;  // by lower-cased path
};

// The Registry interface over a RegTree. Read from several threads at once
// is safe; change the tree only while no one reads it.
class TreeRegistry : public Registry {
public:
    TreeRegistry() = default;
    explicit TreeRegistry(RegTree tree) : tree_(std::move(tree)) {}

    RegTree& tree() { return tree_; }
    const RegTree& tree() const { return tree_; }

    uint32_t openKey(const char* path, Handle* key) override;
    uint32_t queryValue(Handle key, const char* name, uint8_t* data, uint32_t* size) override;
    uint32_t closeKey(Handle key) override;

    // Keys opened and not yet closed: every path must close what it opened.
    int openKeyCount() const { return openKeys_.load(); }

private:
    RegTree tree_;
    std::atomic<int> openKeys_{0};
};

}  // namespace platform

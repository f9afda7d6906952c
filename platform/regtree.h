// An in-memory registry: the view that the POSIX backend builds from a
// regedit file or from sysfs, and that tests fill by hand.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
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

// What Windows refuses: keys nested deeper, or names longer (in UTF-16
// units) than these.
inline constexpr std::size_t kMaxKeyDepth = 512;
inline constexpr std::size_t kMaxKeyNameLength = 255;
inline constexpr std::size_t kMaxValueNameLength = 16383;

// Why Windows would refuse the key path or the value name, or null.
const char* keyPathFault(std::string_view path);
const char* valueNameFault(std::string_view name);

// A key: its subkeys by name, its values in the order they were first set.
// Names compare without regard to ASCII letter case, as on Windows.
class RegKey {
public:
    struct Value {
        std::string name;
        RegValue value;
    };

    RegKey() = default;
    RegKey(const RegKey& other);
    RegKey& operator=(const RegKey& other);
    RegKey(RegKey&&) = default;
    RegKey& operator=(RegKey&&) = default;

    const RegValue* value(std::string_view name) const;
    const std::list<Value>& values() const { return values_; }

private:
    friend class RegTree;
    std::map<std::string, std::unique_ptr<RegKey>, std::less<>> children_;  // by lower-cased name
    std::list<Value> values_;
    std::map<std::string, std::list<Value>::iterator, std::less<>> byName_;  // lower-cased
};

// Keys by backslash-separated paths relative to HKEY_LOCAL_MACHINE (empty
// components are skipped). A registry file is untrusted input: an operation
// costs time linear in its arguments (times the logarithm of a key's size),
// and nothing nests deeper than kMaxKeyDepth, so copying and dropping a tree
// recurse only that far.
class RegTree {
public:
    // Creates the key and any missing parents; false, changing nothing, for a
    // path past Windows' limits.
    bool addKey(std::string_view path);
    // Replaces a value of the same name in place.
    bool setValue(std::string_view keyPath, std::string_view name, uint32_t type, std::vector<uint8_t> data);
    // REG_SZ whose data is the text and its terminating zero.
    bool setString(std::string_view keyPath, std::string_view name, std::string_view text);
    bool setDword(std::string_view keyPath, std::string_view name, uint32_t value);
    // Removes the key, its values and its subkeys.
    void removeKey(std::string_view path);
    void removeValue(std::string_view keyPath, std::string_view name);

    // The key, or null; valid until the tree changes.
    const RegKey* findKey(std::string_view path) const;

private:
    template <class Key>
    static Key* find(Key* from, std::string_view path);
    RegKey* create(std::string_view path);

    RegKey root_;
};

// The Registry interface over a RegTree. Reading from several threads at
// once is safe; the tree itself may be changed only while no one reads it,
// but a handle keeps the tree it was opened on.
class TreeRegistry : public Registry {
public:
    TreeRegistry();
    explicit TreeRegistry(RegTree tree);

    // The tree that the next openKey sees.
    RegTree& tree() { return *tree_; }
    const RegTree& tree() const { return *tree_; }

    uint32_t openKey(const char* path, KeyHandle* key) override;
    uint32_t queryValue(KeyHandle key, const char* name, uint8_t* data, uint32_t* size) override;
    uint32_t enumValue(KeyHandle key, uint32_t index, char* name, uint32_t* nameSize) override;
    uint32_t closeKey(KeyHandle key) override;

    // Keys opened and not yet closed: every path must close what it opened.
    int openKeyCount() const { return openKeys_.load(); }

    // Whoever changes the tree says so here, which wakes waitForChange.
    void signalChange();
    ChangeWait waitForChange(uint32_t timeoutMs) override;

protected:
    // The tree for a new handle. A live view brings it up to date first.
    virtual std::shared_ptr<const RegTree> snapshot();
    // Puts a new tree in place; open handles keep theirs.
    void replaceTree(std::shared_ptr<RegTree> tree);

private:
    std::mutex mutex_;  // guards tree_ being replaced
    std::shared_ptr<RegTree> tree_;
    std::atomic<int> openKeys_{0};
    std::mutex changeMutex_;  // guards what follows
    std::condition_variable changed_;
    uint64_t changes_ = 0;
    uint64_t changesSeen_ = 0;
    bool watching_ = false;
};

}  // namespace platform

// An in-memory registry: the view that the POSIX backend builds from a
// regedit file or from sysfs, and that tests fill by hand.
#pragma once

#include <atomic>
#include <cstdint>
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

// Keys and value names compare without regard to ASCII letter case, as on
// Windows. Paths are backslash-separated and relative to HKEY_LOCAL_MACHINE.
//
// A registry file is untrusted input, so every operation costs time about
// linear in the length of its arguments, whatever the depth of a key or the
// number of values it holds, and nothing recurses. Removed keys and values
// stay in the store, unreachable, until the tree is dropped.
class RegTree {
public:
    // A key as returned by findKey; stays valid while the tree lives.
    using KeyId = uint32_t;
    static constexpr KeyId kNoKey = UINT32_MAX;

    RegTree();

    // Creates the key and any missing parents.
    void addKey(std::string_view path);
    // Creates the key if needed; replaces a value of the same name in place.
    void setValue(std::string_view keyPath, std::string_view name, uint32_t type,
                  std::vector<uint8_t> data);
    // REG_SZ whose data is the text and its terminating zero.
    void setString(std::string_view keyPath, std::string_view name, std::string_view text);
    void setDword(std::string_view keyPath, std::string_view name, uint32_t value);
    // Removes the key, its values and its subkeys.
    void removeKey(std::string_view path);
    void removeValue(std::string_view keyPath, std::string_view name);
    // Forgets removed values for good, so that enumerating a key's values
    // by index is direct again. Loaders call it when done.
    void compact();

    bool hasKey(std::string_view path) const { return findKey(path) != kNoKey; }
    const RegValue* value(std::string_view keyPath, std::string_view name) const;
    // The key's values in the order they were first set.
    std::vector<std::pair<std::string, const RegValue*>> values(std::string_view keyPath) const;

    KeyId findKey(std::string_view path) const;
    const RegValue* valueOf(KeyId key, std::string_view name) const;
    // Live values of the key, in the order they were first set.
    uint32_t valueCount(KeyId key) const;
    // The index-th of them (by valueCount's order), or null.
    const std::string* valueName(KeyId key, uint32_t index) const;

private:
    struct Node {
        uint32_t parent;
        uint32_t nameStart;  // in names_, lower-cased
        uint32_t nameLength;
        uint32_t valueList;  // index in lists_, or kNone
        bool live;
    };
    struct Entry {
        uint32_t key;
        bool live;
        std::string name;
        RegValue value;
    };
    struct ValueList {
        std::vector<uint32_t> entries;  // by first setting; dead ones are dropped now and then
        uint32_t dead = 0;
    };
    static constexpr uint32_t kNone = UINT32_MAX;

    std::string_view nameOf(const Node& node) const {
        return std::string_view(names_).substr(node.nameStart, node.nameLength);
    }
    // The slot that holds, or would hold, the child `name` (lower-cased) of `parent`.
    std::size_t childSlot(uint32_t parent, std::string_view name) const;
    std::size_t entrySlot(uint32_t key, std::string_view name) const;
    KeyId walk(std::string_view path, bool create);
    uint32_t findEntry(KeyId key, std::string_view name) const;

    std::vector<Node> nodes_;
    std::string names_;
    std::vector<uint32_t> childSlots_;  // node index + 1; 0 is empty
    std::vector<Entry> entries_;
    std::vector<uint32_t> entrySlots_;  // entry index + 1; 0 is empty
    std::vector<ValueList> lists_;
    KeyId root_ = 0;
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

protected:
    // The tree for a new handle. A live view brings it up to date first.
    virtual std::shared_ptr<const RegTree> snapshot();
    // Puts a new tree in place; open handles keep theirs.
    void replaceTree(std::shared_ptr<RegTree> tree);

private:
    std::mutex mutex_;  // guards tree_ being replaced
    std::shared_ptr<RegTree> tree_;
    std::atomic<int> openKeys_{0};
};

}  // namespace platform

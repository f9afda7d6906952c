#include "platform/regtree.h"

#include "platform/ascii.h"
#include "platform/ftdi_keys.h"

#include <cstring>

namespace platform {

namespace {

// FNV-1a over the parent and the lower-cased name.
std::size_t hashOf(uint32_t parent, std::string_view name) {
    uint64_t h = 1469598103934665603ull ^ parent;
    for (char c : name) {
        h ^= static_cast<uint8_t>(asciiLower(c));
        h *= 1099511628211ull;
    }
    return static_cast<std::size_t>(h ^ (h >> 29));
}

// Open addressing with linear probing over a power-of-two table holding
// index + 1 (0 is empty). Kept at most half full.
template <class Matches>
std::size_t probe(const std::vector<uint32_t>& slots, std::size_t hash, Matches matches) {
    const std::size_t mask = slots.size() - 1;
    std::size_t i = hash & mask;
    while (slots[i] != 0 && !matches(slots[i] - 1)) i = (i + 1) & mask;
    return i;
}

template <class HashOfIndex>
void rehashIfFull(std::vector<uint32_t>* slots, std::size_t used, HashOfIndex hashOfIndex) {
    if ((used + 1) * 2 <= slots->size()) return;
    std::vector<uint32_t> bigger(slots->size() * 2, 0);
    const std::size_t mask = bigger.size() - 1;
    for (uint32_t slot : *slots) {
        if (slot == 0) continue;
        std::size_t i = hashOfIndex(slot - 1) & mask;
        while (bigger[i] != 0) i = (i + 1) & mask;
        bigger[i] = slot;
    }
    slots->swap(bigger);
}

// Each backslash-separated component of a path, empty ones skipped.
template <class Visit>
bool eachComponent(std::string_view path, Visit visit) {
    while (!path.empty()) {
        const std::size_t sep = path.find('\\');
        const std::string_view part = path.substr(0, sep);
        if (!part.empty() && !visit(part)) return false;
        if (sep == std::string_view::npos) break;
        path.remove_prefix(sep + 1);
    }
    return true;
}

// What an open key handle points to: the tree it was opened on, so that a
// view replaced meanwhile does not pull the key from under its reader.
struct OpenKey {
    std::shared_ptr<const RegTree> tree;
    RegTree::KeyId key;
};

OpenKey* fromHandle(KeyHandle key) {
    if (key == kNoKey || rawHandle(key) == -1) return nullptr;
    return reinterpret_cast<OpenKey*>(rawHandle(key));
}

}  // namespace

RegTree::RegTree() : childSlots_(16, 0), entrySlots_(16, 0) {
    nodes_.push_back(Node{kNone, 0, 0, kNone, true});
}

std::size_t RegTree::childSlot(uint32_t parent, std::string_view name) const {
    return probe(childSlots_, hashOf(parent, name), [&](uint32_t index) {
        const Node& node = nodes_[index];
        return node.parent == parent && asciiIEquals(nameOf(node), name);
    });
}

std::size_t RegTree::entrySlot(uint32_t key, std::string_view name) const {
    return probe(entrySlots_, hashOf(key, name), [&](uint32_t index) {
        const Entry& entry = entries_[index];
        return entry.key == key && asciiIEquals(entry.name, name);
    });
}

RegTree::KeyId RegTree::walk(std::string_view path, bool create) {
    KeyId at = root_;
    const bool found = eachComponent(path, [&](std::string_view part) {
        std::size_t slot = childSlot(at, part);
        const uint32_t existing = childSlots_[slot];
        if (existing != 0 && nodes_[existing - 1].live) {
            at = existing - 1;
            return true;
        }
        if (!create) return false;
        const auto index = static_cast<uint32_t>(nodes_.size());
        Node node{at, static_cast<uint32_t>(names_.size()), static_cast<uint32_t>(part.size()), kNone, true};
        for (char c : part) names_.push_back(asciiLower(c));
        nodes_.push_back(node);
        if (existing != 0) {
            // A removed key of that name: the new one takes its slot, and
            // what hung below the old one stays out of reach.
            childSlots_[slot] = index + 1;
        } else {
            rehashIfFull(&childSlots_, nodes_.size() - 1, [&](uint32_t i) {
                return hashOf(nodes_[i].parent, nameOf(nodes_[i]));
            });
            childSlots_[childSlot(at, part)] = index + 1;
        }
        at = index;
        return true;
    });
    return found ? at : kNoKey;
}

RegTree::KeyId RegTree::findKey(std::string_view path) const {
    return const_cast<RegTree*>(this)->walk(path, false);
}

void RegTree::addKey(std::string_view path) { walk(path, true); }

uint32_t RegTree::findEntry(KeyId key, std::string_view name) const {
    const uint32_t slot = entrySlots_[entrySlot(key, name)];
    if (slot == 0 || !entries_[slot - 1].live) return kNone;
    return slot - 1;
}

void RegTree::setValue(std::string_view keyPath, std::string_view name, uint32_t type,
                       std::vector<uint8_t> data) {
    const KeyId key = walk(keyPath, true);
    if (const uint32_t found = findEntry(key, name); found != kNone) {
        entries_[found].value = RegValue{type, std::move(data)};
        return;
    }
    Node& node = nodes_[key];
    if (node.valueList == kNone) {
        node.valueList = static_cast<uint32_t>(lists_.size());
        lists_.emplace_back();
    }
    const auto index = static_cast<uint32_t>(entries_.size());
    entries_.push_back(Entry{key, true, std::string(name), RegValue{type, std::move(data)}});
    lists_[node.valueList].entries.push_back(index);

    std::size_t slot = entrySlot(key, name);
    if (entrySlots_[slot] == 0) {
        rehashIfFull(&entrySlots_, entries_.size() - 1,
                     [&](uint32_t i) { return hashOf(entries_[i].key, entries_[i].name); });
        slot = entrySlot(key, name);
    }
    entrySlots_[slot] = index + 1;  // also over a removed value of that name
}

void RegTree::setString(std::string_view keyPath, std::string_view name, std::string_view text) {
    std::vector<uint8_t> data(text.begin(), text.end());
    data.push_back(0);
    setValue(keyPath, name, kRegSz, std::move(data));
}

void RegTree::setDword(std::string_view keyPath, std::string_view name, uint32_t value) {
    std::vector<uint8_t> data{static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    setValue(keyPath, name, kRegDword, std::move(data));
}

void RegTree::removeKey(std::string_view path) {
    const KeyId key = findKey(path);
    if (key == kNoKey) return;
    if (key == root_) {
        // A fresh root: every key below the old one is out of reach.
        root_ = static_cast<KeyId>(nodes_.size());
        nodes_.push_back(Node{kNone, 0, 0, kNone, true});
        return;
    }
    nodes_[key].live = false;
}

void RegTree::removeValue(std::string_view keyPath, std::string_view name) {
    const KeyId key = findKey(keyPath);
    if (key == kNoKey) return;
    const uint32_t found = findEntry(key, name);
    if (found == kNone) return;
    entries_[found].live = false;
    entries_[found].value = RegValue{};
    ValueList& list = lists_[nodes_[key].valueList];
    // Dropping the dead in one sweep once they are half the list keeps
    // a long run of removals linear.
    if (++list.dead * 2 > list.entries.size()) {
        std::erase_if(list.entries, [&](uint32_t i) { return !entries_[i].live; });
        list.dead = 0;
    }
}

void RegTree::compact() {
    for (ValueList& list : lists_) {
        if (list.dead == 0) continue;
        std::erase_if(list.entries, [&](uint32_t i) { return !entries_[i].live; });
        list.dead = 0;
    }
}

const RegValue* RegTree::valueOf(KeyId key, std::string_view name) const {
    if (key >= nodes_.size() || !nodes_[key].live) return nullptr;
    const uint32_t found = findEntry(key, name);
    return found == kNone ? nullptr : &entries_[found].value;
}

const RegValue* RegTree::value(std::string_view keyPath, std::string_view name) const {
    const KeyId key = findKey(keyPath);
    return key == kNoKey ? nullptr : valueOf(key, name);
}

uint32_t RegTree::valueCount(KeyId key) const {
    if (key >= nodes_.size() || nodes_[key].valueList == kNone) return 0;
    const ValueList& list = lists_[nodes_[key].valueList];
    return static_cast<uint32_t>(list.entries.size() - list.dead);
}

const std::string* RegTree::valueName(KeyId key, uint32_t index) const {
    if (key >= nodes_.size() || nodes_[key].valueList == kNone) return nullptr;
    const ValueList& list = lists_[nodes_[key].valueList];
    if (list.dead == 0) {
        return index < list.entries.size() ? &entries_[list.entries[index]].name : nullptr;
    }
    for (uint32_t i : list.entries) {
        if (!entries_[i].live) continue;
        if (index-- == 0) return &entries_[i].name;
    }
    return nullptr;
}

std::vector<std::pair<std::string, const RegValue*>> RegTree::values(std::string_view keyPath) const {
    std::vector<std::pair<std::string, const RegValue*>> result;
    const KeyId key = findKey(keyPath);
    if (key == kNoKey || nodes_[key].valueList == kNone) return result;
    for (uint32_t i : lists_[nodes_[key].valueList].entries) {
        if (entries_[i].live) result.emplace_back(entries_[i].name, &entries_[i].value);
    }
    return result;
}

TreeRegistry::TreeRegistry() : tree_(std::make_shared<RegTree>()) {}

TreeRegistry::TreeRegistry(RegTree tree) : tree_(std::make_shared<RegTree>(std::move(tree))) {}

std::shared_ptr<const RegTree> TreeRegistry::snapshot() {
    std::lock_guard<std::mutex> hold(mutex_);
    return tree_;
}

void TreeRegistry::replaceTree(std::shared_ptr<RegTree> tree) {
    std::lock_guard<std::mutex> hold(mutex_);
    tree_ = std::move(tree);
}

uint32_t TreeRegistry::openKey(const char* path, KeyHandle* key) {
    if (path == nullptr || key == nullptr) return kErrInvalidParameter;
    *key = kNoKey;
    std::shared_ptr<const RegTree> tree = snapshot();
    const RegTree::KeyId found = tree->findKey(path);
    if (found == RegTree::kNoKey) return kErrFileNotFound;
    auto* open = new OpenKey{std::move(tree), found};
    *key = makeHandle<KeyHandle>(reinterpret_cast<std::intptr_t>(open));
    openKeys_.fetch_add(1);
    return kErrSuccess;
}

uint32_t TreeRegistry::queryValue(KeyHandle key, const char* name, uint8_t* data, uint32_t* size) {
    const OpenKey* open = fromHandle(key);
    if (open == nullptr) return kErrInvalidHandle;
    if (size == nullptr) return kErrInvalidParameter;
    // A null name is the default value, as in RegQueryValueExA.
    const RegValue* value = open->tree->valueOf(open->key, name != nullptr ? name : "");
    if (value == nullptr) return kErrFileNotFound;
    const auto needed = static_cast<uint32_t>(value->data.size());
    if (data == nullptr) {
        *size = needed;
        return kErrSuccess;
    }
    if (*size < needed) {
        *size = needed;
        return kErrMoreData;
    }
    if (needed != 0) std::memcpy(data, value->data.data(), needed);
    *size = needed;
    return kErrSuccess;
}

uint32_t TreeRegistry::enumValue(KeyHandle key, uint32_t index, char* name, uint32_t* nameSize) {
    const OpenKey* open = fromHandle(key);
    if (open == nullptr) return kErrInvalidHandle;
    if (name == nullptr || nameSize == nullptr) return kErrInvalidParameter;
    const std::string* found = open->tree->valueName(open->key, index);
    if (found == nullptr) return kErrNoMoreItems;
    if (found->size() >= *nameSize) return kErrMoreData;
    std::memcpy(name, found->data(), found->size());
    name[found->size()] = '\0';
    *nameSize = static_cast<uint32_t>(found->size());
    return kErrSuccess;
}

uint32_t TreeRegistry::closeKey(KeyHandle key) {
    OpenKey* open = fromHandle(key);
    if (open == nullptr) return kErrInvalidHandle;
    delete open;
    openKeys_.fetch_sub(1);
    return kErrSuccess;
}

}  // namespace platform

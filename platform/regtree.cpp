#include "platform/regtree.h"

#include "platform/ascii.h"
#include "platform/text.h"

#include <chrono>
#include <cstring>

namespace platform {

namespace {

std::string lowered(std::string_view name) {
    std::string out(name);
    for (char& c : out) c = asciiLower(c);
    return out;
}

// Each backslash-separated component of a path, empty ones skipped; stops
// when visit returns false.
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

// Windows counts names in UTF-16 units: one for each UTF-8 sequence, two for
// one of four bytes.
std::size_t utf16Length(std::string_view utf8) {
    std::size_t units = 0;
    for (char c : utf8) {
        const auto b = static_cast<uint8_t>(c);
        units += ((b & 0xC0) != 0x80) + (b >= 0xF0);
    }
    return units;
}

// What an open key handle points to: the tree it was opened on, so that a
// view replaced meanwhile does not pull the key from under its reader, and
// where enumeration got to, so that enumerating in order costs no walk.
struct OpenKey {
    OpenKey(std::shared_ptr<const RegTree> from, const RegKey* opened)
        : tree(std::move(from)), key(opened), at(opened->values().begin()) {}

    std::shared_ptr<const RegTree> tree;
    const RegKey* key;
    std::mutex mutex;  // guards what follows
    uint32_t index = 0;
    std::list<RegKey::Value>::const_iterator at;
};

OpenKey* fromHandle(KeyHandle key) {
    if (key == kNoKey || rawHandle(key) == -1) return nullptr;
    return objectOf<OpenKey>(key);
}

}  // namespace

const char* keyPathFault(std::string_view path) {
    std::size_t depth = 0;
    const char* fault = nullptr;
    eachComponent(path, [&](std::string_view part) {
        if (++depth > kMaxKeyDepth) {
            fault = "key path deeper than 512 keys";
        } else if (utf16Length(part) > kMaxKeyNameLength) {
            fault = "key name longer than 255 characters";
        }
        return fault == nullptr;
    });
    return fault;
}

const char* valueNameFault(std::string_view name) {
    return utf16Length(name) > kMaxValueNameLength ? "value name longer than 16383 characters" : nullptr;
}

RegKey::RegKey(const RegKey& other) : values_(other.values_) {
    for (const auto& [name, child] : other.children_) children_.emplace(name, std::make_unique<RegKey>(*child));
    for (auto it = values_.begin(); it != values_.end(); ++it) byName_.emplace(lowered(it->name), it);
}

RegKey& RegKey::operator=(const RegKey& other) {
    if (this != &other) *this = RegKey(other);
    return *this;
}

const RegValue* RegKey::value(std::string_view name) const {
    const auto found = byName_.find(lowered(name));
    return found == byName_.end() ? nullptr : &found->second->value;
}

template <class Key>
Key* RegTree::find(Key* from, std::string_view path) {
    Key* at = from;
    eachComponent(path, [&](std::string_view part) {
        const auto found = at->children_.find(lowered(part));
        at = found == at->children_.end() ? nullptr : found->second.get();
        return at != nullptr;
    });
    return at;
}

const RegKey* RegTree::findKey(std::string_view path) const { return find(&root_, path); }

RegKey* RegTree::create(std::string_view path) {
    if (keyPathFault(path) != nullptr) return nullptr;
    RegKey* at = &root_;
    eachComponent(path, [&](std::string_view part) {
        std::unique_ptr<RegKey>& child = at->children_[lowered(part)];
        if (!child) child = std::make_unique<RegKey>();
        at = child.get();
        return true;
    });
    return at;
}

bool RegTree::addKey(std::string_view path) { return create(path) != nullptr; }

bool RegTree::setValue(std::string_view keyPath, std::string_view name, uint32_t type, std::vector<uint8_t> data) {
    if (valueNameFault(name) != nullptr) return false;
    RegKey* key = create(keyPath);
    if (key == nullptr) return false;
    auto [slot, added] = key->byName_.try_emplace(lowered(name));
    if (added) {
        slot->second = key->values_.insert(key->values_.end(), RegKey::Value{std::string(name), {}});
    }
    slot->second->value = RegValue{type, std::move(data)};
    return true;
}

bool RegTree::setString(std::string_view keyPath, std::string_view name, std::string_view text) {
    std::vector<uint8_t> data(text.begin(), text.end());
    data.push_back(0);
    return setValue(keyPath, name, kRegSz, std::move(data));
}

bool RegTree::setDword(std::string_view keyPath, std::string_view name, uint32_t value) {
    const auto stored = le32Bytes(value);
    return setValue(keyPath, name, kRegDword, std::vector<uint8_t>(stored.begin(), stored.end()));
}

void RegTree::removeKey(std::string_view path) {
    // The parent is the path less its last component.
    std::string_view parentPath = path;
    while (!parentPath.empty() && parentPath.back() == '\\') parentPath.remove_suffix(1);
    if (parentPath.empty()) {
        root_ = RegKey();
        return;
    }
    const std::size_t sep = parentPath.rfind('\\');
    const std::string_view last = sep == std::string_view::npos ? parentPath : parentPath.substr(sep + 1);
    parentPath = sep == std::string_view::npos ? std::string_view{} : parentPath.substr(0, sep);
    if (RegKey* parent = find(&root_, parentPath)) parent->children_.erase(lowered(last));
}

void RegTree::removeValue(std::string_view keyPath, std::string_view name) {
    RegKey* key = find(&root_, keyPath);
    if (key == nullptr) return;
    const auto found = key->byName_.find(lowered(name));
    if (found == key->byName_.end()) return;
    key->values_.erase(found->second);
    key->byName_.erase(found);
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

void TreeRegistry::signalChange() {
    {
        std::lock_guard<std::mutex> hold(changeMutex_);
        ++changes_;
    }
    changed_.notify_all();
}

ChangeWait TreeRegistry::waitForChange(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> hold(changeMutex_);
    if (!watching_) {
        watching_ = true;
        changesSeen_ = changes_;
        return ChangeWait::Changed;
    }
    const bool changed =
        changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [this] { return changes_ != changesSeen_; });
    changesSeen_ = changes_;
    return changed ? ChangeWait::Changed : ChangeWait::TimedOut;
}

uint32_t TreeRegistry::openKey(const char* path, KeyHandle* key) {
    if (path == nullptr || key == nullptr) return kErrInvalidParameter;
    *key = kNoKey;
    std::shared_ptr<const RegTree> tree = snapshot();
    const RegKey* found = tree->findKey(path);
    if (found == nullptr) return kErrFileNotFound;
    auto* open = new OpenKey(std::move(tree), found);
    *key = handleFor<KeyHandle>(open);
    openKeys_.fetch_add(1);
    return kErrSuccess;
}

uint32_t TreeRegistry::queryValue(KeyHandle key, const char* name, uint8_t* data, uint32_t* size) {
    const OpenKey* open = fromHandle(key);
    if (open == nullptr) return kErrInvalidHandle;
    if (size == nullptr) return kErrInvalidParameter;
    // A null name is the default value, as in RegQueryValueExA.
    const RegValue* value = open->key->value(name != nullptr ? name : "");
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
    OpenKey* open = fromHandle(key);
    if (open == nullptr) return kErrInvalidHandle;
    if (name == nullptr || nameSize == nullptr) return kErrInvalidParameter;
    std::lock_guard<std::mutex> hold(open->mutex);
    const auto& values = open->key->values();
    if (index < open->index) {
        open->index = 0;
        open->at = values.begin();
    }
    for (; open->index < index && open->at != values.end(); ++open->index) ++open->at;
    if (open->at == values.end()) return kErrNoMoreItems;
    const std::string& found = open->at->name;
    if (found.size() >= *nameSize) return kErrMoreData;
    std::memcpy(name, found.data(), found.size());
    name[found.size()] = '\0';
    *nameSize = static_cast<uint32_t>(found.size());
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

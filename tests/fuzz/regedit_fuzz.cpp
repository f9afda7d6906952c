// The regedit reader on arbitrary bytes: no crash, no undefined behaviour,
// no exception, and the promises of its interface kept.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/posix/posix_registry.h"
#include "platform/regedit.h"
#include "platform/regtree.h"

namespace {

// A finding names the check it broke.
#define require(condition) \
    ((condition) ? (void)0 : (std::fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #condition), __builtin_trap()))

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace platform;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    RegTree tree;
    tree.setString("Before", "v", "kept");
    std::string error;
    const bool loaded = parseRegedit(bytes, "fuzz.reg", &tree, &error);
    // Success and an empty error go together; an error names the file.
    require(loaded == error.empty());
    require(loaded || error.rfind("fuzz.reg:", 0) == 0);
    if (!loaded) {
        // A file that fails changes nothing.
        const RegKey* before = tree.findKey("Before");
        require(before != nullptr && before->value("v") != nullptr && before->value("v")->data.size() == 5);
        require(tree.findKey("")->values().empty());
        return 0;
    }

    // What loaded once loads the same again, and can be read through the
    // registry interface.
    RegTree again;
    std::string secondError;
    require(parseRegedit(bytes, "fuzz.reg", &again, &secondError));
    TreeRegistry registry(std::move(tree));
    for (const char* path : {"", "SYSTEM\\CurrentControlSet\\Services\\FTSER2K\\Enum", "HARDWARE\\DEVICEMAP\\SERIALCOMM"}) {
        KeyHandle key = kNoKey;
        if (registry.openKey(path, &key) != kErrSuccess) continue;
        for (uint32_t index = 0;; ++index) {
            char name[64];
            uint32_t length = sizeof name;
            const uint32_t rc = registry.enumValue(key, index, name, &length);
            if (rc == kErrMoreData) continue;
            if (rc != kErrSuccess) break;
            // A C-string name cannot carry a zero byte to the query.
            if (std::string_view(name, length).find('\0') != std::string_view::npos) continue;
            uint32_t valueSize = 0;
            require(registry.queryValue(key, name, nullptr, &valueSize) == kErrSuccess);
            const RegKey* sameKey = again.findKey(path);
            const RegValue* same = sameKey == nullptr ? nullptr : sameKey->value(std::string_view(name, length));
            require(same != nullptr && same->data.size() == valueSize);
        }
        require(registry.closeKey(key) == kErrSuccess);

        // What the writer makes of the key reads back the same.
        const RegKey* source = again.findKey(path);
        RegeditWriter writer;
        writer.key(path);
        for (const auto& [valueName, value] : source->values()) writer.value(valueName, value);
        RegTree copy;
        std::string copyError;
        if (!writer.ok()) continue;
        require(parseRegedit(writer.text(), "copy.reg", &copy, &copyError));
        const RegKey* copied = copy.findKey(path);
        require(copied != nullptr && copied->values().size() == source->values().size());
        auto it = copied->values().begin();
        for (const auto& [valueName, value] : source->values()) {
            require(it->name == valueName && it->value.type == value.type && it->value.data == value.data);
            ++it;
        }
    }
    std::string node;
    resolveComName(registry.tree(), "COM3", &node);
    require(registry.openKeyCount() == 0);
    return 0;
}

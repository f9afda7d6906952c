// The regedit reader on arbitrary bytes: no crash, no undefined behaviour, no exception, its promises kept.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/posix/posix_registry.h"
#include "platform/regedit.h"
#include "platform/regtree.h"

// A finding names the check it broke.
#define require(condition) \
    ((condition) ? (void)0 : (std::fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #condition), __builtin_trap()))

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace platform;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    RegTree tree;
    tree.setString("Before", "v", "kept");
    std::string error;
    const bool loaded = parseRegedit(bytes, "fuzz.reg", &tree, &error);
    require(loaded ? error.empty() : error.rfind("fuzz.reg:", 0) == 0);  // an error names the file
    if (!loaded) {                                                       // a file that fails changes nothing
        const RegValue* before = tree.findKey("Before") == nullptr ? nullptr : tree.findKey("Before")->value("v");
        require(before != nullptr && before->data.size() == 5);
        require(tree.findKey("")->values().empty());
        return 0;
    }

    // What loaded once loads the same again, and reads the same through the registry interface.
    RegTree again;
    require(parseRegedit(bytes, "fuzz.reg", &again, &error));
    TreeRegistry registry(std::move(tree));
    for (const char* path :
         {"", "SYSTEM\\CurrentControlSet\\Services\\FTSER2K\\Enum", "HARDWARE\\DEVICEMAP\\SERIALCOMM"}) {
        KeyHandle key = kNoKey;
        if (registry.openKey(path, &key) != kErrSuccess) continue;
        const RegKey* source = again.findKey(path);
        for (uint32_t index = 0;; ++index) {
            char name[64];
            uint32_t length = sizeof name;
            const uint32_t rc = registry.enumValue(key, index, name, &length);
            if (rc != kErrSuccess && rc != kErrMoreData) break;
            // A C-string name cannot carry a zero byte to the query.
            if (rc == kErrMoreData || std::string_view(name, length).find('\0') != std::string_view::npos) continue;
            uint32_t valueSize = 0;
            require(registry.queryValue(key, name, nullptr, &valueSize) == kErrSuccess);
            const RegValue* same = source == nullptr ? nullptr : source->value(std::string_view(name, length));
            require(same != nullptr && same->data.size() == valueSize);
        }
        require(registry.closeKey(key) == kErrSuccess);

        // What the writer makes of the key reads back the same.
        RegeditWriter writer;
        writer.key(path);
        for (const auto& [valueName, value] : source->values()) writer.value(valueName, value);
        if (!writer.ok()) continue;
        RegTree copy;
        require(parseRegedit(writer.text(), "copy.reg", &copy, &error));
        const RegKey* copied = copy.findKey(path);
        require(copied != nullptr && copied->values().size() == source->values().size());
        auto it = copied->values().begin();
        for (const auto& [valueName, value] : source->values())
            require(it->name == valueName && it->value.type == value.type && (it++)->value.data == value.data);
    }
    std::string node;
    resolveComName(registry.tree(), "COM3", &node);
    require(registry.openKeyCount() == 0);
    return 0;
}

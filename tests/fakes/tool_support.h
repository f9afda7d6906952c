// What the voriridod tests run the tool against: a console that keeps every write and shows Windows-1251
// as UTF-8, a registry that counts its opens; and the tool's texts as a UTF-8 console shows them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/regtree.h"
#include "platform/text.h"
#include "tool/voriridod.h"

namespace tooltest {

// Windows-1251 to UTF-8 for ASCII and the Russian alphabet; anything else
// becomes '?', so a mis-encoded message cannot pass for the right one.
inline std::string cp1251ToUtf8(std::string_view text) {
    std::string out;
    for (unsigned char c : text) {
        unsigned code = c < 0x80 ? c : c >= 0xC0 ? 0x410 + (c - 0xC0) : c == 0xA8 ? 0x401 : c == 0xB8 ? 0x451 : '?';
        platform::appendUtf8(code, &out);
    }
    return out;
}

// A UTF-8 console: write reports characters, not bytes.
class FakeConsole : public platform::Console {
public:
    std::string convert(std::string_view cp1251) override { return cp1251ToUtf8(cp1251); }
    int write(platform::Stream stream, std::string_view bytes) override {
        writes.emplace_back(stream, std::string(bytes));
        int characters = 0;
        for (unsigned char c : bytes) characters += (c & 0xC0) != 0x80;
        return characters;
    }

    std::string text(platform::Stream stream) const {
        std::string all;
        for (const auto& [s, bytes] : writes) all += s == stream ? bytes : "";
        return all;
    }
    std::string out() const { return text(platform::Stream::Out); }
    std::string err() const { return text(platform::Stream::Err); }

    std::vector<std::pair<platform::Stream, std::string>> writes;
};

class CountingRegistry : public platform::TreeRegistry {
public:
    uint32_t openKey(const char* path, platform::KeyHandle* key) override {
        ++opens;
        return TreeRegistry::openKey(path, key);
    }
    uint32_t queryValue(platform::KeyHandle key, const char* name, uint8_t* data, uint32_t* size) override {
        ++queries;
        return TreeRegistry::queryValue(key, name, data, size);
    }
    std::string unavailableReason() override { return failure; }

    int opens = 0;
    long long queries = 0;
    std::string failure;
};

// Runs the tool as if typed with these arguments after the program name.
inline int runTool(std::vector<std::string> args) {
    args.insert(args.begin(), "voriridod");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return voriridodMain(static_cast<int>(args.size()), argv.data());
}

// The texts as the UTF-8 console shows them.
inline constexpr char kBanner[] =
    "\n"
    "Система криптографической защиты информации \"Телвир\" в.4.2.\n"
    "Программа очистки устройства Тувак в.1.0 (WIN32).\n"
    "(c) Группа разработчиков СКЗИ \"Телвир\", 2006.\n"
    "  Формат вызова:\n"
    "  > voriridod идентификатор-устройства\n"
    "  > voriridod /L - возвращает список подключенных устройств\n";
inline constexpr char kDriverMissing[] = "\nДрайвер устройства Тувак не установлен\n";
inline constexpr char kNotConnected[] = "\nУстройство с данным серийным номером не подключено\n";
inline constexpr char kWriteError[] = "\nОшибка записи на устройство\n";
inline constexpr char kNoAccess[] = "\nНет доступа к устройству\n";
inline constexpr char kFaulty[] = "\nУстройство неисправно\n";
inline constexpr char kLockFailed[] = "\nНе удалось заблокировать устройство\n";
inline constexpr char kListNone[] = "Не найдено ни одного устройства Тувак\n";
inline constexpr char kListOne[] = "К компьютеру подключено устройство Тувак с серийным номером:\n";
inline constexpr char kListMany[] = "К компьютеру подключены устройства Тувак с серийными номерами:\n";

inline std::string progress(const std::string& id, int pass) {
    return "\rОчистка устройства " + id + " проход " + std::to_string(pass);
}
inline std::string succeeded(const std::string& id) { return "\r Устройство \"" + id + "\" очищено успешно.\n"; }
inline std::string failed(const std::string& id) { return "\n Ошибки при очистке устройства  \"" + id + "\"."; }

}  // namespace tooltest

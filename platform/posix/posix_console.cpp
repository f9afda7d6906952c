#include "platform/posix/posix_console.h"

#include "platform/ascii.h"
#include "platform/text.h"

#include <errno.h>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <climits>
#include <cstdio>
#include <mutex>

namespace platform {

namespace {

// Unicode code points of Windows-1251 0x80..0xFF; 0 marks the unassigned 0x98.
constexpr uint16_t kCp1251High[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,  // C0
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,  // C8
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,  // D0
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,  // D8
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,  // E0
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,  // E8
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,  // F0
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,  // F8
};

// "Тувак": if this does not convert, the set cannot show the messages.
constexpr std::string_view kCyrillicSample = "\xD2\xF3\xE2\xE0\xEA";

int utf8Characters(std::string_view bytes) {
    int n = 0;
    for (char c : bytes) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
    }
    return n;
}

bool isUtf8Name(std::string_view name) {
    std::string folded;
    for (char c : name) {
        if (c == '-' || c == '_') continue;
        folded.push_back(asciiUpper(c));
    }
    return folded == "UTF8";
}

std::string environmentCharset() {
    // A private locale object: setlocale would change the whole process.
    locale_t loc = ::newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
    if (loc == static_cast<locale_t>(0)) return {};
    std::string codeset = ::nl_langinfo_l(CODESET, loc);
    ::freelocale(loc);
    return codeset;
}

// One iconv descriptor; iconv keeps state in it, so calls are serialised.
class Converter {
public:
    Converter() = default;
    ~Converter() {
        if (open()) ::iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool open(const char* to, const char* from) {
        cd_ = ::iconv_open(to, from);
        return open();
    }
    bool open() const { return cd_ != kClosed; }

    // Bytes that cannot be converted become '?'; *failures counts them.
    std::string run(std::string_view in, size_t* failures = nullptr) {
        std::lock_guard<std::mutex> guard(lock_);
        ::iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        std::string out;
        out.reserve(in.size() * 2);
        char* src = const_cast<char*>(in.data());
        size_t left = in.size();
        char chunk[512];
        for (;;) {
            char* dst = chunk;
            size_t room = sizeof chunk;
            size_t rc = ::iconv(cd_, &src, &left, &dst, &room);
            out.append(chunk, static_cast<size_t>(dst - chunk));
            if (rc != static_cast<size_t>(-1) || left == 0) break;
            if (errno == E2BIG) continue;
            out.push_back('?');
            ++src;
            --left;
            if (failures != nullptr) ++*failures;
        }
        char* dst = chunk;
        size_t room = sizeof chunk;
        ::iconv(cd_, nullptr, nullptr, &dst, &room);  // end any shift state
        out.append(chunk, static_cast<size_t>(dst - chunk));
        return out;
    }

private:
    static inline const iconv_t kClosed = reinterpret_cast<iconv_t>(-1);
    iconv_t cd_ = kClosed;
    std::mutex lock_;
};

enum class Mode { Utf8, SingleByte, MultiByte };

}  // namespace

struct PosixConsole::Impl {
    Mode mode = Mode::Utf8;
    Converter toCharset;  // from Windows-1251
    Converter toUtf8;     // from a multi-byte set, to count its characters
};

PosixConsole::PosixConsole() : PosixConsole(environmentCharset()) {}

PosixConsole::PosixConsole(std::string_view charset) : impl_(new Impl), charset_("UTF-8") {
    if (charset.empty() || isUtf8Name(charset)) return;
    std::string name(charset);
    if (!impl_->toCharset.open(name.c_str(), "CP1251")) return;
    size_t failures = 0;
    impl_->toCharset.run(kCyrillicSample, &failures);
    if (failures != 0) return;

    bool singleByte = true;
    for (int b = 0x80; b <= 0xFF && singleByte; ++b) {
        char c = static_cast<char>(b);
        singleByte = impl_->toCharset.run(std::string_view(&c, 1)).size() == 1;
    }
    if (singleByte) {
        impl_->mode = Mode::SingleByte;
    } else if (impl_->toUtf8.open("UTF-8", name.c_str())) {
        impl_->mode = Mode::MultiByte;
    } else {
        return;
    }
    charset_ = name;
}

PosixConsole::~PosixConsole() = default;

std::string PosixConsole::convert(std::string_view cp1251) {
    if (impl_->mode == Mode::Utf8) return cp1251ToUtf8(cp1251);
    return impl_->toCharset.run(cp1251);
}

int PosixConsole::write(Stream stream, std::string_view bytes) {
    if (bytes.size() > static_cast<size_t>(INT_MAX)) return -1;
    std::FILE* f = stream == Stream::Err ? stderr : stdout;
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
        return -1;
    }
    // Flushed at once, so that standard output and error interleave on a
    // terminal in the order they were written.
    if (std::fflush(f) != 0) return -1;
    switch (impl_->mode) {
        case Mode::Utf8: return utf8Characters(bytes);
        case Mode::SingleByte: return static_cast<int>(bytes.size());
        case Mode::MultiByte: return utf8Characters(impl_->toUtf8.run(bytes));
    }
    return -1;
}

std::string cp1251ToUtf8(std::string_view cp1251) {
    std::string out;
    out.reserve(cp1251.size() * 2);
    for (char c : cp1251) {
        auto b = static_cast<unsigned char>(c);
        if (b < 0x80) {
            out.push_back(c);
            continue;
        }
        uint16_t cp = kCp1251High[b - 0x80];
        if (cp == 0) {
            out.push_back('?');
        } else {
            appendUtf8(cp, &out);
        }
    }
    return out;
}

}  // namespace platform

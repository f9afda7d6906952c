#include "cli/certificate.h"

#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <set>

#include "cli/subcommand.h"

#ifdef HWDS_HAVE_HPDF
#include <hpdf.h>
#endif

namespace cli {

namespace {

#ifdef HWDS_HAVE_HPDF

std::string field(const Json& record, const char* name) {
    const auto found = record.find(name);
    if (found == record.end() || found->is_null()) return "";
    if (found->is_string()) return found->get<std::string>();
    return jsonValue(*found);
}

// "FF,00,55".
std::string passesText(const Json& record) {
    std::string text;
    const auto passes = record.find("passes");
    if (passes == record.end() || !passes->is_array()) return text;
    for (const Json& pass : *passes) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "%02X", pass.is_number_unsigned() ? pass.get<unsigned>() & 0xFFu : 0u);
        text += (text.empty() ? "" : ",") + std::string(hex);
    }
    return text;
}

// The bytes erased, and the store's size when they fall short of it.
std::string sizeText(const Json& record) {
    const std::string erased = field(record, "bytes_erased");
    const std::string size = field(record, "size_bytes");
    if (size.empty()) return erased.empty() ? "?" : erased + " of ?";
    return erased == size ? size : erased + " of " + size;
}

// The values one field takes across the records, each once, in order of appearance.
std::string distinct(const std::vector<const Json*>& records, const char* name) {
    std::set<std::string> seen;
    std::string text;
    for (const Json* record : records) {
        const std::string value = field(*record, name);
        if (value.empty() || !seen.insert(value).second) continue;
        text += (text.empty() ? "" : "; ") + value;
    }
    return text.empty() ? "-" : text;
}

struct Failure {
    HPDF_STATUS status = HPDF_OK;
    HPDF_STATUS detail = 0;
};

void onError(HPDF_STATUS status, HPDF_STATUS detail, void* data) {
    auto* failure = static_cast<Failure*>(data);
    if (failure->status == HPDF_OK) *failure = {status, detail};
}

struct DocFree {
    void operator()(HPDF_Doc doc) const { HPDF_Free(doc); }
};

constexpr float kMargin = 36;
constexpr float kFontSize = 7.5f;
constexpr float kRowHeight = 22;

struct Column {
    const char* title;
    float width;
    std::function<std::string(const Json&)> first;   // the row's upper line
    std::function<std::string(const Json&)> second;  // and its lower one
};

std::vector<Column> columns() {
    auto get = [](const char* name) { return [name](const Json& r) { return field(r, name); }; };
    auto none = [](const Json&) { return std::string(); };
    return {
        {"Type, device", 110, get("type"), get("description")},
        {"Identifier", 80, get("identifier"), none},
        {"Serial", 85, get("serial"), get("port")},
        {"Bytes", 60, sizeText, none},
        {"Method, passes", 130, [](const Json& r) { return field(r, "method_type") + ": " + field(r, "method"); },
         passesText},
        {"Verification", 80, get("verification"),
         [](const Json& r) { return field(r, "verified") == "true" ? "verified" : ""; }},
        {"Status", 95, get("status"), get("result")},
        {"Started, finished (UTC)", 130, get("started"), get("finished")},
    };
}

class Pdf {
public:
    Pdf(HPDF_Doc doc, HPDF_Font font) : doc_(doc), font_(font) {}

    void newPage() {
        page_ = HPDF_AddPage(doc_);
        HPDF_Page_SetSize(page_, HPDF_PAGE_SIZE_A4, HPDF_PAGE_LANDSCAPE);
        y_ = HPDF_Page_GetHeight(page_) - kMargin;
    }
    float width() const { return HPDF_Page_GetWidth(page_); }
    float y() const { return y_; }
    void down(float by) { y_ -= by; }
    // Text cut to fit `room` points.
    void text(float x, float y, float size, const std::string& text, float room = 0) {
        HPDF_Page_BeginText(page_);
        HPDF_Page_SetFontAndSize(page_, font_, size);
        std::string shown = text;
        while (room > 0 && !shown.empty() && HPDF_Page_TextWidth(page_, shown.c_str()) > room) {
            // Back to the start of the last UTF-8 character.
            do shown.pop_back();
            while (!shown.empty() && (static_cast<unsigned char>(shown.back()) & 0xC0) == 0x80);
            if (!shown.empty()) shown.pop_back();
        }
        HPDF_Page_TextOut(page_, x, y, shown.c_str());
        HPDF_Page_EndText(page_);
    }
    void line(float x1, float y1, float x2, float y2) {
        HPDF_Page_SetLineWidth(page_, 0.5f);
        HPDF_Page_MoveTo(page_, x1, y1);
        HPDF_Page_LineTo(page_, x2, y2);
        HPDF_Page_Stroke(page_);
    }

private:
    HPDF_Doc doc_;
    HPDF_Font font_;
    HPDF_Page page_ = nullptr;
    float y_ = 0;
};

void tableHeader(Pdf& pdf, const std::vector<Column>& table) {
    float x = kMargin;
    for (const Column& c : table) {
        pdf.text(x, pdf.y(), kFontSize + 0.5f, c.title, c.width - 4);
        x += c.width;
    }
    pdf.line(kMargin, pdf.y() - 4, pdf.width() - kMargin, pdf.y() - 4);
    pdf.down(kRowHeight - 4);
}

void render(Pdf& pdf, const std::vector<const Json*>& records) {
    pdf.newPage();
    pdf.text(kMargin, pdf.y() - 8, 16, "Certificate of Sanitization");
    pdf.down(34);
    const std::pair<const char*, std::string> facts[] = {
        {"Tool and version", distinct(records, "tool") + " " + distinct(records, "version")},
        {"Host", distinct(records, "host")},
        {"Operator", distinct(records, "operator")},
        {"Organization", distinct(records, "organization")},
        {"Devices", std::to_string(records.size())},
    };
    for (const auto& [name, value] : facts) {
        pdf.text(kMargin, pdf.y(), 10, std::string(name) + ":");
        pdf.text(kMargin + 110, pdf.y(), 10, value, pdf.width() - 2 * kMargin - 110);
        pdf.down(15);
    }
    pdf.down(10);
    const std::vector<Column> table = columns();
    tableHeader(pdf, table);
    // Room below the last row for the signature lines.
    constexpr float kSignatures = 90;
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (pdf.y() - kRowHeight < kMargin + (i + 1 == records.size() ? kSignatures : 0)) {
            pdf.newPage();
            tableHeader(pdf, table);
        }
        float x = kMargin;
        for (const Column& c : table) {
            pdf.text(x, pdf.y(), kFontSize, c.first(*records[i]), c.width - 4);
            pdf.text(x, pdf.y() - 9, kFontSize, c.second(*records[i]), c.width - 4);
            x += c.width;
        }
        pdf.line(kMargin, pdf.y() - 13, pdf.width() - kMargin, pdf.y() - 13);
        pdf.down(kRowHeight);
    }
    if (pdf.y() < kMargin + kSignatures) pdf.newPage();
    pdf.down(30);
    for (const char* who : {"Operator", "Validator"}) {
        pdf.text(kMargin, pdf.y(), 10, std::string(who) + "'s name and signature:");
        pdf.line(kMargin + 170, pdf.y() - 2, kMargin + 470, pdf.y() - 2);
        pdf.text(kMargin + 500, pdf.y(), 10, "Date:");
        pdf.line(kMargin + 535, pdf.y() - 2, kMargin + 680, pdf.y() - 2);
        pdf.down(30);
    }
}

#endif

}  // namespace

bool renderCertificate(const std::vector<Json>& records, const std::string& path, std::string* error) {
    std::vector<const Json*> shown;
    for (const Json& record : records)
        if (record.is_object()) shown.push_back(&record);
#ifdef HWDS_HAVE_HPDF
    Failure failure;
    std::unique_ptr<HPDF_Doc_Rec, DocFree> doc(HPDF_New(onError, &failure));
    if (doc == nullptr) {
        *error = "cannot start a PDF";
        return false;
    }
    HPDF_UseUTFEncodings(doc.get());
    HPDF_SetCurrentEncoder(doc.get(), "UTF-8");
    const char* fontName = HPDF_LoadTTFontFromFile(doc.get(), HWDS_CERTIFICATE_FONT, HPDF_TRUE);
    HPDF_Font font = fontName != nullptr ? HPDF_GetFont(doc.get(), fontName, "UTF-8") : nullptr;
    if (font == nullptr) {
        *error = std::string("cannot load the font ") + HWDS_CERTIFICATE_FONT + " (libharu error " +
                 std::to_string(failure.status) + ")";
        return false;
    }
    Pdf pdf(doc.get(), font);
    render(pdf, shown);
    if (failure.status == HPDF_OK) HPDF_SaveToFile(doc.get(), path.c_str());
    if (failure.status != HPDF_OK) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%04X", static_cast<unsigned>(failure.status));
        *error = path + ": cannot render the certificate (libharu error " + code + ")";
        return false;
    }
    return true;
#else
    static_cast<void>(path);
    *error = kNoCertificates;
    return false;
#endif
}

namespace {

class Certificate : public Subcommand {
public:
    CLI::App* add(CLI::App& program, double*) override {
        CLI::App* command = program.add_subcommand(
            "certificate", "render wipe records (hwds wipe --record) as one PDF certificate to print and sign" +
                               std::string(kCertificates ? "" : " (not in this build)"));
        command->add_option("RECORD", paths_, "the records' JSON files")->required();
        command->add_option("--output", output_, "the PDF file to write")->required();
        return command;
    }

    int run(Display&) override {
        if (!kCertificates) {
            complain(kNoCertificates);
            return kExitUsage;
        }
        std::vector<Json> records;
        for (const std::string& path : paths_) {
            std::ifstream in(path, std::ios::binary);
            Json record = Json::parse(in, nullptr, false);
            if (!in.is_open() || !record.is_object()) {
                complain(path + ": " + (in.is_open() ? "not a wipe record (one JSON object)" : "cannot read"));
                return kExitUsage;
            }
            records.push_back(std::move(record));
        }
        std::string error;
        if (renderCertificate(records, output_, &error)) return kExitOk;
        complain(error);
        return kExitFailed;
    }

private:
    std::vector<std::string> paths_;
    std::string output_;
};

}  // namespace

std::unique_ptr<Subcommand> certificateSubcommand() { return std::make_unique<Certificate>(); }

}  // namespace cli

// list: what is attached.
#include <algorithm>

#include "cli/json.h"
#include "cli/subcommand.h"
#include "hwds/tuvak/tuvak_devices.h"

namespace cli {

namespace {

struct Entry {
    explicit Entry(std::string t) : type(std::move(t)) {}
    std::string type;
    std::string id;  // empty: the source takes none
    bool ok = false;
    CeResult result = CE_OK;
    std::string com, node, detail;
    std::optional<uint32_t> capacity;
};

Entry accordEntry() {
    Entry entry("ACCORD");
    HwDataSource* source = nullptr;
    entry.result = hwdsOpen(&source, "ACCORD", nullptr);
    if (entry.result == CE_OK) {
        // Without a callback an absent key ends the read at once.
        entry.result = hwdsRead(source, nullptr, nullptr, 0, 0);
        if (entry.result == CE_HW_NEED_INTERACTION) entry.detail = "the reader answers, no key is attached";
        if (entry.result == CE_HW_OP_NOT_SUPPORTED) entry.detail = "a key of a family hwds does not know";
    }
    if (entry.result == CE_OK) {
        uint32_t capacity = 0;
        if (hwdsMemorySize(source, nullptr, &capacity) == CE_OK) entry.capacity = capacity;
        entry.ok = true;
        entry.detail = "a key answers" + (entry.capacity ? ", " + std::to_string(*entry.capacity) + " bytes" : "");
    }
    if (entry.detail.empty()) entry.detail = describeResult(entry.result);
    return entry;
}

Entry sobolEntry() {
    Entry entry("SOBOL");
    HwDataSource* source = nullptr;
    // Opening asks the card for random bytes: it answers or it is not there.
    entry.result = hwdsOpen(&source, "SOBOL", nullptr);
    entry.ok = entry.result == CE_OK;
    entry.detail = entry.ok ? "a card answers" : describeResult(entry.result);
    return entry;
}

std::string json(const std::vector<Entry>& entries) {
    auto orNull = [](const std::string& text) { return text.empty() ? Json() : Json(text); };
    Json array = Json::array();
    for (const Entry& e : entries) {
        Json& o = array.emplace_back();
        o["type"] = e.type;
        o["id"] = orNull(e.id);
        o["ok"] = e.ok;
        o["result"] = resultName(e.result);
        if (e.type == "TUVAK" && !e.id.empty()) {
            o["com"] = orNull(e.com);
            o["node"] = orNull(e.node);
        }
        if (e.capacity) o["capacity"] = *e.capacity;
        o["detail"] = e.detail;
    }
    return jsonText(array);
}

std::string plain(const std::vector<Entry>& entries) {
    std::size_t idWidth = 0, comWidth = 1;
    for (const Entry& e : entries) {
        idWidth = std::max(idWidth, e.id.size());
        comWidth = std::max(comWidth, e.com.size());
    }
    std::string text;
    for (const Entry& e : entries) {
        std::string type = e.type;
        type.resize(8, ' ');
        if (e.type == "TUVAK" && !e.id.empty()) {
            std::string id = e.id;
            std::string com = e.com.empty() ? "-" : e.com;
            id.resize(idWidth, ' ');
            com.resize(comWidth, ' ');
            text += type + id + "  " + com + "  " + (e.node.empty() ? "-" : e.node) + "\n";
        } else {
            text += type + e.detail + (e.ok ? "" : " (" + resultName(e.result) + ")") + "\n";
        }
    }
    return text;
}

int list(bool asJson) {
    std::vector<Entry> entries;
    int status = registryBroken() ? kExitFailed : kExitOk;

    std::vector<HwTuvakDevice> devices;
    const CeResult listed = hwdsListTuvak(&devices);
    for (const HwTuvakDevice& d : devices) {
        Entry entry("TUVAK");
        entry.id = d.id;
        entry.ok = true;
        entry.com = d.comName;
        entry.node = d.node;
        entry.detail = "listed by the adapter driver";
        entries.push_back(entry);
    }
    if (devices.empty()) {
        Entry none("TUVAK");
        none.result = listed;
        none.ok = listed == CE_OK;
        none.detail = listed == CE_OK             ? "the adapter driver lists no device"
                      : listed == CE_HW_NOT_FOUND ? "the adapter driver is not installed"
                                                  : "the adapter driver's data cannot be read";
        entries.push_back(none);
        if (listed != CE_OK && listed != CE_HW_NOT_FOUND) status = kExitFailed;
    }
    entries.push_back(accordEntry());
    entries.push_back(sobolEntry());

    if (!writeOut(asJson ? json(entries) : plain(entries))) return kExitFailed;
    return status;
}

class List : public Subcommand {
public:
    CLI::App* add(CLI::App& program, double*) override {
        CLI::App* list = program.add_subcommand("list",
                                                "show the attached TUVAK devices and whether an ACCORD key\n"
                                                "and a SOBOL card answer");
        list->add_flag("--json", json_, "a JSON array on standard output instead of text");
        return list;
    }
    int run(Display&) override { return list(json_); }

private:
    bool json_ = false;
};

}  // namespace

std::unique_ptr<Subcommand> listSubcommand() { return std::make_unique<List>(); }

}  // namespace cli

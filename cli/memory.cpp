// read, write and dump: a source's memory, in one device request each after
// the size query (which a TUVAK source answers without its device).
#include <fstream>
#include <iterator>
#include <vector>

#include "cli/subcommand.h"

namespace cli {

namespace {

// Opens the target and asks its memory's size, saying what went wrong.
HwDataSource* openMemory(const Target& target, const HWDSInteraction* interaction, const Attention& attention,
                         uint32_t* size, int* status) {
    HwDataSource* source = openTarget(target, status);
    if (source == nullptr) return nullptr;
    const CeResult result = hwdsMemorySize(source, interaction, size);
    if (result != CE_OK) {
        complain(target.label() + ": " + attention.explain(result) + " (" + resultName(result) + ")");
        *status = exitStatusFor(result);
        return nullptr;
    }
    return source;
}

bool checkRange(const Target& target, uint64_t offset, uint64_t length, uint32_t size) {
    if (offset <= size && length <= size - offset) return true;
    complain(target.label() + ": offset " + std::to_string(offset) + " and length " + std::to_string(length) +
             " reach past the end of its " + std::to_string(size) + "-byte memory");
    return false;
}

int requestFailed(const Target& target, const char* what, const Attention& attention, CeResult result) {
    complain(target.label() + ": " + what + " failed: " + attention.explain(result) + " (" + resultName(result) + ")");
    return exitStatusFor(result);
}

bool output(const std::string& bytes) {
    if (writeOut(bytes)) return true;
    complain("cannot write to standard output");
    return false;
}

bool readFile(const std::string& path, std::vector<uint8_t>* data) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    data->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

class Read : public Subcommand {
public:
    CLI::App* add(CLI::App& program, double* timeout) override {
        CLI::App* read = program.add_subcommand("read", "read bytes of a source's memory");
        target_.add(read);
        read->add_option("--offset", offset_, "first byte to read (default 0; decimal or 0x hex)");
        read->add_option("--length", length_, "bytes to read (default: to the end of the memory)");
        read->add_option("--format", format_, "hex (default) or raw bytes")->check(CLI::IsMember({"hex", "raw"}));
        addTimeout(read, timeout);
        return read;
    }

    int run(Display& display) override {
        const Target target = target_.target();
        uint64_t offset = 0, length = 0;
        if (!offset_.empty() && !number("offset", offset_, UINT32_MAX, &offset)) return kExitUsage;
        if (!length_.empty() && !number("length", length_, UINT32_MAX, &length)) return kExitUsage;

        Attention attention = attentionFor(target, display);
        const HWDSInteraction interaction = attention.record();
        uint32_t size = 0;
        int status = kExitOk;
        HwDataSource* source = openMemory(target, &interaction, attention, &size, &status);
        if (source == nullptr) return status;
        if (length_.empty()) length = offset <= size ? size - offset : 0;
        if (!checkRange(target, offset, length, size)) return kExitUsage;

        std::vector<uint8_t> data(length);
        const CeResult result =
            hwdsRead(source, &interaction, data.data(), static_cast<uint32_t>(length), static_cast<uint32_t>(offset));
        if (result != CE_OK) return requestFailed(target, "read", attention, result);
        const bool raw = format_ == "raw";
        platform::Terminal* terminal = platform::current().terminal;
        if (raw && terminal != nullptr) terminal->binaryOutput();
        const std::string bytes = raw ? std::string(data.begin(), data.end()) : hexLines(data.data(), data.size());
        return output(bytes) ? kExitOk : kExitFailed;
    }

private:
    TargetOptions target_;
    std::string offset_, length_, format_ = "hex";
};

class Write : public Subcommand {
public:
    CLI::App* add(CLI::App& program, double* timeout) override {
        CLI::App* write = program.add_subcommand("write", "write bytes into a source's memory");
        target_.add(write);
        write->add_option("--offset", offset_, "first byte to write (decimal or 0x hex)")->required();
        hex_ = write->add_option("--hex", hexText_, "the bytes in hexadecimal, e.g. \"de ad be ef\"");
        file_ = write->add_option("--file", path_, "a file whose bytes to write");
        hex_->excludes(file_);
        addTimeout(write, timeout);
        return write;
    }

    int run(Display& display) override {
        const Target target = target_.target();
        uint64_t offset = 0;
        if (!number("offset", offset_, UINT32_MAX, &offset)) return kExitUsage;
        std::vector<uint8_t> data;
        if (!bytes(&data)) return kExitUsage;

        Attention attention = attentionFor(target, display);
        const HWDSInteraction interaction = attention.record();
        uint32_t size = 0;
        int status = kExitOk;
        HwDataSource* source = openMemory(target, &interaction, attention, &size, &status);
        if (source == nullptr) return status;
        if (!checkRange(target, offset, data.size(), size)) return kExitUsage;

        const CeResult result = hwdsWrite(source, &interaction, data.data(), static_cast<uint32_t>(data.size()),
                                          static_cast<uint32_t>(offset));
        if (result != CE_OK) return requestFailed(target, "write", attention, result);
        writeErr(target.label() + ": wrote " + std::to_string(data.size()) + " bytes at offset " +
                 std::to_string(offset) + "\n");
        return kExitOk;
    }

private:
    bool bytes(std::vector<uint8_t>* data) const {
        std::string error;
        if (hex_->count() > 0) {
            if (parseHexBytes(hexText_, data, &error)) return true;
            complain("--hex: " + error);
        } else if (file_->count() == 0) {
            complain("write needs --hex BYTES or --file FILE");
        } else if (!readFile(path_, data)) {
            complain("cannot read " + path_);
        } else if (data->empty()) {
            complain(path_ + " is empty: nothing to write");
        } else {
            return true;
        }
        return false;
    }

    TargetOptions target_;
    std::string offset_, hexText_, path_;
    CLI::Option* hex_ = nullptr;
    CLI::Option* file_ = nullptr;
};

class Dump : public Subcommand {
public:
    CLI::App* add(CLI::App& program, double* timeout) override {
        CLI::App* dump = program.add_subcommand("dump", "show a source's whole memory in a hex view");
        target_.add(dump);
        addTimeout(dump, timeout);
        return dump;
    }

    int run(Display& display) override {
        const Target target = target_.target();
        Attention attention = attentionFor(target, display);
        const HWDSInteraction interaction = attention.record();
        uint32_t size = 0;
        int status = kExitOk;
        HwDataSource* source = openMemory(target, &interaction, attention, &size, &status);
        if (source == nullptr) return status;

        std::vector<uint8_t> data(size);
        const CeResult result = hwdsRead(source, &interaction, data.data(), size, 0);
        if (result != CE_OK) return requestFailed(target, "read", attention, result);
        return output(hexView(data.data(), data.size())) ? kExitOk : kExitFailed;
    }

private:
    TargetOptions target_;
};

}  // namespace

std::unique_ptr<Subcommand> readSubcommand() { return std::make_unique<Read>(); }
std::unique_ptr<Subcommand> writeSubcommand() { return std::make_unique<Write>(); }
std::unique_ptr<Subcommand> dumpSubcommand() { return std::make_unique<Dump>(); }

}  // namespace cli

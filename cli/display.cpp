#include "cli/display.h"

#include <algorithm>
#include <cstdio>

#include "cli/cli.h"

namespace cli {

namespace {

constexpr char kCursorUp[] = "\x1b[%zuA";
constexpr char kClearToEnd[] = "\x1b[K";

platform::Terminal* terminal() { return platform::current().terminal; }

}  // namespace

bool writeOut(std::string_view bytes) {
    platform::Console* console = platform::current().console;
    return console != nullptr && console->write(platform::Stream::Out, bytes) >= 0;
}

bool writeErr(std::string_view bytes) {
    platform::Console* console = platform::current().console;
    return console != nullptr && console->write(platform::Stream::Err, bytes) >= 0;
}

void complain(std::string_view text) { writeErr("hwds: " + std::string(text) + "\n"); }

Display::Display(uint32_t promptTimeoutMs) : promptTimeoutMs_(promptTimeoutMs) {
    if (platform::Terminal* t = terminal()) {
        live_ = t->interactive(platform::Stream::Err);
        attended_ = t->inputInteractive() && live_;
    }
}

void Display::begin(const std::vector<std::string>& labels) {
    std::lock_guard lock(mutex_);
    labels_ = labels;
    texts_.assign(labels.size(), "");
    drawn_ = 0;
    alignLabels();
    if (live_) draw();
}

std::size_t Display::add(const std::string& label) {
    std::lock_guard lock(mutex_);
    labels_.push_back(label);
    texts_.emplace_back();
    alignLabels();
    if (live_ && !asking_) draw();
    return labels_.size() - 1;
}

void Display::alignLabels() {
    std::size_t width = 0;
    for (const auto& label : labels_) width = std::max(width, label.size());
    shown_ = labels_;
    for (auto& label : shown_) label.resize(width, ' ');
}

void Display::update(std::size_t line, const std::string& text, bool liveOnly) {
    std::lock_guard lock(mutex_);
    if (line >= texts_.size()) return;
    texts_[line] = text;
    if (live_) {
        if (!asking_) draw();
    } else if (!liveOnly) {
        writeErr(shown_[line] + "  " + text + "\n");
    }
}

void Display::end() {
    std::lock_guard lock(mutex_);
    labels_.clear();
    shown_.clear();
    texts_.clear();
    drawn_ = 0;
}

void Display::draw() {
    std::string screen;
    if (drawn_ > 0) {
        char up[24];
        std::snprintf(up, sizeof up, kCursorUp, drawn_);
        screen += up;
    }
    for (std::size_t i = 0; i < shown_.size(); ++i) screen += "\r" + shown_[i] + "  " + texts_[i] + kClearToEnd + "\n";
    writeErr(screen);
    drawn_ = shown_.size();
}

Display::Answer Display::ask(const std::string& question) {
    if (!attended_) return Answer::Cancel;
    std::lock_guard oneAtATime(askMutex_);
    {
        std::lock_guard lock(mutex_);
        asking_ = true;
        const uint32_t seconds = (promptTimeoutMs_ + 999) / 1000;
        writeErr(question + " Press Enter to retry or q to cancel (" + std::to_string(seconds) + " s): ");
    }
    std::string line;
    const platform::LineRead read = terminal()->readLine(promptTimeoutMs_, &line);
    std::lock_guard lock(mutex_);
    asking_ = false;
    if (read != platform::LineRead::Line) writeErr("\n");
    // The question pushed the lines up; they start afresh below it.
    drawn_ = 0;
    if (!labels_.empty()) draw();
    if (read == platform::LineRead::TimedOut) return Answer::TimedOut;
    if (read == platform::LineRead::Closed) return Answer::Cancel;
    return (line == "q" || line == "Q") ? Answer::Cancel : Answer::Retry;
}

std::string promptCause(int32_t code) {
    switch (code) {
        case HWDS_PROMPT_NOT_PRESENT: return "the device is not attached, or its port is gone";
        case HWDS_PROMPT_IO_ERROR: return "the port is busy or the exchange with the device failed";
        case HWDS_PROMPT_NOT_ENUMERATED: return "the adapter driver lists no device with this identifier";
        default: return "the device asks for attention";
    }
}

int32_t Attention::interact(void* self, const char*, const char*, int32_t, int32_t code) {
    auto* attention = static_cast<Attention*>(self);
    if (code == HWDS_PROMPT_END) return 0;
    attention->lastCode = code;
    if (attention->display == nullptr || !attention->display->attended()) return HWDS_ANSWER_CANCEL;
    const std::string question = attention->label + ": " + promptCause(code) + ".";
    switch (attention->display->ask(question + " Attach it.")) {
        case Display::Answer::Retry: return HWDS_ANSWER_RETRY;
        case Display::Answer::TimedOut: attention->byOperator = true; return HWDS_ANSWER_TIMEOUT;
        case Display::Answer::Cancel: attention->byOperator = true; return HWDS_ANSWER_CANCEL;
    }
    return HWDS_ANSWER_CANCEL;
}

std::string Attention::explain(CeResult result) const {
    if ((result == CE_CANCELED || result == CE_TIMEOUT) && lastCode >= 0) {
        const std::string cause = promptCause(lastCode);
        if (result == CE_TIMEOUT) return "no answer in time: " + cause;
        return byOperator ? "canceled: " + cause : cause;
    }
    return describeResult(result);
}

}  // namespace cli

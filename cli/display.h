// What the operator sees on standard error while devices work, and the
// questions put to them when a device needs attention.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "hwds/hwds.h"
#include "platform/platform.h"

namespace cli {

class Display {
public:
    // `promptTimeoutMs`: how long a question waits for its answer.
    explicit Display(uint32_t promptTimeoutMs);
    Display(const Display&) = delete;
    Display& operator=(const Display&) = delete;

    // A terminal that shows live lines; otherwise each update is a plain line.
    bool live() const { return live_; }
    // Someone can answer questions: standard input and error are terminals.
    bool attended() const { return attended_; }

    // One progress line per label from now on.
    void begin(const std::vector<std::string>& labels);
    // One more line, below the others; its index for update.
    std::size_t add(const std::string& label);
    // Replaces the line's text: redrawn in place when live, else printed as
    // "label: text" unless `liveOnly`.
    void update(std::size_t line, const std::string& text, bool liveOnly = false);
    // The lines stay as they are; output continues below them.
    void end();

    enum class Answer { Retry, Cancel, TimedOut };
    // Asks the operator, one question at a time, while the progress lines wait.
    Answer ask(const std::string& question);

private:
    void draw();         // with mutex_ held
    void alignLabels();  // with mutex_ held

    uint32_t promptTimeoutMs_;
    bool live_ = false;
    bool attended_ = false;
    std::mutex mutex_;
    std::mutex askMutex_;
    std::vector<std::string> labels_;  // as given
    std::vector<std::string> shown_;   // padded to the widest
    std::vector<std::string> texts_;
    std::size_t drawn_ = 0;  // lines of the block just above the cursor
    bool asking_ = false;
};

// The interaction callback's state for one device (or one request).
struct Attention {
    Display* display = nullptr;
    std::string label;        // how the device is named to the operator
    int32_t lastCode = -1;    // the last interaction code asked about
    bool byOperator = false;  // the operator, not the absence of one, ended it
    HWDSInteraction record() { return {nullptr, &Attention::interact, nullptr, this}; }
    // What became of the request, in plain words, once it returned `result`.
    std::string explain(CeResult result) const;

    static int32_t interact(void* self, const char* type, const char* id, int32_t kind, int32_t code);
};

// Why the runner asks, in plain words.
std::string promptCause(int32_t code);

}  // namespace cli

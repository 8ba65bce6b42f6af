#include "core/log.h"

#include "core/log_queue.h"
#include "platform/platform.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string_view>

namespace {

constexpr std::size_t lineBufferSize = 256;

// Whose work the loop does, for the lines that name their PLC: the name and a dash, or empty.
bool namesPlcs = false;
std::array<char, 40> speakingPlc{};
std::size_t speakingPlcLength = 0;

const char *plcTag() {
    return namesPlcs && speakingPlcLength > 0 ? speakingPlc.data() : "";
}

// Whether the line starts with a stamp the prefixes make: "hh:mm:ss-" or "(item)hh:mm:ss-".
bool stampedLine(std::string_view text) {
    if (text.starts_with('(')) {
        const std::size_t close = text.find(')');
        text = close == std::string_view::npos ? std::string_view{} : text.substr(close + 1);
    }
    const auto digit = [&text](std::size_t at) { return text[at] >= '0' && text[at] <= '9'; };
    return text.size() >= 9 && digit(0) && digit(1) && text[2] == ':' && digit(3) && digit(4) &&
           text[5] == ':' && digit(6) && digit(7) && text[8] == '-';
}

constexpr std::size_t queueCapacity = std::size_t{1024} * 1024;
constexpr std::size_t eventQueueCapacity = std::size_t{4} * 1024 * 1024;
constexpr std::size_t writerBatchLines = 64;
// Event lines the writer takes out at once, written to the file in one go.
constexpr std::size_t writerBatchEventBytes = std::size_t{64} * 1024;
constexpr std::int64_t finishWaitMicros = 1'000'000;
// Short enough that a person or a test following the log sees each line at once.
constexpr std::int64_t writerLingerMicros = 1'000;

bool logColour = false;
std::vector<LogRecord> *logCapture = nullptr;
bool queuedOutput = false; // lines go through the writer thread

// Shared with the writer thread, under the platform's log lock; writerColour is set before the
// thread starts and only read by it. The queue is never freed: a writer stuck in a write when
// the process exits may still reach it.
LogQueue *queue = nullptr;
bool writerRunning = false;
bool writerWaiting = false; // asleep in waitLog until a line comes
bool writerStopping = false;
bool writerColour = false;
// The events file and its queue, under the same lock.
EventQueue *eventQueue = nullptr;
platform::FileHandle eventFile = platform::invalidFile;

// The recent lines, in the loop's thread only: a ring of fixed slots, so keeping a line does
// not allocate.
struct KeptLine {
    std::uint64_t sequence;
    TextAttribute attribute;
    std::size_t length;
    std::array<char, lineBufferSize> text;
};
std::vector<KeptLine> *recentRing = nullptr; // recentLogCapacity entries once kept
std::uint64_t lastSequence = 0;

void keepLine(TextAttribute attribute, std::string_view text) {
    lastSequence += 1;
    KeptLine &kept = (*recentRing)[lastSequence % recentLogCapacity];
    kept.sequence = lastSequence;
    kept.attribute = attribute;
    kept.length = std::min(text.size(), kept.text.size());
    std::copy_n(text.begin(), kept.length, kept.text.begin());
}

// The writer thread: the only one that writes to the output while it runs. It takes a batch of
// lines out under the lock and writes them without it, so the loop only ever waits for the
// moment it takes to queue a line. Once the queue is empty it lingers a moment before it goes
// to sleep: under steady traffic it then wakes once per linger for all lines that came meanwhile
// instead of being woken (a system call in the loop) for every line.
// A failed write ends the events, said once on the console. Called with the lock held.
void endEventsAfterFailure(int errorCode, bool fromWriter) {
    platform::closeFile(eventFile);
    eventFile = platform::invalidFile;
    std::array<char, lineBufferSize> text{};
    std::snprintf(text.data(), text.size(), "Events file stopped: %s",
                  platform::describeError(errorCode).c_str());
    if (fromWriter) {
        queue->push(attributeError, text.data());
    } else {
        const platform::ConsoleLine single{attributeError, text.data()};
        platform::writeConsoleLines({&single, 1}, logColour);
    }
}

// Takes the event lines the writer writes next into events, each with its line end.
void takeEventLines(std::string &events) {
    events.clear();
    if (eventQueue == nullptr) {
        return;
    }
    while (events.size() < writerBatchEventBytes && eventQueue->pop(events)) {
        events += '\n';
    }
}

void runWriter(void * /*context*/) {
    std::array<QueuedLine, writerBatchLines> batch{};
    std::array<platform::ConsoleLine, writerBatchLines> lines{};
    std::string events;
    events.reserve(writerBatchEventBytes + queuedTextLimit);
    bool lingered = false;
    platform::lockLog();
    for (;;) {
        std::size_t count = 0;
        while (count < batch.size() && queue->pop(batch[count])) {
            ++count;
        }
        takeEventLines(events);
        if (count > 0 || !events.empty()) {
            const platform::FileHandle file = eventFile;
            platform::unlockLog();
            for (std::size_t index = 0; index < count; ++index) {
                lines[index] = {batch[index].attribute, batch[index].view()};
            }
            if (count > 0) {
                platform::writeConsoleLines(std::span(lines).first(count), writerColour);
            }
            platform::FileWriteResult written{false, 0};
            if (!events.empty() && file != platform::invalidFile) {
                written = platform::writeFile(
                    file, {reinterpret_cast<const std::uint8_t *>(events.data()), events.size()});
            }
            platform::lockLog();
            if (written.failed && eventFile == file) {
                endEventsAfterFailure(written.errorCode, true);
            }
            lingered = false;
        } else if (writerStopping) {
            break;
        } else if (!lingered) {
            platform::waitLog(writerLingerMicros);
            lingered = true;
        } else {
            writerWaiting = true;
            platform::waitLog(-1);
            writerWaiting = false;
        }
    }
    writerRunning = false;
    platform::wakeLogWaiters();
    platform::unlockLog();
}

void queueLine(TextAttribute attribute, std::string_view text) {
    platform::lockLog();
    queue->push(attribute, text);
    // Only a sleeping writer needs the wake-up; one busy writing finds the line on its next turn.
    const bool wake = writerWaiting;
    writerWaiting = false;
    platform::unlockLog();
    if (wake) {
        platform::wakeLogWaiters();
    }
}

} // namespace

// Slots above 1 alternate the two colours: even slots as slot 0, odd ones as slot 1.
TextAttribute trafficAttribute(int slot) {
    return slot % 2 == 0 ? attributeSlot0 : attributeSlot1;
}

TextAttribute writeAttribute(int slot) {
    return slot % 2 == 0 ? attributeWriteSlot0 : attributeWriteSlot1;
}

void setLogNamesPlcs(bool names) {
    namesPlcs = names;
}

void setLogPlc(std::string_view name) {
    const std::size_t length = std::min(name.size(), speakingPlc.size() - 2);
    std::copy_n(name.begin(), length, speakingPlc.begin());
    speakingPlc[length] = '-';
    speakingPlc[length + 1] = '\0';
    speakingPlcLength = length;
}

LinePrefix slotPrefix(int slot) {
    const platform::LocalTime now = platform::localTime();
    LinePrefix prefix{};
    std::snprintf(prefix.characters.data(), prefix.characters.size(), "%02d:%02d:%02d-%s[%d]",
                  now.hour, now.minute, now.second, plcTag(), slot);
    return prefix;
}

LinePrefix namedPrefix(const char *name) {
    const platform::LocalTime now = platform::localTime();
    LinePrefix prefix{};
    std::snprintf(prefix.characters.data(), prefix.characters.size(), "%02d:%02d:%02d-%s[%s]",
                  now.hour, now.minute, now.second, plcTag(), name);
    return prefix;
}

LinePrefix itemPrefix(int item, int slot) {
    const platform::LocalTime now = platform::localTime();
    LinePrefix prefix{};
    std::snprintf(prefix.characters.data(), prefix.characters.size(), "(%d)%02d:%02d:%02d-%s[%d]",
                  item, now.hour, now.minute, now.second, plcTag(), slot);
    return prefix;
}

void setLogColour(bool colour) {
    logColour = colour;
}

void startLogOutput() {
    if (queuedOutput) {
        return;
    }
    if (queue == nullptr) {
        queue = new LogQueue(queueCapacity);
    }
    writerColour = logColour;
    writerStopping = false;
    writerWaiting = false;
    writerRunning = true;
    if (!platform::startLogThread(runWriter, nullptr)) {
        writerRunning = false;
        return; // lines keep going out directly
    }
    queuedOutput = true;
}

void finishLogOutput() {
    if (!queuedOutput) {
        stopEventOutput();
        return;
    }
    const std::int64_t deadline = platform::monotonicMicros() + finishWaitMicros;
    platform::lockLog();
    writerStopping = true;
    platform::wakeLogWaiters();
    while (writerRunning) {
        const std::int64_t left = deadline - platform::monotonicMicros();
        if (left <= 0) {
            break;
        }
        platform::waitLog(left);
    }
    const bool ended = !writerRunning;
    platform::unlockLog();
    // A writer still stuck keeps the queue: a line now must not block on the output either.
    queuedOutput = !ended;
    if (ended) {
        stopEventOutput();
    }
}

void startEventOutput(platform::FileHandle file) {
    platform::lockLog();
    if (eventQueue == nullptr) {
        eventQueue = new EventQueue(eventQueueCapacity);
    }
    eventFile = file;
    platform::unlockLog();
}

void writeEventLine(std::string_view line) {
    platform::lockLog();
    if (eventFile == platform::invalidFile) {
        platform::unlockLog();
        return;
    }
    if (!queuedOutput) {
        std::string text(line);
        text += '\n';
        const platform::FileWriteResult written = platform::writeFile(
            eventFile, {reinterpret_cast<const std::uint8_t *>(text.data()), text.size()});
        if (written.failed) {
            endEventsAfterFailure(written.errorCode, false);
        }
        platform::unlockLog();
        return;
    }
    eventQueue->push(line);
    const bool wake = writerWaiting;
    writerWaiting = false;
    platform::unlockLog();
    if (wake) {
        platform::wakeLogWaiters();
    }
}

void stopEventOutput() {
    platform::lockLog();
    platform::closeFile(eventFile);
    eventFile = platform::invalidFile;
    if (eventQueue != nullptr) {
        // Whatever was left is not for the next file.
        std::string rest;
        while (eventQueue->pop(rest)) {
            rest.clear();
        }
    }
    platform::unlockLog();
}

std::uint64_t droppedLogLines() {
    platform::lockLog();
    const std::uint64_t dropped = queue != nullptr ? queue->droppedSoFar() : 0;
    platform::unlockLog();
    return dropped;
}

std::uint64_t droppedEventLines() {
    platform::lockLog();
    const std::uint64_t dropped = eventQueue != nullptr ? eventQueue->droppedSoFar() : 0;
    platform::unlockLog();
    return dropped;
}

void keepRecentLog() {
    if (recentRing == nullptr) {
        recentRing = new std::vector<KeptLine>(recentLogCapacity);
    }
}

std::vector<RecentLogLine> recentLogLines(std::uint64_t after) {
    std::vector<RecentLogLine> lines;
    if (recentRing == nullptr) {
        return lines;
    }
    const std::uint64_t oldest =
        lastSequence > recentLogCapacity ? lastSequence - recentLogCapacity : 0;
    for (std::uint64_t sequence = std::max(after, oldest) + 1; sequence <= lastSequence;
         ++sequence) {
        const KeptLine &kept = (*recentRing)[sequence % recentLogCapacity];
        lines.push_back(
            {kept.sequence, kept.attribute, std::string(kept.text.data(), kept.length)});
    }
    return lines;
}

std::uint64_t latestLogSequence() {
    return lastSequence;
}

void setLogCapture(std::vector<LogRecord> *capture) {
    logCapture = capture;
}

void logMessage(TextAttribute attribute, const char *format, ...) {
    std::array<char, lineBufferSize> line{};
    va_list arguments;
    va_start(arguments, format);
    const int formatted = std::vsnprintf(line.data(), line.size(), format, arguments);
    va_end(arguments);
    if (formatted < 0) {
        return;
    }
    std::string_view text(line.data());
    // Every call is exactly one console line.
    const std::size_t lineBreak = text.find_first_of("\r\n");
    if (lineBreak != std::string_view::npos) {
        text = text.substr(0, lineBreak);
    }
    std::array<char, lineBufferSize + 64> named{};
    if (namesPlcs && speakingPlcLength > 0 && !stampedLine(text)) {
        // A line with no stamp of its own, while the loop works for one PLC of several.
        const platform::LocalTime now = platform::localTime();
        const int length =
            std::snprintf(named.data(), named.size(), "%02d:%02d:%02d-%.*s %.*s", now.hour,
                          now.minute, now.second, static_cast<int>(speakingPlcLength),
                          speakingPlc.data(), static_cast<int>(text.size()), text.data());
        if (length > 0) {
            text = std::string_view(named.data(),
                                    std::min(static_cast<std::size_t>(length), named.size() - 1));
        }
    }
    if (queuedOutput) {
        queueLine(attribute, text);
    } else {
        const platform::ConsoleLine single{attribute, text};
        platform::writeConsoleLines({&single, 1}, logColour);
    }
    if (recentRing != nullptr) {
        keepLine(attribute, text);
    }
    if (logCapture != nullptr) {
        logCapture->push_back({attribute, std::string(text)});
    }
}

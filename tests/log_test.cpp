// Console log rendering: attribute colours on a terminal, plain lines otherwise, one line per call.
#include "app/command_line.h"
#include "core/log.h"
#include "platform/ansi_colour.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <unistd.h>

namespace {

// Captures what the process writes to stdout while it is alive.
class StdoutCapture {
public:
    StdoutCapture() {
        EXPECT_EQ(::pipe(pipeEnds.data()), 0);
        savedStdout = ::dup(STDOUT_FILENO);
        ::dup2(pipeEnds[1], STDOUT_FILENO);
    }
    ~StdoutCapture() { restore(); }

    std::string finish() {
        restore();
        std::string text;
        char buffer[1024];
        ssize_t n = 0;
        while ((n = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        }
        ::close(pipeEnds[0]);
        return text;
    }

private:
    void restore() {
        if (savedStdout >= 0) {
            ::dup2(savedStdout, STDOUT_FILENO);
            ::close(savedStdout);
            ::close(pipeEnds[1]);
            savedStdout = -1;
        }
    }

    std::array<int, 2> pipeEnds{};
    int savedStdout = -1;
};

std::string rendered(TextAttribute attribute, bool colour, const char *text) {
    setLogColour(colour);
    StdoutCapture capture;
    logMessage(attribute, "%s", text);
    return capture.finish();
}

TEST(AnsiColour, EachAttributeOfTheServerMapsToItsSgrSequence) {
    EXPECT_EQ(platform::ansiSequenceFor(23).view(), "\x1b[37;44m");
    EXPECT_EQ(platform::ansiSequenceFor(30).view(), "\x1b[93;44m");
    EXPECT_EQ(platform::ansiSequenceFor(39).view(), "\x1b[37;42m");
    EXPECT_EQ(platform::ansiSequenceFor(70).view(), "\x1b[33;41m");
    EXPECT_EQ(platform::ansiSequenceFor(87).view(), "\x1b[37;45m");
    EXPECT_EQ(platform::ansiSequenceFor(94).view(), "\x1b[93;45m");
}

TEST(AnsiColour, IntensityAndEveryColourBitOfBothNibbles) {
    EXPECT_EQ(platform::ansiSequenceFor(0x00).view(), "\x1b[30;40m");
    EXPECT_EQ(platform::ansiSequenceFor(0x01).view(), "\x1b[34;40m"); // blue
    EXPECT_EQ(platform::ansiSequenceFor(0x02).view(), "\x1b[32;40m"); // green
    EXPECT_EQ(platform::ansiSequenceFor(0x04).view(), "\x1b[31;40m"); // red
    EXPECT_EQ(platform::ansiSequenceFor(0x0F).view(), "\x1b[97;40m");
    EXPECT_EQ(platform::ansiSequenceFor(0xF0).view(), "\x1b[30;107m");
    EXPECT_EQ(platform::ansiSequenceFor(0x88).view(), "\x1b[90;100m");
}

TEST(LogMessage, ColouredLineIsSgrTextResetThenLineEnd) {
    EXPECT_EQ(rendered(70, true, "Inactivity shutdown"), "\x1b[33;41mInactivity shutdown\x1b[0m\n");
    EXPECT_EQ(rendered(94, true, "x"), "\x1b[93;45mx\x1b[0m\n");
}

TEST(LogMessage, AttributeSevenIsPlainEvenWithColourOn) {
    EXPECT_EQ(rendered(7, true, "Simulator Started"), "Simulator Started\n");
}

TEST(LogMessage, ColourOffPrintsEveryLinePlain) {
    EXPECT_EQ(rendered(70, false, "Inactivity shutdown"), "Inactivity shutdown\n");
    EXPECT_EQ(rendered(23, false, "TCP conn from 127.0.0.1 (0)"), "TCP conn from 127.0.0.1 (0)\n");
}

TEST(LogMessage, TextIsCutAtTheFirstLineBreak) {
    EXPECT_EQ(rendered(23, true, "first\nsecond"), "\x1b[37;44mfirst\x1b[0m\n");
    EXPECT_EQ(rendered(23, false, "first\rsecond\n"), "first\n");
}

TEST(LogMessage, LineIsLimitedTo255Characters) {
    const std::string longText(400, 'x');
    EXPECT_EQ(rendered(7, false, longText.c_str()), std::string(255, 'x') + "\n");
}

TEST(LogMessage, FormatsTheServersConversions) {
    setLogColour(false);
    StdoutCapture capture;
    logMessage(70, "Unknown TCP error 0x%08X", 10052u);
    logMessage(87, "Calling TSAP = %X,%X", 1, 0x2A);
    logMessage(23, "%02d:%02d:%02d-[%d] TCP Dis-conn %d", 9, 5, 3, 1, 0);
    EXPECT_EQ(capture.finish(),
              "Unknown TCP error 0x00002744\nCalling TSAP = 1,2A\n09:05:03-[1] TCP Dis-conn 0\n");
}

TEST(LogCapture, RecordsTextAndAttribute) {
    std::vector<LogRecord> records;
    setLogColour(false);
    setLogCapture(&records);
    {
        StdoutCapture capture;
        logMessage(30, "slot %d", 1);
        capture.finish();
    }
    setLogCapture(nullptr);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].attribute, 30);
    EXPECT_EQ(records[0].text, "slot 1");
}

TEST(ColourDecision, AutoNeedsATerminalAndNoNoColor) {
    EXPECT_TRUE(decideColour(ColourMode::automatic, true, false));
    EXPECT_FALSE(decideColour(ColourMode::automatic, false, false));
    EXPECT_FALSE(decideColour(ColourMode::automatic, true, true));
    EXPECT_TRUE(decideColour(ColourMode::always, false, true));
    EXPECT_FALSE(decideColour(ColourMode::never, true, false));
}

} // namespace

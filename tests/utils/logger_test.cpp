#include "utils/logger.h"

#include <gtest/gtest.h>

#include "log_capture.h"

TEST(Logger, LineFormatWithSourceNameLineAndFunction) {
    LogCapture capture;
    int line = __LINE__ + 1;
    LOG_DEBUG << "Push event ID: " << 3u;
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "[DEBUG][../tests/utils/logger_test:" + std::to_string(line) +
                            "] TestBody(): Push event ID: 3");
}

TEST(Logger, EveryLevelLabelAndAnUnknownLevel) {
    LogCapture capture;
    logger(logger::INFO, "f", 1, "g") << "x";
    logger(logger::WARN, "f", 2, "g");
    logger(logger::ERROR, "f", 3, "g") << "";
    logger(static_cast<logger::level>(9), "f", 4, "g") << "still written";
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "[INFO][f:1] g(): x");
    EXPECT_EQ(lines[1], "[WARN][f:2] g(): ");
    EXPECT_EQ(lines[2], "[ERROR][f:3] g(): ");
    EXPECT_EQ(lines[3], "[][f:4] g(): still written");
}

TEST(Logger, ValuesConcatenateWithDefaultStreamFormatting) {
    LogCapture capture;
    logger(logger::DEBUG, "f", 1, "g") << 1.23e-05 << true << false << -7 << 'c' << 0.000154;
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "[DEBUG][f:1] g(): 1.23e-0510-7c0.000154");
}

TEST(Logger, InsideALambdaTheFunctionIsOperatorCall) {
    LogCapture capture;
    [] { LOG_INFO << "inside"; }();
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("] operator()(): inside"), std::string::npos) << lines[0];
}

TEST(Logger, NullFileStopsTheLineButStillWritesIt) {
    LogCapture capture;
    logger(logger::DEBUG, nullptr, 1, "g") << "lost";
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "[DEBUG][");
}

TEST(Logger, TwoLoggersWriteInDestructionOrder) {
    LogCapture capture;
    { logger(logger::DEBUG, "f", 1, "a") << "first"; }
    { logger(logger::DEBUG, "f", 2, "b") << "second"; }
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "[DEBUG][f:1] a(): first");
    EXPECT_EQ(lines[1], "[DEBUG][f:2] b(): second");
}

TEST(LoggerDeathTest, FatalWritesTheWholeLineThenAborts) {
    // The default (fork) style: the threadsafe one re-executes the test binary, which an
    // emulated cross build cannot do.
    EXPECT_DEATH(logger(logger::FATAL, "f", 9, "g") << "bye", "\\[FATAL\\]\\[f:9\\] g\\(\\): bye\n");
}

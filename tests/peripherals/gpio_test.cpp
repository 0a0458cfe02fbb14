#include "peripherals/gpio.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>

#include "descriptors.h"
#include "log_lines.h"
#include "process.h"

namespace {

::testing::AssertionResult IsOneErrorLine(const std::string& log, const std::string& function,
                                          const std::string& message) {
    return IsOneErrorLineOf("../src/peripherals/gpio", log, function, message);
}

// A temporary stand-in for /sys/class/gpio as the kernel presents it for line 17 once exported:
// an export file, and gpio17/ with its direction and value attributes.
class GpioTree : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fixture::MakeTempDir("gpio_test_");
        fixture::WriteFile(root_ + "/export", "");
        ::mkdir(line().c_str(), 0755);
        fixture::WriteFile(line() + "/direction", "");
        fixture::WriteFile(line() + "/value", "");
    }
    void TearDown() override { fixture::RemoveTree(root_); }

    std::string line() const { return root_ + "/gpio17"; }
    std::string read(const std::string& name) const { return fixture::ReadFile(root_ + "/" + name); }
    // Replaces a file by something that fails the way the step under test should fail.
    void replaceByDirectory(const std::string& name) const {
        ::unlink((root_ + "/" + name).c_str());
        ::mkdir((root_ + "/" + name).c_str(), 0755);
    }
    void replaceByFullDevice(const std::string& name) const {
        ::unlink((root_ + "/" + name).c_str());
        ASSERT_EQ(0, ::symlink("/dev/full", (root_ + "/" + name).c_str()));
    }

    std::string root_;
};

TEST_F(GpioTree, ExportsMakesOutputAndKeepsOnlyTheValueFileOpen) {
    const std::string log = Capture([&] {
        const size_t before = descriptors::OpenPaths().size();
        {
            GPIO gpio(17, root_);
            EXPECT_TRUE(gpio.isOpen());
            EXPECT_EQ(before + 1, descriptors::OpenPaths().size());
            EXPECT_EQ(1u, descriptors::CountOpenAt(line() + "/value"));
            // Construction drives nothing onto the line.
            EXPECT_EQ("", read("gpio17/value"));

            EXPECT_TRUE(gpio.Set(GPIO::HIGH));
            EXPECT_TRUE(gpio.Set(GPIO::LOW));
        }
        EXPECT_EQ(before, descriptors::OpenPaths().size());
    });
    EXPECT_EQ("", log);
    EXPECT_EQ("17", read("export"));
    EXPECT_EQ("out", read("gpio17/direction"));
    // One byte per Set, no newline, no seek.
    EXPECT_EQ("10", read("gpio17/value"));
}

// Each step's failure: its message, nothing after it touched, nothing left open, and every Set
// refused afterwards.
TEST_F(GpioTree, EachFailedStepLogsStopsAndLeavesNothingOpen) {
    const std::string full = std::to_string(ENOSPC);
    struct Case {
        std::function<void()> breakIt;
        std::string message;  // a leading '/' stands for a path below the root
        const char* direction;  // what the direction file holds afterwards; null: not readable
    };
    const Case cases[] = {
        {[&] { ::unlink((root_ + "/export").c_str()); }, "Failed to open: /export", ""},
        {[&] { replaceByFullDevice("export"); }, "Failed to export GPIO: 17error: " + full, ""},
        {[&] { replaceByDirectory("gpio17/direction"); }, "Failed to open: /gpio17/direction", nullptr},
        {[&] { replaceByFullDevice("gpio17/direction"); },
         "Failed to set GPIO: 17 in output mode, error: " + full, nullptr},
        {[&] { replaceByDirectory("gpio17/value"); }, "Failed to open: /gpio17/value", "out"},
    };
    for (const auto& c : cases) {
        TearDown();
        SetUp();
        c.breakIt();
        std::string message = c.message;
        const size_t slash = message.find(": /");
        if (slash != std::string::npos) message.insert(slash + 2, root_);
        SCOPED_TRACE(message);

        const size_t before = descriptors::OpenPaths().size();
        std::string constructLog;
        std::string setLog;
        testing::internal::CaptureStderr();
        {
            GPIO gpio(17, root_);
            constructLog = testing::internal::GetCapturedStderr();
            EXPECT_FALSE(gpio.isOpen());
            EXPECT_EQ(before, descriptors::OpenPaths().size());
            setLog = Capture([&] { EXPECT_FALSE(gpio.Set(GPIO::HIGH)); });
        }
        EXPECT_TRUE(IsOneErrorLine(constructLog, "GPIO", message));
        EXPECT_TRUE(IsOneErrorLine(setLog, "Set", "The GPIO value file didn't open yet."));
        if (c.direction != nullptr) {
            EXPECT_EQ(c.direction, read("gpio17/direction"));
        }
        EXPECT_EQ(before, descriptors::OpenPaths().size());
    }
}

TEST_F(GpioTree, SetRefusesInvalidStatesAndReportsFailedWrites) {
    GPIO gpio(17, root_);
    ASSERT_TRUE(gpio.isOpen());
    for (int bad : {2, -1}) {
        std::string log = Capture([&] { EXPECT_FALSE(gpio.Set(static_cast<GPIO::State>(bad))); });
        EXPECT_TRUE(IsOneErrorLine(log, "Set", "GPIO set invalid state"));
    }
    EXPECT_EQ("", read("gpio17/value"));

    // A value file that takes no byte: the open succeeded, every write fails.
    replaceByFullDevice("gpio17/value");
    GPIO full(17, root_);
    ASSERT_TRUE(full.isOpen());
    std::string log = Capture([&] { EXPECT_FALSE(full.Set(GPIO::HIGH)); });
    EXPECT_TRUE(IsOneErrorLine(log, "Set", "Failed to write GPIO value: 1"));
    log = Capture([&] { EXPECT_FALSE(full.Set(GPIO::LOW)); });
    EXPECT_TRUE(IsOneErrorLine(log, "Set", "Failed to write GPIO value: 0"));
}

// The kernel's answers that a directory tree cannot give, played through the write seam.
enum class Answer { Busy, Interrupted, Short, Kernel };
Answer exportAnswer = Answer::Kernel;
Answer valueAnswer = Answer::Kernel;
int writeCalls = 0;

ssize_t SysfsWrite(int fd, const void* buf, size_t count) {
    ++writeCalls;
    const std::string path = descriptors::PathOf(fd);
    const auto endsWith = [&](const std::string& tail) {
        return path.size() >= tail.size() && path.compare(path.size() - tail.size(), tail.size(), tail) == 0;
    };
    Answer answer = endsWith("/export") ? exportAnswer : endsWith("/value") ? valueAnswer : Answer::Kernel;
    switch (answer) {
    case Answer::Busy: errno = EBUSY; return -1;
    case Answer::Interrupted:
        if (endsWith("/export")) exportAnswer = Answer::Kernel;
        else valueAnswer = Answer::Kernel;
        errno = EINTR;
        return -1;
    case Answer::Short: return ::write(fd, buf, count - 1);
    case Answer::Kernel: break;
    }
    return ::write(fd, buf, count);
}

class GpioKernel : public GpioTree {
protected:
    void SetUp() override {
        GpioTree::SetUp();
        exportAnswer = valueAnswer = Answer::Kernel;
        writeCalls = 0;
    }
};

// Nothing unexports the line, so a restarted daemon finds it still exported: the kernel answers
// EBUSY and the line is usable as it is.
TEST_F(GpioKernel, AlreadyExportedLineIsTakenAsItIs) {
    exportAnswer = Answer::Busy;
    const std::string log = Capture([&] {
        GPIO gpio(17, root_, &SysfsWrite);
        EXPECT_TRUE(gpio.isOpen());
        EXPECT_TRUE(gpio.Set(GPIO::HIGH));
    });
    EXPECT_EQ("", log);
    EXPECT_EQ("out", read("gpio17/direction"));
    EXPECT_EQ("1", read("gpio17/value"));
}

TEST_F(GpioKernel, InterruptedWritesAreRepeatedAndShortWritesFail) {
    exportAnswer = Answer::Interrupted;
    valueAnswer = Answer::Interrupted;
    std::string log = Capture([&] {
        GPIO gpio(17, root_, &SysfsWrite);
        EXPECT_TRUE(gpio.Set(GPIO::HIGH));
    });
    EXPECT_EQ("", log);
    EXPECT_EQ("17", read("export"));
    EXPECT_EQ("1", read("gpio17/value"));

    // sysfs would read the rest of a short write as a value of its own ("7" after "1"), so a
    // short write is a failure and nothing more is written.
    TearDown();
    SetUp();
    exportAnswer = Answer::Short;
    log = Capture([&] { EXPECT_FALSE(GPIO(17, root_, &SysfsWrite).isOpen()); });
    EXPECT_TRUE(IsOneErrorLine(log, "GPIO", "Failed to export GPIO: 17error: " + std::to_string(EIO)));
    EXPECT_EQ("1", read("export"));
    EXPECT_EQ("", read("gpio17/direction"));

    exportAnswer = Answer::Kernel;
    GPIO shortValue(17, root_, &SysfsWrite);
    ASSERT_TRUE(shortValue.isOpen());
    valueAnswer = Answer::Short;
    log = Capture([&] { EXPECT_FALSE(shortValue.Set(GPIO::HIGH)); });
    EXPECT_TRUE(IsOneErrorLine(log, "Set", "Failed to write GPIO value: 1"));
}

// A daemon may run with its standard input closed; the first file it opens then gets
// descriptor 0, which is as good as any other.
TEST_F(GpioTree, DescriptorZeroIsAnOpenFile) {
    const size_t before = descriptors::OpenPaths().size();
    // Capture first: its own descriptors must not take the free 0.
    const std::string log = Capture([&] {
        descriptors::StdinClosed closed;
        {
            GPIO gpio(17, root_);
            EXPECT_TRUE(gpio.isOpen());
            EXPECT_EQ(line() + "/value", descriptors::PathOf(0));
            EXPECT_TRUE(gpio.Set(GPIO::HIGH));
        }
        EXPECT_EQ("", descriptors::PathOf(0));
    });
    EXPECT_EQ("", log);
    EXPECT_EQ("17", read("export"));
    EXPECT_EQ("out", read("gpio17/direction"));
    EXPECT_EQ("1", read("gpio17/value"));
    EXPECT_EQ(before, descriptors::OpenPaths().size());
}

}  // namespace

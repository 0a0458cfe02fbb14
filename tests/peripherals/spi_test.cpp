#include "peripherals/spi.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "descriptors.h"
#include "log_lines.h"
#include "process.h"

// The record crosses into the kernel as raw bytes: the same 32-byte layout on the 32-bit board
// and on this machine.
static_assert(sizeof(spi_ioc_transfer) == 32, "spi_ioc_transfer size");
static_assert(offsetof(spi_ioc_transfer, tx_buf) == 0, "tx_buf");
static_assert(offsetof(spi_ioc_transfer, rx_buf) == 8, "rx_buf");
static_assert(offsetof(spi_ioc_transfer, len) == 16, "len");
static_assert(offsetof(spi_ioc_transfer, speed_hz) == 20, "speed_hz");
static_assert(offsetof(spi_ioc_transfer, delay_usecs) == 24, "delay_usecs");
static_assert(offsetof(spi_ioc_transfer, bits_per_word) == 26, "bits_per_word");
static_assert(offsetof(spi_ioc_transfer, cs_change) == 27, "cs_change");
static_assert(offsetof(spi_ioc_transfer, tx_nbits) == 28, "tx_nbits");
static_assert(offsetof(spi_ioc_transfer, rx_nbits) == 29, "rx_nbits");

namespace {

::testing::AssertionResult IsOneErrorLine(const std::string& log, const std::string& function,
                                          const std::string& message) {
    return IsOneErrorLineOf("../src/peripherals/spi", log, function, message);
}

// An spidev device played through the ioctl seam: it records every request with the value
// handed in, refuses the request numbered `refuseAt` (1-based) and loops tx back into rx.
struct Request {
    int fd;
    unsigned long number;
    std::uint32_t value;  // the byte or word handed in, for the write requests
};
std::vector<Request> requests;
spi_ioc_transfer lastTransfer;
size_t refuseAt = 0;
int messageResult = 0;  // what SPI_IOC_MESSAGE answers; 0 means "the length"

int FakeSpidev(int fd, unsigned long number, void* arg) {
    Request r{fd, number, 0};
    if (number == SPI_IOC_WR_MODE || number == SPI_IOC_WR_BITS_PER_WORD) {
        r.value = *static_cast<std::uint8_t*>(arg);
    } else if (number == SPI_IOC_WR_MAX_SPEED_HZ) {
        std::memcpy(&r.value, arg, sizeof(std::uint32_t));
    }
    requests.push_back(r);
    if (requests.size() == refuseAt) {
        errno = EINVAL;
        return -1;
    }
    if (number == SPI_IOC_MESSAGE(1)) {
        std::memcpy(&lastTransfer, arg, sizeof(lastTransfer));
        if (messageResult != 0) return messageResult;
        if (lastTransfer.len > 0) {
            std::memcpy(reinterpret_cast<void*>(static_cast<std::uintptr_t>(lastTransfer.rx_buf)),
                        reinterpret_cast<const void*>(static_cast<std::uintptr_t>(lastTransfer.tx_buf)),
                        lastTransfer.len);
        }
        return static_cast<int>(lastTransfer.len);
    }
    return 0;
}

const unsigned long kConfigRequests[] = {0x40016b01, 0x80016b01, 0x40016b03,
                                         0x80016b03, 0x40046b04, 0x80046b04};
const char* const kConfigNumbers[] = {"1073834753", "2147576577", "1073834755",
                                      "2147576579", "1074031364", "2147773188"};

// A regular file stands in for the device node: it opens like one, and the kernel answers
// every spidev request on it with ENOTTY.
class SpiDevice : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fixture::MakeTempDir("spi_test_");
        device_ = dir_ + "/spidev0.0";
        fixture::WriteFile(device_, "");
        requests.clear();
        refuseAt = 0;
        messageResult = 0;
    }
    void TearDown() override { fixture::RemoveTree(dir_); }

    std::string dir_;
    std::string device_;
};

TEST_F(SpiDevice, MissingDeviceLogsAndEverySendFails) {
    const std::string missing = dir_ + "/spidev9.9";
    testing::internal::CaptureStderr();
    SPIController spi(missing, 1000000, 0, 8, &FakeSpidev);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(IsOneErrorLine(log, "SPIController", "Can't open: " + missing));
    EXPECT_FALSE(spi.isOpen());

    unsigned char tx[2] = {1, 2}, rx[2] = {};
    log = Capture([&] { EXPECT_FALSE(spi.Send(tx, rx, 2)); });
    EXPECT_TRUE(IsOneErrorLine(log, "Send", "SPI device file didn't open yet."));
    EXPECT_TRUE(requests.empty());
}

TEST_F(SpiDevice, DeviceRefusingTheFirstRequestStaysOpenUnconfigured) {
    const size_t before = descriptors::OpenPaths().size();
    {
        testing::internal::CaptureStderr();
        SPIController spi(device_, 1000000, 0, 8);
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(IsOneErrorLine(log, "SPIController", "SPI failed to config: 1073834753"));
        EXPECT_TRUE(spi.isOpen());
        EXPECT_EQ(1u, descriptors::CountOpenAt(device_));

        // The request's own result, as the kernel gave it.
        unsigned char tx[1] = {0x5a}, rx[1] = {};
        log = Capture([&] { EXPECT_FALSE(spi.Send(tx, rx, 1)); });
        EXPECT_TRUE(IsOneErrorLine(log, "Send", "Failed to send SPI message: -1"));
    }
    EXPECT_EQ(before, descriptors::OpenPaths().size());
}

TEST_F(SpiDevice, ConfiguresInOrderAndStopsAtTheFirstRefusal) {
    // Word size 0x108 writes its low byte; the mode is no-chip-select whatever the arguments.
    std::string log = Capture([&] { SPIController spi(device_, 1000000, 5, 0x108, &FakeSpidev); });
    EXPECT_EQ("", log);
    ASSERT_EQ(6u, requests.size());
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(kConfigRequests[i], requests[i].number) << i;
    EXPECT_EQ(0x40u, requests[0].value);
    EXPECT_EQ(8u, requests[2].value);
    EXPECT_EQ(1000000u, requests[4].value);

    for (size_t failing = 1; failing <= 6; ++failing) {
        SCOPED_TRACE(failing);
        requests.clear();
        refuseAt = failing;
        log = Capture([&] {
            SPIController spi(device_, 500000, 0, 16, &FakeSpidev);
            // Still open: a transfer carries its own clock and word size.
            refuseAt = 0;
            unsigned char tx[3] = {1, 2, 3}, rx[3] = {};
            EXPECT_TRUE(spi.Send(tx, rx, 3));
            EXPECT_EQ(0, std::memcmp(tx, rx, 3));
        });
        EXPECT_TRUE(IsOneErrorLine(log, "SPIController",
                                   std::string("SPI failed to config: ") + kConfigNumbers[failing - 1]));
        ASSERT_EQ(failing + 1, requests.size());
        for (size_t i = 0; i < failing; ++i) EXPECT_EQ(kConfigRequests[i], requests[i].number);
        EXPECT_EQ(SPI_IOC_MESSAGE(1), requests.back().number);
        EXPECT_EQ(500000u, lastTransfer.speed_hz);
        EXPECT_EQ(16u, lastTransfer.bits_per_word);
    }
}

TEST_F(SpiDevice, SendIssuesOneRecordAndReportsTheRequestsResult) {
    SPIController spi(device_, 1000000, 0, 8, &FakeSpidev);
    unsigned char tx[4] = {0xde, 0xad, 0xbe, 0xef}, rx[4] = {};
    requests.clear();
    EXPECT_EQ("", Capture([&] { EXPECT_TRUE(spi.Send(tx, rx, 4)); }));
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ(0x40206b00u, requests[0].number);
    EXPECT_EQ(0, std::memcmp(tx, rx, 4));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(tx), lastTransfer.tx_buf);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(rx), lastTransfer.rx_buf);
    EXPECT_EQ(4u, lastTransfer.len);

    // A zero length still goes to the device, as a zero-length record.
    EXPECT_TRUE(spi.Send(tx, rx, 0));
    EXPECT_EQ(2u, requests.size());
    EXPECT_EQ(0u, lastTransfer.len);

    messageResult = -1;
    const std::string log = Capture([&] { EXPECT_FALSE(spi.Send(tx, rx, 4)); });
    EXPECT_TRUE(IsOneErrorLine(log, "Send", "Failed to send SPI message: -1"));
}

TEST(SpiTransfer, RecordCarriesTheBuffersAndSettingsAndNothingElse) {
    unsigned char tx[1] = {}, rx[1] = {};
    const spi_ioc_transfer t = SPIController::MakeTransfer(tx, rx, 0, 1000000, 0, 8);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(tx), t.tx_buf);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(rx), t.rx_buf);
    EXPECT_EQ(0u, t.len);
    EXPECT_EQ(1000000u, t.speed_hz);
    EXPECT_EQ(0u, t.delay_usecs);
    EXPECT_EQ(8u, t.bits_per_word);
    // cs_change, tx_nbits, rx_nbits and the bytes after them.
    unsigned char bytes[sizeof(t)];
    std::memcpy(bytes, &t, sizeof(t));
    for (size_t i = offsetof(spi_ioc_transfer, cs_change); i < sizeof(t); ++i) EXPECT_EQ(0, bytes[i]) << i;

    // A pointer in the upper half of a 32-bit address space widens by value, not by sign.
    auto* high = reinterpret_cast<unsigned char*>(static_cast<std::uintptr_t>(0x80000000u));
    const spi_ioc_transfer h = SPIController::MakeTransfer(high, nullptr, 65535, 70000, 65536 + 20, 0x110);
    EXPECT_EQ(0x80000000u, h.tx_buf);
    EXPECT_EQ(0u, h.rx_buf);
    EXPECT_EQ(65535u, h.len);
    EXPECT_EQ(70000u, h.speed_hz);
    EXPECT_EQ(20u, h.delay_usecs);
    EXPECT_EQ(0x10u, h.bits_per_word);
}

TEST_F(SpiDevice, DescriptorZeroIsAnOpenDevice) {
    const std::string log = Capture([&] {
        descriptors::StdinClosed closed;
        SPIController spi(device_, 1000000, 0, 8, &FakeSpidev);
        EXPECT_TRUE(spi.isOpen());
        EXPECT_EQ(device_, descriptors::PathOf(0));
        unsigned char tx[1] = {7}, rx[1] = {};
        EXPECT_TRUE(spi.Send(tx, rx, 1));
        EXPECT_EQ(7, rx[0]);
    });
    EXPECT_EQ("", log);
    ASSERT_EQ(7u, requests.size());
    for (const auto& r : requests) EXPECT_EQ(0, r.fd);
}

}  // namespace

#include "peripherals/spi.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "utils/logger.h"

// The kernel reads the record with the same layout on 32- and 64-bit user space; a header that
// disagrees would make every transfer garbage on the board.
static_assert(sizeof(spi_ioc_transfer) == 32, "spi_ioc_transfer must be 32 bytes");
static_assert(offsetof(spi_ioc_transfer, tx_buf) == 0, "tx_buf offset");
static_assert(offsetof(spi_ioc_transfer, rx_buf) == 8, "rx_buf offset");
static_assert(offsetof(spi_ioc_transfer, len) == 16, "len offset");
static_assert(offsetof(spi_ioc_transfer, speed_hz) == 20, "speed_hz offset");
static_assert(offsetof(spi_ioc_transfer, delay_usecs) == 24, "delay_usecs offset");
static_assert(offsetof(spi_ioc_transfer, bits_per_word) == 26, "bits_per_word offset");
static_assert(offsetof(spi_ioc_transfer, cs_change) == 27, "cs_change offset");
static_assert(SPI_IOC_MESSAGE(1) == 0x40206b00u, "SPI_IOC_MESSAGE(1) request number");

int SPIController::SystemIoctl(int fd, unsigned long request, void* arg) {
    return ::ioctl(fd, request, arg);
}

SPIController::SPIController(const std::string& device, int speed, int delay, int bits,
                             IoctlFunction ioctlFn)
    : bits_(bits), delay_(delay), speed_(speed), ioctl_(ioctlFn) {
    // Close-on-exec: the daemon runs shell commands, which must not inherit the device.
    do {
        fd_ = ::open(device.c_str(), O_RDWR | O_CLOEXEC);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) {
        LOG_ERROR << "Can't open: " << device;
        return;
    }

    // Scratch copies: the values read back only prove that the device answers; the members
    // keep the values asked for.
    std::uint8_t mode = SPI_NO_CS;
    std::uint8_t wordBits = static_cast<std::uint8_t>(bits);
    std::uint32_t maxSpeed = static_cast<std::uint32_t>(speed);
    const struct {
        unsigned long request;
        void* value;
    } steps[] = {
        {SPI_IOC_WR_MODE, &mode},
        {SPI_IOC_RD_MODE, &mode},
        {SPI_IOC_WR_BITS_PER_WORD, &wordBits},
        {SPI_IOC_RD_BITS_PER_WORD, &wordBits},
        {SPI_IOC_WR_MAX_SPEED_HZ, &maxSpeed},
        {SPI_IOC_RD_MAX_SPEED_HZ, &maxSpeed},
    };
    for (const auto& step : steps) {
        if (ioctl_(fd_, step.request, step.value) < 0) {
            // The device stays open with the settings made so far; Send carries its own clock,
            // delay and word size in every record.
            LOG_ERROR << "SPI failed to config: " << static_cast<std::uint32_t>(step.request);
            return;
        }
    }
}

SPIController::~SPIController() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

spi_ioc_transfer SPIController::MakeTransfer(const unsigned char* tx, unsigned char* rx,
                                             unsigned short len, int speed, int delay,
                                             int bits) {
    spi_ioc_transfer transfer{};
    // Through uintptr_t, so that a 32-bit pointer widens by value, not by sign.
    transfer.tx_buf = static_cast<__u64>(reinterpret_cast<std::uintptr_t>(tx));
    transfer.rx_buf = static_cast<__u64>(reinterpret_cast<std::uintptr_t>(rx));
    transfer.len = len;
    transfer.speed_hz = static_cast<__u32>(speed);
    transfer.delay_usecs = static_cast<__u16>(delay);
    transfer.bits_per_word = static_cast<__u8>(bits);
    return transfer;
}

bool SPIController::Send(unsigned char* tx, unsigned char* rx, unsigned short len) {
    if (fd_ < 0) {
        LOG_ERROR << "SPI device file didn't open yet.";
        return false;
    }
    spi_ioc_transfer transfer = MakeTransfer(tx, rx, len, speed_, delay_, bits_);
    const int result = ioctl_(fd_, SPI_IOC_MESSAGE(1), &transfer);
    if (result < 0) {
        LOG_ERROR << "Failed to send SPI message: " << result;
        return false;
    }
    return true;
}

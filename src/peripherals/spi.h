#pragma once

#include <linux/spi/spidev.h>

#include <string>

// An spidev character device, configured once at construction (no chip-select mode, word size,
// clock) and used for full-duplex transfers of one buffer at a time. Failures are logged; an
// object whose device did not open fails every Send.
//
// Thread context: an object is used by one thread only; a transfer blocks until the kernel has
// completed it.
class SPIController {
public:
    // The kernel's ioctl(2); tests hand in their own to play a device that answers or refuses
    // chosen requests, since this machine has no spidev.
    using IoctlFunction = int (*)(int fd, unsigned long request, void* arg);
    static int SystemIoctl(int fd, unsigned long request, void* arg);

    SPIController(const std::string& device, int speed, int delay, int bits,
                  IoctlFunction ioctlFn = &SystemIoctl);
    ~SPIController();

    // Owns a descriptor: copying would close it twice.
    SPIController(const SPIController&) = delete;
    SPIController& operator=(const SPIController&) = delete;

    // Sends `len` bytes from `tx` while receiving as many into `rx`; true on success.
    // Makes no allocation: the record lives on the stack, the buffers are the caller's.
    bool Send(unsigned char* tx, unsigned char* rx, unsigned short len);

    // True while the device file is open (even if its configuration failed part way).
    bool isOpen() const { return fd_ >= 0; }

    // The transfer record of one Send: the caller's buffers, `len`, and the clock, delay and
    // word size of the transfer; every other field zero.
    static spi_ioc_transfer MakeTransfer(const unsigned char* tx, unsigned char* rx,
                                         unsigned short len, int speed, int delay, int bits);

private:
    int bits_;   // bits per word
    int delay_;  // microseconds after each transfer
    int speed_;  // maximum clock in Hz
    int fd_ = -1;
    IoctlFunction ioctl_;
};

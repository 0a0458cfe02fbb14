#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <string>

// One general-purpose I/O line driven as an output through the sysfs GPIO interface.
// Construction exports the line, makes it an output and keeps its value file open; failures are
// logged and leave the object unopened, so that every Set on it fails.
//
// Thread context: an object is used by one thread only; distinct lines are independent.
class GPIO {
public:
    // A fixed underlying type makes every int a valid State, so that a bad value reaching Set
    // is a checked input rather than undefined behaviour.
    enum State : int { LOW = 0, HIGH = 1 };

    // The kernel's write(2); tests hand in their own to play the kernel's refusals
    // (EBUSY from a repeated export) that a plain directory tree cannot give.
    using WriteFunction = ssize_t (*)(int fd, const void* buf, size_t count);

    // `sysfsRoot` is where the GPIO class lives; tests point it at a temporary tree.
    explicit GPIO(const int& pin, const std::string& sysfsRoot = "/sys/class/gpio",
                  WriteFunction writeFn = &::write);
    ~GPIO();

    // Owns a descriptor: copying would close it twice.
    GPIO(const GPIO&) = delete;
    GPIO& operator=(const GPIO&) = delete;

    // Drives the line to `state`; true when the value was written.
    bool Set(const State& state);

    // True while the value file is open.
    bool isOpen() const { return fd_ >= 0; }

private:
    // Writes all `size` bytes in one write(2); false (with errno set) on an error or a short
    // write.
    bool writeAll(int fd, const char* text, size_t size) const;

    int fd_ = -1;  // the line's value file
    WriteFunction write_;
};

#include "peripherals/gpio.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "utils/logger.h"

namespace {

// Close-on-exec: the daemon runs shell commands, which must not inherit the line's files.
int OpenForWriting(const std::string& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

}  // namespace

GPIO::GPIO(const int& pin, const std::string& sysfsRoot, WriteFunction writeFn) : write_(writeFn) {
    const std::string number = std::to_string(pin);

    const std::string exportPath = sysfsRoot + "/export";
    int fd = OpenForWriting(exportPath);
    if (fd < 0) {
        LOG_ERROR << "Failed to open: " << exportPath;
        return;
    }
    if (!writeAll(fd, number.data(), number.size())) {
        const int error = errno;
        ::close(fd);
        // Nothing unexports the line, so after a restart of the daemon the kernel refuses the
        // export of a line that is still exported: the line is there, carry on with it.
        if (error != EBUSY) {
            LOG_ERROR << "Failed to export GPIO: " << pin << "error: " << error;
            return;
        }
    } else {
        ::close(fd);
    }

    const std::string linePath = sysfsRoot + "/gpio" + number;
    const std::string directionPath = linePath + "/direction";
    fd = OpenForWriting(directionPath);
    if (fd < 0) {
        LOG_ERROR << "Failed to open: " << directionPath;
        return;
    }
    if (!writeAll(fd, "out", 3)) {
        const int error = errno;
        ::close(fd);
        LOG_ERROR << "Failed to set GPIO: " << pin << " in output mode, error: " << error;
        return;
    }
    ::close(fd);

    const std::string valuePath = linePath + "/value";
    fd_ = OpenForWriting(valuePath);
    if (fd_ < 0) {
        LOG_ERROR << "Failed to open: " << valuePath;
    }
}

GPIO::~GPIO() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool GPIO::Set(const State& state) {
    if (fd_ < 0) {
        LOG_ERROR << "The GPIO value file didn't open yet.";
        return false;
    }
    const char* text = nullptr;
    switch (static_cast<int>(state)) {
    case LOW: text = "0"; break;
    case HIGH: text = "1"; break;
    default:
        LOG_ERROR << "GPIO set invalid state";
        return false;
    }
    if (!writeAll(fd_, text, 1)) {
        LOG_ERROR << "Failed to write GPIO value: " << text;
        return false;
    }
    return true;
}

bool GPIO::writeAll(int fd, const char* text, size_t size) const {
    ssize_t written;
    do {
        written = write_(fd, text, size);
    } while (written < 0 && errno == EINTR);
    if (written < 0) {
        return false;
    }
    // sysfs takes every write as a value of its own, so the rest cannot follow in a second
    // write ("1" then "7" is not line 17): a short write is a failed write.
    if (static_cast<size_t>(written) != size) {
        errno = EIO;
        return false;
    }
    return true;
}

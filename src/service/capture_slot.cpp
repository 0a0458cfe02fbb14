#include "service/capture_slot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "service/card_files.h"
#include "service/photo_layout.h"
#include "utils/logger.h"
#include "utils/unique_fd.h"

CaptureSlot::CaptureSlot(std::string captureRoot, CardFaults& faults, std::function<int64_t()> clock,
                         std::function<void(const Shot&)> handOver)
    : captureRoot_(std::move(captureRoot)), faults_(faults), clock_(std::move(clock)), handOver_(std::move(handOver)) {}

bool CaptureSlot::Prepare(int camera, Shot& shot) {
    K5_ASSERT_THREAD(bound_);
    shot.camera = camera;
    shot.seconds = clock_();
    shot.temporary =
        captureRoot_ + "/" + photo_layout::CaptureName(shot.seconds, camera, static_cast<long>(::getpid()));
    if (const int error = card_files::EnsureFolder(captureRoot_)) {
        faults_.CardError("create the capture folder", captureRoot_, error);
        return false;
    }
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    UniqueFd fd(::open(shot.temporary.c_str(), flags, 0600));
    if (!fd.valid() && errno == EEXIST && ::unlink(shot.temporary.c_str()) == 0) {
        fd.reset(::open(shot.temporary.c_str(), flags, 0600));
    }
    if (!fd.valid()) {
        faults_.CardError("create the capture file", shot.temporary, errno);
        return false;
    }
    return true;
}

bool CaptureSlot::Commit(const Shot& shot) {
    K5_ASSERT_THREAD(bound_);
    UniqueFd fd(::open(shot.temporary.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (!fd.valid() || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size == 0) {
        LOG_ERROR << "Capture of " << shot.temporary << " left no picture.";
        fd.reset();
        Abandon(shot);
        return false;
    }
    bool whole = card_files::IsWholeJpeg(fd.get(), static_cast<int64_t>(info.st_size));
    if (!whole) {
        LOG_ERROR << "Capture of " << shot.temporary << " is not a whole JPEG (" << info.st_size
                  << " bytes without its start or end marker); it is dropped.";
    } else if (::fsync(fd.get()) != 0) {
        faults_.CardError("sync the capture", shot.temporary, errno);
        whole = false;
    }
    fd.reset();
    if (!whole) {
        Abandon(shot);
        return false;
    }
    handOver_(shot);
    return true;
}

void CaptureSlot::Abandon(const Shot& shot) {
    K5_ASSERT_THREAD(bound_);
    if (::unlink(shot.temporary.c_str()) != 0 && errno != ENOENT) {
        faults_.CardError("remove the failed capture", shot.temporary, errno);
    }
}

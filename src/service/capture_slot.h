#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "service/photo_card.h"
#include "utils/thread_check.h"

// The capturing side of a photo: the temporary file the tool writes into, the tool's result,
// the whole-JPEG check, and the hand-over of a kept picture to the card's owner. Runs on the
// capturing thread only (one capture at a time per camera; checked in debug builds); it never
// names photos and never touches the photo tree.
class CaptureSlot {
public:
    // A capture: the camera, the second it was taken, the temporary file the tool writes.
    struct Shot {
        int camera = 0;
        int64_t seconds = 0;
        std::string temporary;
    };
    // `handOver` receives every kept capture (it posts to the card's thread); `clock` gives
    // the wall clock in seconds.
    CaptureSlot(std::string captureRoot, CardFaults& faults, std::function<int64_t()> clock,
                std::function<void(const Shot&)> handOver);

    // Picks the capture's time and creates its temporary file, exclusively and never through a
    // link, so that the tool writes into a file of ours. False (with an ERROR) when the card
    // cannot take a file at all: the tool is then not run.
    bool Prepare(int camera, Shot& shot);
    // The tool reported success: the file is handed over when it is one whole JPEG that
    // reached the card (synced); otherwise an ERROR names it and it goes.
    bool Commit(const Shot& shot);
    // The capture failed: its temporary file goes.
    void Abandon(const Shot& shot);

private:
    const std::string captureRoot_;
    CardFaults& faults_;
    const std::function<int64_t()> clock_;
    const std::function<void(const Shot&)> handOver_;
    ThreadBound bound_;
};

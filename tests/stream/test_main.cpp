#include <gtest/gtest.h>

#include <cstdlib>

// libx264 leaks its copies of option strings when x264_encoder_open refuses the parameters (the
// odd-width case of the setup-failure test); nothing of ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx264.so\n"; }

int main(int argc, char** argv) {
    // The virtual cameras of these tests (the environment may override them): 0, 1 and 2 exist,
    // camera 1 is pulled after 20 frames of each open, camera 4 opens but never delivers a
    // frame, MJPG serves the build's test picture.
    // Set before any thread starts; children (v4l2-ctl, ffmpeg) inherit it.
    // Node 3 is a camera's metadata node, not a camera.
    setenv("VCAM_DEVICES", "0,1,2,3,4", 0);
    setenv("VCAM_METADATA", "3", 0);
    setenv("VCAM_UNPLUG_AFTER_1", "20", 0);
    setenv("VCAM_STALL_AFTER_4", "0", 0);
    setenv("VCAM_JPEG", K5_VCAM_JPEG, 0);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "config.h"
#include "service/photo_layout.h"
#include "service/stream.h"
#include "utils/clock.h"
#include "utils/shell.h"

std::string Photo::GeneratePhotoPath(int camera) {
    return GeneratePhotoPath(Config::Get(SD_FOLDER), camera);
}

std::string Photo::GeneratePhotoPath(const std::string& sdFolder, int camera) {
    // One reading of the clock for both the folder and the name: two would put a photo taken
    // across midnight under the wrong day.
    const std::string relative = RelativePath(wallclock::Seconds(), camera);
    const std::string folder = sdFolder + "/photo/" + relative.substr(0, relative.rfind('/'));
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) {
        CreateDirectory(folder);
    }
    return sdFolder + "/photo/" + relative;
}

std::string Photo::RelativePath(int64_t seconds, int camera) {
    return photo_layout::Relative(photo_layout::DayOf(seconds), seconds, camera);
}

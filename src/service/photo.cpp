#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "config.h"
#include "service/photo_layout.h"
#include "service/stream.h"
#include "utils/shell.h"

std::string Photo::GeneratePhotoPath(int camera) {
    return GeneratePhotoPath(Config::Get(SD_FOLDER), camera);
}

std::string Photo::GeneratePhotoPath(const std::string& sdFolder, int camera) {
    const int64_t seconds = std::chrono::duration_cast<std::chrono::seconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
    const std::string folder = sdFolder + "/photo/" + photo_layout::DayOf(seconds);
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) {
        CreateDirectory(folder);
    }
    return folder + "/" + photo_layout::PhotoName(seconds, camera);
}

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>

#include "config.h"
#include "service/stream.h"
#include "utils/shell.h"

std::string Photo::GeneratePhotoPath(int camera) {
    return GeneratePhotoPath(Config::Get(SD_FOLDER), camera);
}

std::string Photo::GeneratePhotoPath(const std::string& sdFolder, int camera) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);

    const std::string folder = sdFolder + "/photo/" +
                               std::to_string(local.tm_year + 1900) + "/" +
                               std::to_string(local.tm_mon + 1) + "/" +
                               std::to_string(local.tm_mday);
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) {
        CreateDirectory(folder);
    }

    const int64_t nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                    std::chrono::system_clock::now().time_since_epoch())
                                    .count();
    const int64_t seconds = nanoseconds / 1000000000;
    return folder + "/" + std::to_string(seconds) + "_" + std::to_string(camera) + ".jpg";
}

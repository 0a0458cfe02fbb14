#include <cstdint>
#include <string>

#include "service/photo_layout.h"
#include "service/stream.h"

std::string Photo::RelativePath(int64_t seconds, int camera) {
    return photo_layout::Relative(photo_layout::DayOf(seconds), seconds, camera);
}

#include "service/photo_layout.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <vector>

namespace photo_layout {

namespace {

constexpr const char* kMarkerSuffix = ".pending";

bool AllDigits(const std::string& text, std::size_t maxLength) {
    return !text.empty() && text.size() <= maxLength &&
           text.find_first_not_of("0123456789") == std::string::npos;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t begin = 0;
    for (std::size_t at = text.find(separator); at != std::string::npos; at = text.find(separator, begin)) {
        parts.push_back(text.substr(begin, at - begin));
        begin = at + 1;
    }
    parts.push_back(text.substr(begin));
    return parts;
}

}  // namespace

std::string DayOf(int64_t seconds) {
    // time_t is 64 bits on every build of ours (the armhf one included), so no clock value
    // wraps here.
    const std::time_t when = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (localtime_r(&when, &local) == nullptr) return "1970/1/1";
    return std::to_string(static_cast<long long>(local.tm_year) + 1900) + "/" +
           std::to_string(local.tm_mon + 1) + "/" + std::to_string(local.tm_mday);
}

std::string PhotoName(int64_t seconds, int camera) {
    return std::to_string(static_cast<long long>(seconds)) + "_" + std::to_string(camera) + ".jpg";
}

std::string Relative(const std::string& day, int64_t seconds, int camera) {
    return day + "/" + PhotoName(seconds, camera);
}

bool ParsePhotoName(const std::string& name, int64_t& seconds, int& camera) {
    const std::size_t underscore = name.find('_');
    const std::size_t dot = name.find('.');
    if (underscore == std::string::npos || dot == std::string::npos || dot < underscore) return false;
    const std::string first = name.substr(0, underscore);
    const std::string second = name.substr(underscore + 1, dot - underscore - 1);
    if (!AllDigits(first, 18) || !AllDigits(second, 9)) return false;
    seconds = static_cast<int64_t>(std::stoll(first));
    camera = std::stoi(second);
    return true;
}

bool ParseRelative(const std::string& relative, std::string& day, int64_t& seconds, int& camera) {
    const std::vector<std::string> parts = Split(relative, '/');
    if (parts.size() != 4) return false;
    for (std::size_t i = 0; i < 3; ++i) {
        if (!AllDigits(parts[i], 9)) return false;
    }
    const std::string& name = parts[3];
    if (!EndsWith(name, ".jpg") || name.find('.') != name.size() - 4) return false;
    if (!ParsePhotoName(name, seconds, camera)) return false;
    day = parts[0] + "/" + parts[1] + "/" + parts[2];
    return true;
}

std::string MarkerName(const std::string& relative) {
    std::string day;
    int64_t seconds = 0;
    int camera = 0;
    if (!ParseRelative(relative, day, seconds, camera)) return std::string();
    std::replace(day.begin(), day.end(), '/', '-');
    const std::string name = relative.substr(relative.rfind('/') + 1);
    return name.substr(0, name.size() - 4) + "." + day + kMarkerSuffix;
}

std::string MarkedPhoto(const std::string& marker) {
    const std::size_t dot = marker.find('.');
    if (dot == std::string::npos || !EndsWith(marker, kMarkerSuffix)) return std::string();
    const std::size_t suffix = std::char_traits<char>::length(kMarkerSuffix);
    if (marker.size() < dot + 1 + suffix) return std::string();
    std::string date = marker.substr(dot + 1, marker.size() - dot - 1 - suffix);
    std::replace(date.begin(), date.end(), '-', '/');
    const std::string relative = date + "/" + marker.substr(0, dot) + ".jpg";
    return MarkerName(relative) == marker ? relative : std::string();
}

std::string MarkerPath(const std::string& relative) {
    const std::string marker = MarkerName(relative);
    if (marker.empty()) return std::string();
    std::string day = relative.substr(0, relative.rfind('/'));
    std::replace(day.begin(), day.end(), '/', '-');
    return day + "/" + marker;
}

std::string ClaimRecordPath(const std::string& relative) {
    const std::string marker = MarkerPath(relative);
    if (marker.empty()) return std::string();
    return marker.substr(0, marker.size() - std::char_traits<char>::length(kMarkerSuffix)) + ".claimed";
}

std::string CaptureName(int64_t seconds, int camera, long pid) {
    return PhotoName(seconds, camera) + "." + std::to_string(pid) + ".part";
}

std::string RemoteFolder(const std::string& folder, const std::string& mac) {
    std::string lower = mac;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    std::string result;
    const std::string token = "{mac}";
    for (std::size_t at = 0; at < folder.size();) {
        if (folder.compare(at, token.size(), token) == 0) {
            result += lower;
            at += token.size();
        } else {
            result += folder[at++];
        }
    }
    while (!result.empty() && result.back() == '/') result.pop_back();
    return result;
}

std::string RemoteName(const std::string& remoteFolder, const std::string& relative) {
    return remoteFolder + "/photo/" + relative;
}

std::string RemoteClaims(const std::string& remoteFile) {
    const std::size_t slash = remoteFile.rfind('/');
    return (slash == std::string::npos ? std::string() : remoteFile.substr(0, slash + 1)) + ".claims";
}

std::string RemoteClaim(const std::string& remoteFile) {
    const std::size_t slash = remoteFile.rfind('/');
    return RemoteClaims(remoteFile) + "/" + remoteFile.substr(slash == std::string::npos ? 0 : slash + 1) + ".claim";
}

std::string RemoteTemporary(const std::string& remoteFile, const std::string& mac, bool inClaim) {
    const std::size_t slash = remoteFile.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : remoteFile.substr(0, slash + 1);
    const std::string name = remoteFile.substr(slash == std::string::npos ? 0 : slash + 1);
    std::string lower = mac;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return (inClaim ? RemoteClaim(remoteFile) + "/" : folder) + "." + name + "." + lower + ".part";
}

}  // namespace photo_layout

#include "config.h"

#include <rapidjson/document.h>
#include <rapidjson/istreamwrapper.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <utility>
#include <vector>

#include "utils/logger.h"

namespace {

// File: a string naming a file the daemon must be able to read (empty: not used).
enum class Kind { String, Integer, File };

struct Member {
    const char* object;  // nullptr for a top-level member
    const char* name;
    Kind kind;
    FIELD field;
    bool optional = false;             // may be absent
    const char* fallback = nullptr;    // an absent optional member's value (else empty text)
    // The object itself may be absent (then so is the member); once it is there, the member is
    // required unless `optional`.
    bool optionalObject = false;
};

// Read in this order; every member is required unless marked optional.
const Member kMembers[] = {
    {"mqtt", "server", Kind::String, MQTT_SERVER},
    {"mqtt", "username", Kind::String, MQTT_USERNAME},
    {"mqtt", "password", Kind::String, MQTT_PASSWORD},
    {nullptr, "ftp_server", Kind::String, FTP_SERVER},
    {"ftp_photo", "server", Kind::String, FTP_PHOTO_SERVER},
    {"ftp_photo", "port", Kind::Integer, FTP_PHOTO_PORT},
    {"ftp_photo", "username", Kind::String, FTP_PHOTO_USERNAME},
    {"ftp_photo", "password", Kind::String, FTP_PHOTO_PASSWORD},
    {"ota", "username", Kind::String, OTA_USERNAME},
    {"ota", "password", Kind::String, OTA_PASSWORD},
    {"ota", "downloadpath", Kind::String, OTA_DOWNLOAD_PATH},
    {"camera", "cam1", Kind::Integer, CAM1_INDEX},
    {"camera", "cam2", Kind::Integer, CAM2_INDEX},
    {"camera", "server", Kind::String, CAMERA_SERVER},
    {"rfid_spi", "device", Kind::String, RFID_SPI_DEVICE},
    {"rfid_spi", "speed", Kind::Integer, RFID_SPI_SPEED},
    {"rfid_spi", "delay", Kind::Integer, RFID_SPI_DELAY},
    {"rfid_spi", "bits", Kind::Integer, RFID_SPI_BITS},
    {"rfid_gpio", "cs", Kind::String, RFID_GPIO_CS},
    {nullptr, "netif", Kind::String, NETIF},
    {nullptr, "sdfolder", Kind::String, SD_FOLDER},
    {nullptr, "fw_version", Kind::String, FW_VERSION},
    {nullptr, "sdfolder_min_free_mb", Kind::Integer, SD_MIN_FREE_MB, true, "64"},
    {"camera", "bitrate_kbps", Kind::Integer, STREAM_BITRATE_KBPS, true, "0"},
    {"mqtt", "ca_file", Kind::File, MQTT_CA_FILE, true},
    {"mqtt", "cert_file", Kind::File, MQTT_CERT_FILE, true},
    {"mqtt", "key_file", Kind::File, MQTT_KEY_FILE, true},
    {"ftp_photo", "ca_file", Kind::File, FTP_PHOTO_CA_FILE, true},
    {"ftp_photo", "known_hosts", Kind::File, FTP_PHOTO_KNOWN_HOSTS, true},
    {"ftp_photo", "folder", Kind::String, FTP_PHOTO_FOLDER, true},
    // The device node of a camera when /dev/video<N> is not stable (e.g. a /dev/v4l/by-path
    // link); empty: /dev/video<N>.
    {"camera", "cam1_path", Kind::String, CAM1_PATH, true},
    {"camera", "cam2_path", Kind::String, CAM2_PATH, true},
    // One run of the daemon and its periods, in seconds. A run ends by itself and systemd starts
    // the next within seconds; shorter values serve tests and trials.
    {nullptr, "run_length_s", Kind::Integer, RUN_LENGTH, true, "121"},
    {nullptr, "photo_interval_s", Kind::Integer, PHOTO_CAPTURE_INTERVAL, true, "60"},
    {nullptr, "heartbeat_interval_s", Kind::Integer, HEARTBEAT_INTERVAL, true, "30"},
    // An S3-compatible object store that takes the photos instead of the FTP server.
    {"photo_bucket", "endpoint", Kind::String, PHOTO_BUCKET_ENDPOINT, false, nullptr, true},
    {"photo_bucket", "bucket", Kind::String, PHOTO_BUCKET_BUCKET, false, nullptr, true},
    {"photo_bucket", "region", Kind::String, PHOTO_BUCKET_REGION, false, nullptr, true},
    {"photo_bucket", "access_key", Kind::String, PHOTO_BUCKET_ACCESS_KEY, false, nullptr, true},
    {"photo_bucket", "secret_key", Kind::String, PHOTO_BUCKET_SECRET_KEY, false, nullptr, true},
    {"photo_bucket", "ca_file", Kind::File, PHOTO_BUCKET_CA_FILE, true, nullptr, true},
    {"photo_bucket", "folder", Kind::String, PHOTO_BUCKET_FOLDER, true, nullptr, true},
};

// The file holds passwords: anyone but its owner who can read it can log in as the device.
void WarnIfReadableByOthers(const std::string& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        LOG_WARN << "Configuration " << file << " holds passwords but is readable by group or "
                 << "others (mode " << mode << "); make it readable by its owner only "
                 << "(chmod 600).";
    }
}

const std::pair<FIELD, const char*> kConstants[] = {
    {CMD_VERSION, "version"},
    {CMD_REBOOT, "reboot"},
    {CMD_DOWNLOAD, "download"},
    {CMD_RESET_FACTORY, "reset_factory"},
    {CMD_VIEW_CAM, "view_cam"},
    {CMD_HEARTBEAT, "heartbeat"},
    {KEY_TYPE, "type"},
    {KEY_FW, "fw"},
    {KEY_ID, "id"},
    {KEY_CAM1, "cam1"},
    {KEY_CAM2, "cam2"},
    {KEY_TIME, "time"},
    {KEY_RESULT, "result"},
    {STREAM_STOP_TIMEOUT, "300"},
    {STREAM_FORMAT, "flv"},
    {STREAM_WIDTH, "1280"},
    {STREAM_HEIGHT, "720"},
    {STREAM_FRAME_RATE, "10"},
    {VIDEO_DEVICE_PREFIX, "/dev/video"},
};

// Integer members whose values are limited beyond the integer type.
struct Range {
    FIELD field;
    const char* path;
    long min;
    long max;
};
const Range kRanges[] = {
    {FTP_PHOTO_PORT, "ftp_photo.port", 0, 65535},
    {CAM1_INDEX, "camera.cam1", 0, 2147483647L},
    {CAM2_INDEX, "camera.cam2", 0, 2147483647L},
    {SD_MIN_FREE_MB, "sdfolder_min_free_mb", 0, 2147483647L},
    // 0: no cap. 100 Mbit/s is far beyond what a 1280x720 camera at 10 fps can use.
    {STREAM_BITRATE_KBPS, "camera.bitrate_kbps", 0, 100000},
    // At least a second each (the timers' resolution), at most a day.
    {RUN_LENGTH, "run_length_s", 1, 86400},
    {PHOTO_CAPTURE_INTERVAL, "photo_interval_s", 1, 86400},
    {HEARTBEAT_INTERVAL, "heartbeat_interval_s", 1, 86400},
};

// The values an integer member may take, for the message that refuses a mistyped one.
std::pair<long, long> Bounds(FIELD field) {
    for (const Range& range : kRanges) {
        if (range.field == field) return {range.min, range.max};
    }
    return {INT_MIN, INT_MAX};
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool IsPassword(FIELD field) {
    return field == MQTT_PASSWORD || field == FTP_PHOTO_PASSWORD || field == OTA_PASSWORD ||
           field == PHOTO_BUCKET_SECRET_KEY;
}

// "http://host[:port][/]" or "https://...": a host of letters, digits, dots and dashes, or
// an IPv6 address in brackets; a port from 1 to 65535; no path, query or credentials (the
// bucket is a member of its own, and path-style keys follow the host).
bool IsEndpoint(const std::string& url) {
    size_t at = 0;
    if (url.compare(0, 7, "http://") == 0) {
        at = 7;
    } else if (url.compare(0, 8, "https://") == 0) {
        at = 8;
    } else {
        return false;
    }
    size_t end = at;
    if (end < url.size() && url[end] == '[') {
        end = url.find(']', end);
        if (end == std::string::npos || end == at + 1) return false;
        for (size_t i = at + 1; i < end; ++i) {
            if (!IsHexDigit(url[i]) && url[i] != ':' && url[i] != '.') return false;
        }
        ++end;
    } else {
        while (end < url.size() && (std::isalnum(static_cast<unsigned char>(url[end])) || url[end] == '.' ||
                                    url[end] == '-')) {
            ++end;
        }
        if (end == at) return false;
    }
    if (end < url.size() && url[end] == ':') {
        size_t digits = end + 1;
        long port = 0;
        while (digits < url.size() && std::isdigit(static_cast<unsigned char>(url[digits])) && port <= 65535) {
            port = port * 10 + (url[digits] - '0');
            ++digits;
        }
        if (digits == end + 1 || port < 1 || port > 65535) return false;
        end = digits;
    }
    return end == url.size() || (end + 1 == url.size() && url[end] == '/');
}

// A folder that ends up in FTP commands or object keys: a line break would smuggle in a
// command of its own, and ".." would leave the account's folder for the fleet's.
bool IsSafeFolder(const std::string& folder) {
    return folder.find_first_of(std::string("\r\n\t\0", 4)) == std::string::npos &&
           ("/" + folder + "/").find("/../") == std::string::npos;
}

}  // namespace

Config::Config() : Config(kConfigFile, kNetClassRoot) {}

// Loading logs under the constructor's name: every line of it reads "Config(): ...".
Config::Config(const std::string& file, const std::string& netClassRoot) {
    LOG_DEBUG << "Parsing configuration file: " << file;
    table[CONFIG_FILE] = file;

    std::ifstream in(table[CONFIG_FILE]);
    if (!in.is_open()) {
        LOG_ERROR << "Failed to open file configuration.";
        return;
    }
    WarnIfReadableByOthers(file);
    rapidjson::IStreamWrapper wrapper(in);
    rapidjson::Document document;
    // Iterative: a deeply nested file must not exhaust the stack.
    document.ParseStream<rapidjson::kParseIterativeFlag>(wrapper);
    if (document.HasParseError() || !document.IsObject()) {
        LOG_ERROR << "Failed to parse file configuration.";
        return;
    }

    std::map<FIELD, std::string> values;
    std::set<std::string> reportedObjects;
    bool complete = true;
    for (const Member& member : kMembers) {
        const rapidjson::Value* scope = &document;
        std::string path = member.name;
        if (member.object != nullptr) {
            path = std::string(member.object) + "." + member.name;
            auto object = document.FindMember(member.object);
            if (member.optionalObject && object != document.MemberEnd() && !object->value.IsObject()) {
                if (reportedObjects.insert(member.object).second) {
                    LOG_ERROR << "Configuration " << file << ": member \"" << member.object
                              << "\" must be an object.";
                }
                complete = false;
                continue;
            }
            if (object == document.MemberEnd() || !object->value.IsObject()) {
                if (member.optional || member.optionalObject) {
                    // The required members of the same object already report it.
                    continue;
                }
                LOG_ERROR << "Configuration " << file << ": member \"" << member.object
                          << "\" is missing or not an object (needed for \"" << path << "\").";
                complete = false;
                continue;
            }
            scope = &object->value;
        }
        auto found = scope->FindMember(member.name);
        if (found == scope->MemberEnd()) {
            if (member.optional) {
                values[member.field] = member.fallback != nullptr ? member.fallback : "";
                continue;
            }
            LOG_ERROR << "Configuration " << file << ": member \"" << path << "\" is missing.";
            complete = false;
            continue;
        }
        const rapidjson::Value& value = found->value;
        if (member.kind == Kind::File) {
            if (!value.IsString()) {
                LOG_ERROR << "Configuration " << file << ": member \"" << path
                          << "\" must be a string naming a file.";
                complete = false;
                continue;
            }
            std::string name(value.GetString(), value.GetStringLength());
            if (!name.empty() && (name.find('\0') != std::string::npos ||
                                  ::access(name.c_str(), R_OK) != 0)) {
                LOG_ERROR << "Configuration " << file << ": member \"" << path
                          << "\" names a file that cannot be read: " << name;
                complete = false;
                continue;
            }
            values[member.field] = std::move(name);
        } else if (member.kind == Kind::String) {
            if (!value.IsString()) {
                LOG_ERROR << "Configuration " << file << ": member \"" << path
                          << "\" must be a string.";
                complete = false;
                continue;
            }
            values[member.field] = std::string(value.GetString(), value.GetStringLength());
        } else {
            if (!value.IsInt()) {
                const auto bounds = Bounds(member.field);
                LOG_ERROR << "Configuration " << file << ": member \"" << path
                          << "\" must be an integer between " << bounds.first << " and "
                          << bounds.second << ".";
                complete = false;
                continue;
            }
            values[member.field] = std::to_string(value.GetInt());
        }
    }
    if (!values[MQTT_KEY_FILE].empty() && values[MQTT_CERT_FILE].empty()) {
        LOG_ERROR << "Configuration " << file
                  << ": member \"mqtt.key_file\" needs \"mqtt.cert_file\".";
        complete = false;
    }
    if (!IsSafeFolder(values[FTP_PHOTO_FOLDER])) {
        LOG_ERROR << "Configuration " << file << ": member \"ftp_photo.folder\" must be a folder "
                  << "path without control characters or \"..\".";
        complete = false;
    }
    if (!IsSafeFolder(values[PHOTO_BUCKET_FOLDER])) {
        LOG_ERROR << "Configuration " << file << ": member \"photo_bucket.folder\" must be a folder "
                  << "path without control characters or \"..\".";
        complete = false;
    }
    auto endpoint = values.find(PHOTO_BUCKET_ENDPOINT);
    if (endpoint != values.end() && !IsEndpoint(endpoint->second)) {
        LOG_ERROR << "Configuration " << file << ": member \"photo_bucket.endpoint\" must be a URL "
                  << "\"https://host[:port]\" (or http://) without a path.";
        complete = false;
    }
    auto bucket = values.find(PHOTO_BUCKET_BUCKET);
    if (bucket != values.end() &&
        (bucket->second.empty() || bucket->second.find_first_of(std::string("/?#%\r\n\t \0", 9)) != std::string::npos)) {
        LOG_ERROR << "Configuration " << file << ": member \"photo_bucket.bucket\" must be a bucket name "
                  << "(no slash, blank or control character).";
        complete = false;
    }
    auto region = values.find(PHOTO_BUCKET_REGION);
    if (region != values.end() &&
        (region->second.empty() || region->second.find_first_of(std::string(":/\r\n\t \0", 7)) != std::string::npos)) {
        LOG_ERROR << "Configuration " << file << ": member \"photo_bucket.region\" must be a region name "
                  << "such as \"us-east-1\".";
        complete = false;
    }
    for (const Range& range : kRanges) {
        auto found = values.find(range.field);
        if (found == values.end()) {
            continue;  // already reported as missing or mistyped
        }
        const long value = std::stol(found->second);
        if (value < range.min || value > range.max) {
            LOG_ERROR << "Configuration " << file << ": member \"" << range.path
                      << "\" must be an integer between " << range.min << " and " << range.max
                      << ".";
            complete = false;
        }
    }
    if (!complete) {
        return;
    }

    // The MAC address is the device's identity on the broker: without a real one every
    // misconfigured board would share the client id "k5_" and knock the others off.
    const std::string addressFile = netClassRoot + "/" + values[NETIF] + "/address";
    std::ifstream address(addressFile);
    std::string word;
    if (!address.is_open() || !(address >> word)) {
        LOG_ERROR << "Configuration " << file << ": member \"netif\": cannot read the MAC address of \""
                  << values[NETIF] << "\" from " << addressFile << ".";
        return;
    }
    std::string mac;
    for (char c : word) {
        if (c != ':') mac += c;
    }
    bool hex = mac.size() == 12;
    for (char c : mac) hex = hex && IsHexDigit(c);
    if (!hex) {
        LOG_ERROR << "Configuration " << file << ": member \"netif\": the MAC address \"" << word
                  << "\" of \"" << values[NETIF] << "\" is not 12 hex digits.";
        return;
    }
    for (auto& entry : values) {
        table[entry.first] = std::move(entry.second);
    }
    table[MAC_ADDRESS] = mac;

    table[MQTT_QOS] = "0";
    table[MQTT_TOPIC_PREFIX] = "vok/k5/k5_" + mac + "/";
    table[MQTT_CLIENT_ID] = "k5_" + mac;
    table[MQTT_TOPIC_COMMAND] = table[MQTT_TOPIC_PREFIX] + "command";
    table[MQTT_TOPIC_EVENT] = table[MQTT_TOPIC_PREFIX] + "event";
    table[MQTT_TOPIC_HEARTBEAT] = table[MQTT_TOPIC_PREFIX] + "heartbeat";
    table[MQTT_TOPIC_STATUS] = table[MQTT_TOPIC_PREFIX] + "status";
    table[MQTT_TOPIC_STATE] = table[MQTT_TOPIC_PREFIX] + "state";
    table[DEVICE_ID] = "vok_" + mac;
    for (const auto& constant : kConstants) {
        table[constant.first] = constant.second;
    }
    loaded = true;

    LOG_INFO << "Parsed configuration file.";
    std::ostringstream dump;
    dump << *this;
    LOG_DEBUG << dump.str();
}

namespace {
std::string& SourceFile() {
    static std::string file = Config::kConfigFile;
    return file;
}
std::string& SourceNetRoot() {
    static std::string root = Config::kNetClassRoot;
    return root;
}
}  // namespace

void Config::SetSource(const std::string& file, const std::string& netClassRoot) {
    SourceFile() = file;
    SourceNetRoot() = netClassRoot;
}

Config& Config::Instance() {
    static Config _instance(SourceFile(), SourceNetRoot());
    return _instance;
}

std::string& Config::Get(const FIELD& field) {
    return Instance()[field];
}

bool Config::Loaded() {
    return Instance().IsLoaded();
}

std::string& Config::operator[](const FIELD& field) {
    auto it = table.find(field);
    if (it == table.end()) {
        // Never inserted: the table stays read-only for concurrent readers.
        static std::string empty;
        return empty;
    }
    return it->second;
}

std::ostream& operator<<(std::ostream& out, const Config& config) {
    for (const auto& entry : config.table) {
        out << "Config: " << static_cast<int>(entry.first) << ", data: "
            << (IsPassword(entry.first) ? std::string("********") : entry.second) << "\n";
    }
    return out;
}

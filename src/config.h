#pragma once

#include <map>
#include <ostream>
#include <string>

// Every setting, derived name and protocol constant, by number. The numbers are fixed: the
// debug dump prints them.
enum FIELD {
    CONFIG_FILE = 0,
    MQTT_USERNAME = 1,
    MQTT_PASSWORD = 2,
    MQTT_QOS = 3,
    MQTT_CLIENT_ID = 4,
    MQTT_TOPIC_PREFIX = 5,
    MQTT_SERVER = 6,
    MQTT_TOPIC_COMMAND = 7,
    MQTT_TOPIC_EVENT = 8,
    MQTT_TOPIC_HEARTBEAT = 9,
    DEVICE_ID = 10,
    HEARTBEAT_INTERVAL = 11,
    CMD_VERSION = 12,
    CMD_REBOOT = 13,
    CMD_DOWNLOAD = 14,
    CMD_RESET_FACTORY = 15,
    CMD_VIEW_CAM = 16,
    CMD_HEARTBEAT = 17,
    KEY_TYPE = 18,
    KEY_FW = 19,
    KEY_ID = 21,
    KEY_CAM1 = 22,
    KEY_CAM2 = 23,
    KEY_TIME = 24,
    KEY_RESULT = 25,
    FTP_SERVER = 26,
    FTP_PHOTO_SERVER = 27,
    FTP_PHOTO_PORT = 28,
    FTP_PHOTO_USERNAME = 29,
    FTP_PHOTO_PASSWORD = 30,
    OTA_USERNAME = 31,
    OTA_PASSWORD = 32,
    OTA_DOWNLOAD_PATH = 33,
    CAM1_INDEX = 34,
    CAM2_INDEX = 35,
    CAMERA_SERVER = 38,
    RFID_SPI_DEVICE = 39,
    RFID_SPI_SPEED = 40,
    RFID_SPI_DELAY = 41,
    RFID_SPI_BITS = 42,
    RFID_GPIO_CS = 43,
    NETIF = 44,
    SD_FOLDER = 45,
    FW_VERSION = 46,
    MAC_ADDRESS = 47,
    STREAM_STOP_TIMEOUT = 48,
    PHOTO_CAPTURE_INTERVAL = 49,
    STREAM_FORMAT = 50,
    STREAM_WIDTH = 51,
    STREAM_HEIGHT = 52,
    STREAM_FRAME_RATE = 53,
    VIDEO_DEVICE_PREFIX = 54,
    STREAM_BITRATE_KBPS = 55,
    SD_MIN_FREE_MB = 60,
    MQTT_CA_FILE = 80,
    MQTT_CERT_FILE = 81,
    MQTT_KEY_FILE = 82,
    FTP_PHOTO_CA_FILE = 83,
    FTP_PHOTO_KNOWN_HOSTS = 84,
    MQTT_TOPIC_STATUS = 85,
    FTP_PHOTO_FOLDER = 90,
    RUN_LENGTH = 91,
    PHOTO_BUCKET_ENDPOINT = 92,
    PHOTO_BUCKET_BUCKET = 93,
    PHOTO_BUCKET_REGION = 94,
    PHOTO_BUCKET_ACCESS_KEY = 95,
    PHOTO_BUCKET_SECRET_KEY = 96,
    PHOTO_BUCKET_CA_FILE = 97,
    PHOTO_BUCKET_FOLDER = 98,
    MQTT_TOPIC_STATE = 99,
    CAM1_PATH = 86,
    CAM2_PATH = 87,
};

// The process-wide key/value store, read once from /etc/config.json on the first Get and
// read-only afterwards. Any thread may call Get.
class Config {
public:
    static constexpr const char* kConfigFile = "/etc/config.json";
    static constexpr const char* kNetClassRoot = "/sys/class/net";

    Config();
    // Loads another file and another sysfs network root (tests).
    Config(const std::string& file, const std::string& netClassRoot);
    virtual ~Config() = default;

    // Any thread. A field without a value reads as empty text. Never write through the result.
    static std::string& Get(const FIELD& field);
    // Test seam: makes the process-wide instance load `file` and `netClassRoot` instead of the
    // fixed paths. Only before the first Get, on the thread that starts the test.
    static void SetSource(const std::string& file, const std::string& netClassRoot);
    // Any thread: whether the process-wide file loaded completely. The daemon must not run
    // on a store that did not.
    static bool Loaded();

    std::string& operator[](const FIELD& field);
    bool IsLoaded() const { return loaded; }

    friend std::ostream& operator<<(std::ostream& out, const Config& config);

private:
    static Config& Instance();

    std::map<FIELD, std::string> table;
    bool loaded = false;
};

std::ostream& operator<<(std::ostream& out, const Config& config);

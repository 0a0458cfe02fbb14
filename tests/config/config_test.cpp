#include "config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <sstream>
#include <thread>

#include "log_capture.h"
#include "process.h"

namespace {

const char* kGoodConfig = R"({
  "mqtt": {"server": "tcp://127.0.0.1:1883", "username": "dev", "password": "mqtt-secret"},
  "ftp_server": "ftp.example",
  "ftp_photo": {"server": "127.0.0.1", "port": 21, "username": "cam", "password": "ftp-secret"},
  "ota": {"username": "ota", "password": "ota-secret", "downloadpath": "/tmp/ota"},
  "camera": {"cam1": 0, "cam2": 2, "server": "rtmp://127.0.0.1/live"},
  "rfid_spi": {"device": "/dev/spidev0.0", "speed": 1000000, "delay": -5, "bits": 8},
  "rfid_gpio": {"cs": "17"},
  "netif": "eth0",
  "sdfolder": "/mnt/sd",
  "fw_version": "1.2.\"3\"",
  "fw": "not a constant", "type": "ignored", "extra": {"deep": [1, 2, 3]}
})";

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fixture::MakeTempDir("k5-config-");
        netRoot = dir + "/net";
        std::string cmd = "mkdir -p '" + netRoot + "/eth0'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        fixture::WriteFile(netRoot + "/eth0/address", "02:00:00:AB:cd:ef\n");
    }
    void TearDown() override { fixture::RemoveTree(dir); }

    std::string write(const std::string& json) {
        std::string path = dir + "/config.json";
        fixture::WriteFile(path, json);
        return path;
    }

    std::string dir;
    std::string netRoot;
};

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    auto pos = text.find(from);
    EXPECT_NE(pos, std::string::npos) << from;
    if (pos != std::string::npos) text.replace(pos, from.size(), to);
    return text;
}

}  // namespace

TEST_F(ConfigTest, LoadsFileValuesDerivedNamesAndConstants) {
    LogCapture capture;
    Config config(write(kGoodConfig), netRoot);
    ASSERT_TRUE(config.IsLoaded());
    EXPECT_EQ(config[CONFIG_FILE], dir + "/config.json");
    EXPECT_EQ(config[MQTT_SERVER], "tcp://127.0.0.1:1883");
    EXPECT_EQ(config[MQTT_PASSWORD], "mqtt-secret");
    EXPECT_EQ(config[FTP_PHOTO_PORT], "21");
    EXPECT_EQ(config[CAM1_INDEX], "0");
    EXPECT_EQ(config[CAM2_INDEX], "2");
    EXPECT_EQ(config[RFID_SPI_DELAY], "-5");
    EXPECT_EQ(config[RFID_GPIO_CS], "17");
    EXPECT_EQ(config[FW_VERSION], "1.2.\"3\"");
    EXPECT_EQ(config[MAC_ADDRESS], "020000ABcdef");  // case kept
    EXPECT_EQ(config[MQTT_CLIENT_ID], "k5_020000ABcdef");
    EXPECT_EQ(config[MQTT_TOPIC_PREFIX], "vok/k5/k5_020000ABcdef/");
    EXPECT_EQ(config[MQTT_TOPIC_COMMAND], "vok/k5/k5_020000ABcdef/command");
    EXPECT_EQ(config[MQTT_TOPIC_EVENT], "vok/k5/k5_020000ABcdef/event");
    EXPECT_EQ(config[MQTT_TOPIC_HEARTBEAT], "vok/k5/k5_020000ABcdef/heartbeat");
    EXPECT_EQ(config[DEVICE_ID], "vok_020000ABcdef");
    EXPECT_EQ(config[MQTT_QOS], "0");
    EXPECT_EQ(config[KEY_FW], "fw");      // a file member of the same name changes nothing
    EXPECT_EQ(config[KEY_TYPE], "type");
    EXPECT_EQ(config[HEARTBEAT_INTERVAL], "30");
    EXPECT_EQ(config[STREAM_STOP_TIMEOUT], "300");
    EXPECT_EQ(config[PHOTO_CAPTURE_INTERVAL], "60");
    EXPECT_EQ(config[VIDEO_DEVICE_PREFIX], "/dev/video");
    EXPECT_EQ(config[STREAM_FORMAT], "flv");
    EXPECT_EQ(config[SD_MIN_FREE_MB], "64");  // optional, absent: its default
    EXPECT_EQ(config[FTP_PHOTO_FOLDER], "");  // optional, absent: photos below /photo as always
    EXPECT_EQ(config[STREAM_BITRATE_KBPS], "0");  // optional, absent: no cap
    EXPECT_EQ(config[RUN_LENGTH], "121");  // optional, absent: the run's usual length
    EXPECT_EQ(config[static_cast<FIELD>(20)], "");

    auto lines = capture.lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0].find("[DEBUG][../src/config:"), 0u) << lines[0];
    EXPECT_NE(lines[0].find("] Config(): Parsing configuration file: " + dir + "/config.json"),
              std::string::npos)
        << lines[0];
    EXPECT_EQ(Matching(lines, "] Config(): Parsed configuration file.").size(), 1u);
}

TEST_F(ConfigTest, DumpListsEveryEntryInOrderWithPasswordsMasked) {
    Config config(write(kGoodConfig), netRoot);
    std::ostringstream dump;
    dump << config;
    std::string text = dump.str();
    EXPECT_EQ(text.find("Config: 0, data: " + dir + "/config.json\nConfig: 1, data: dev\n"
                        "Config: 2, data: ********\nConfig: 3, data: 0\n"),
              0u)
        << text;
    EXPECT_NE(text.find("Config: 30, data: ********\n"), std::string::npos);
    EXPECT_NE(text.find("Config: 32, data: ********\n"), std::string::npos);
    EXPECT_NE(text.find("Config: 54, data: /dev/video\n"), std::string::npos);
    EXPECT_EQ(text.find("secret"), std::string::npos);
}

TEST_F(ConfigTest, TheLoggedDumpHidesPasswords) {
    LogCapture capture;
    Config config(write(kGoodConfig), netRoot);
    auto lines = capture.lines();
    for (const auto& line : lines) EXPECT_EQ(line.find("secret"), std::string::npos) << line;
    EXPECT_EQ(Matching(lines, "Config: 46, data: 1.2.\"3\"").size(), 1u);
}

TEST_F(ConfigTest, AnUnreadableOrMalformedMacIsRefused) {
    fixture::WriteFile(netRoot + "/bad0/address", "02:00:00:ab:cd\n");
    fixture::WriteFile(netRoot + "/bad1/address", "02:00:00:ab:cd:eg\n");
    fixture::WriteFile(netRoot + "/bad2/address", "\n");
    for (const std::string netif : {"wlan9", "bad0", "bad1", "bad2"}) {
        LogCapture capture;
        Config config(write(Replace(kGoodConfig, "\"eth0\"", "\"" + netif + "\"")), netRoot);
        EXPECT_FALSE(config.IsLoaded()) << netif;
        EXPECT_EQ(config[MQTT_TOPIC_COMMAND], "") << netif;
        auto errors = Matching(capture.lines(), "[ERROR][../src/config:");
        ASSERT_EQ(errors.size(), 1u) << netif;
        EXPECT_NE(errors[0].find("member \"netif\""), std::string::npos) << errors[0];
        EXPECT_NE(errors[0].find(netif), std::string::npos) << errors[0];
    }
}

TEST_F(ConfigTest, MissingOrMalformedFilesKeepOnlyTheFileName) {
    struct Case {
        std::string content;
        std::string error;
    };
    const Case cases[] = {
        {"", "Failed to parse file configuration."},
        {"{\"mqtt\": ", "Failed to parse file configuration."},
        {"[1, 2]", "Failed to parse file configuration."},
        {"{} x", "Failed to parse file configuration."},
        {"{\"a\":1,}", "Failed to parse file configuration."},
        {std::string(100000, '[') + std::string(100000, ']'), "Failed to parse file configuration."},
    };
    for (const auto& c : cases) {
        LogCapture capture;
        Config config(write(c.content), netRoot);
        EXPECT_FALSE(config.IsLoaded());
        EXPECT_EQ(config[MQTT_SERVER], "");
        EXPECT_EQ(config[CONFIG_FILE], dir + "/config.json");
        auto errors = Matching(capture.lines(), "[ERROR][../src/config:");
        ASSERT_EQ(errors.size(), 1u) << c.content.substr(0, 20);
        EXPECT_NE(errors[0].find("] Config(): " + c.error), std::string::npos) << errors[0];
    }
    LogCapture capture;
    Config missing(dir + "/absent.json", netRoot);
    EXPECT_FALSE(missing.IsLoaded());
    EXPECT_EQ(Matching(capture.lines(), "Failed to open file configuration.").size(), 1u);
}

TEST_F(ConfigTest, EveryDefectiveMemberIsNamed) {
    struct Case {
        std::string from, to, member;
    };
    const std::string sd = "\"sdfolder\": \"/mnt/sd\",";
    const std::string floor = "\"sdfolder_min_free_mb\" must be an integer between 0 and 2147483647";
    const std::string cam = "\"cam2\": 2";
    const std::string bitrate = "\"camera.bitrate_kbps\" must be an integer between 0 and 100000";
    const std::string mqttPassword = "\"password\": \"mqtt-secret\"";
    const std::string ftpPassword = "\"password\": \"ftp-secret\"";
    const Case cases[] = {
        {"\"port\": 21", "\"port\": \"21\"", "\"ftp_photo.port\" must be an integer"},
        {"\"port\": 21", "\"port\": 21.5", "\"ftp_photo.port\" must be an integer"},
        {"\"port\": 21", "\"port\": 2147483648", "\"ftp_photo.port\" must be an integer"},
        {"\"cam2\": 2", "\"cam2\": 1e1", "\"camera.cam2\" must be an integer"},
        {"\"port\": 21", "\"port\": 65536", "\"ftp_photo.port\" must be an integer between 0 and 65535"},
        {"\"port\": 21", "\"port\": -1", "\"ftp_photo.port\" must be an integer between 0 and 65535"},
        {"\"cam1\": 0", "\"cam1\": -1", "\"camera.cam1\" must be an integer between 0 and"},
        {"\"netif\": \"eth0\"", "\"netif\": 5", "\"netif\" must be a string"},
        {"\"netif\": \"eth0\",", "", "\"netif\" is missing"},
        {"\"bits\": 8", "\"bits\": null", "\"rfid_spi.bits\" must be an integer"},
        {"\"rfid_gpio\": {\"cs\": \"17\"}", "\"rfid_gpio\": [\"17\"]",
         "\"rfid_gpio\" is missing or not an object"},
        {"\"fw_version\": \"1.2.\\\"3\\\"\",", "", "\"fw_version\" is missing"},
        // Optional members: absent is fine, present but unusable is refused like the others.
        {sd, sd + " \"sdfolder_min_free_mb\": -1,", floor},
        {sd, sd + " \"sdfolder_min_free_mb\": \"64\",", floor},
        {sd, sd + " \"sdfolder_min_free_mb\": 1.5,", floor},
        {sd, sd + " \"sdfolder_min_free_mb\": 4294967296,", floor},
        {cam, cam + ", \"bitrate_kbps\": -400", bitrate},
        {cam, cam + ", \"bitrate_kbps\": 100001", bitrate},
        {cam, cam + ", \"bitrate_kbps\": \"400\"", bitrate},
        {cam, cam + ", \"bitrate_kbps\": 400.5", bitrate},
        {sd, sd + " \"run_length_s\": 0,", "\"run_length_s\" must be an integer between 1 and 86400"},
        {sd, sd + " \"run_length_s\": \"20\",", "\"run_length_s\" must be an integer between 1 and 86400"},
        {sd, sd + " \"photo_interval_s\": 86401,", "\"photo_interval_s\" must be an integer between 1 and 86400"},
        {sd, sd + " \"photo_interval_s\": 2.5,", "\"photo_interval_s\" must be an integer between 1 and 86400"},
        {sd, sd + " \"heartbeat_interval_s\": -30,", "\"heartbeat_interval_s\" must be an integer between 1 and 86400"},
        {sd, sd + " \"heartbeat_interval_s\": null,", "\"heartbeat_interval_s\" must be an integer between 1 and 86400"},
        {mqttPassword, mqttPassword + ", \"ca_file\": 5", "\"mqtt.ca_file\" must be a string"},
        {"\"cam2\": 2", "\"cam2\": 2, \"cam1_path\": 5", "\"camera.cam1_path\" must be a string"},
        {ftpPassword, ftpPassword + ", \"known_hosts\": \"" + dir + "/none\"",
         "\"ftp_photo.known_hosts\" names a file that cannot be read"},
        {mqttPassword, mqttPassword + ", \"key_file\": \"" + dir + "/config.json\"",
         "\"mqtt.key_file\" needs \"mqtt.cert_file\""},
        {ftpPassword, ftpPassword + ", \"folder\": 7", "\"ftp_photo.folder\" must be a string"},
        {ftpPassword, ftpPassword + ", \"folder\": \"/fleet/../other\"", "\"ftp_photo.folder\" must be a folder"},
        {ftpPassword, ftpPassword + ", \"folder\": \"/fleet\\r\\nDELE x\"", "\"ftp_photo.folder\" must be a folder"},
    };
    for (const auto& c : cases) {
        LogCapture capture;
        Config config(write(Replace(kGoodConfig, c.from, c.to)), netRoot);
        EXPECT_FALSE(config.IsLoaded()) << c.to;
        EXPECT_EQ(config[MQTT_SERVER], "");
        auto errors = Matching(capture.lines(), "[ERROR][../src/config:");
        ASSERT_EQ(errors.size(), 1u) << c.to;
        EXPECT_NE(errors[0].find(c.member), std::string::npos) << errors[0];
        EXPECT_NE(errors[0].find(dir + "/config.json"), std::string::npos) << errors[0];
    }
    LogCapture capture;
    Config empty(write("{}"), netRoot);
    EXPECT_FALSE(empty.IsLoaded());
    EXPECT_EQ(Matching(capture.lines(), "[ERROR]").size(), 22u);
}

TEST_F(ConfigTest, ProcessWideInstanceIsBuiltOnceForConcurrentFirstCalls) {
    Config::SetSource(write(kGoodConfig), netRoot);
    LogCapture capture;
    std::string a, b;
    std::thread first([&] { a = Config::Get(MQTT_TOPIC_EVENT); });
    std::thread second([&] { b = Config::Get(MQTT_TOPIC_EVENT); });
    first.join();
    second.join();
    EXPECT_EQ(a, "vok/k5/k5_020000ABcdef/event");
    EXPECT_EQ(b, a);
    EXPECT_TRUE(Config::Loaded());
    EXPECT_EQ(Matching(capture.lines(), "Parsed configuration file.").size(), 1u);
    EXPECT_EQ(&Config::Get(CMD_VERSION), &Config::Get(CMD_VERSION));
}

// Optional members: absent, their defaults; present, their values; and the warning about a
// configuration file that others may read.
TEST_F(ConfigTest, OptionalMembersAndTheFileModeWarning) {
    const std::string ca = dir + "/ca.pem";
    fixture::WriteFile(ca, "not checked here");
    {
        LogCapture capture;
        const std::string file = write(kGoodConfig);
        ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
        Config config(file, netRoot);
        ASSERT_TRUE(config.IsLoaded());
        for (FIELD field : {MQTT_CA_FILE, MQTT_CERT_FILE, MQTT_KEY_FILE, FTP_PHOTO_CA_FILE,
                            FTP_PHOTO_KNOWN_HOSTS}) {
            EXPECT_EQ(config[field], "") << field;
        }
        EXPECT_EQ(config[MQTT_TOPIC_STATUS], "vok/k5/k5_020000ABcdef/status");
        EXPECT_EQ(Matching(capture.lines(), "[WARN]").size(), 0u);
    }
    {
        LogCapture capture;
        std::string text = Replace(kGoodConfig, "\"password\": \"mqtt-secret\"",
                                   "\"password\": \"mqtt-secret\", \"ca_file\": \"" + ca +
                                       "\", \"cert_file\": \"" + ca + "\", \"key_file\": \"" + ca + "\"");
        text = Replace(text, "\"password\": \"ftp-secret\"",
                       "\"password\": \"ftp-secret\", \"ca_file\": \"\", \"known_hosts\": \"" + ca +
                           "\", \"folder\": \"/fleet/{mac}\"");
        text = Replace(text, "\"sdfolder\": \"/mnt/sd\",",
                       "\"sdfolder\": \"/mnt/sd\", \"sdfolder_min_free_mb\": 0, \"run_length_s\": 18,"
                       " \"photo_interval_s\": 5, \"heartbeat_interval_s\": 4,");
        text = Replace(text, "\"cam2\": 2", "\"cam2\": 2, \"bitrate_kbps\": 400");
        const std::string file = write(text);
        ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
        Config config(file, netRoot);
        ASSERT_TRUE(config.IsLoaded());
        EXPECT_EQ(config[MQTT_CA_FILE], ca);
        EXPECT_EQ(config[MQTT_KEY_FILE], ca);
        EXPECT_EQ(config[FTP_PHOTO_CA_FILE], "");
        EXPECT_EQ(config[FTP_PHOTO_KNOWN_HOSTS], ca);
        EXPECT_EQ(config[SD_MIN_FREE_MB], "0");
        EXPECT_EQ(config[FTP_PHOTO_FOLDER], "/fleet/{mac}");
        EXPECT_EQ(config[STREAM_BITRATE_KBPS], "400");
        EXPECT_EQ(config[RUN_LENGTH], "18");
        EXPECT_EQ(config[PHOTO_CAPTURE_INTERVAL], "5");
        EXPECT_EQ(config[HEARTBEAT_INTERVAL], "4");
        auto warnings = Matching(capture.lines(), "[WARN][../src/config:");
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_NE(warnings[0].find("holds passwords"), std::string::npos) << warnings[0];
        EXPECT_NE(warnings[0].find("0644"), std::string::npos) << warnings[0];
    }
}

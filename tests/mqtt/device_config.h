#pragma once

#include <string>

#include "process.h"

// A complete device configuration in `dir` (config.json), with a sysfs-like network root
// (dir/net/lo/address) that gives the MAC 020000abcdef.
struct DeviceConfig {
    std::string file;
    std::string netRoot;
    std::string mac = "020000abcdef";

    std::string Topic(const std::string& leaf) const { return "vok/k5/k5_" + mac + "/" + leaf; }
    std::string DeviceId() const { return "vok_" + mac; }

    // `fwJson` is the JSON text of the firmware version value, quotes included.
    static DeviceConfig Write(const std::string& dir, const std::string& brokerUri,
                              const std::string& user, const std::string& password,
                              const std::string& fwJson, const std::string& netif = "lo") {
        DeviceConfig config;
        config.file = dir + "/config.json";
        config.netRoot = dir + "/net";
        std::string cmd = "mkdir -p '" + config.netRoot + "/" + netif + "'";
        if (std::system(cmd.c_str()) != 0) return config;
        fixture::WriteFile(config.netRoot + "/" + netif + "/address", "02:00:00:ab:cd:ef\n");
        fixture::WriteFile(config.file,
                           "{\n"
                           "  \"mqtt\": {\"server\": \"" + brokerUri + "\", \"username\": \"" + user +
                               "\", \"password\": \"" + password + "\"},\n"
                           "  \"ftp_server\": \"127.0.0.1\",\n"
                           "  \"ftp_photo\": {\"server\": \"127.0.0.1\", \"port\": 1, \"username\": \"u\", "
                           "\"password\": \"p\"},\n"
                           "  \"ota\": {\"username\": \"u\", \"password\": \"p\", \"downloadpath\": \"/tmp\"},\n"
                           "  \"camera\": {\"cam1\": 240, \"cam2\": 241, \"server\": \"rtmp://127.0.0.1:1/live\"},\n"
                           "  \"rfid_spi\": {\"device\": \"/dev/null\", \"speed\": 1000000, \"delay\": 0, \"bits\": 8},\n"
                           "  \"rfid_gpio\": {\"cs\": \"1\"},\n"
                           "  \"netif\": \"" + netif + "\",\n"
                           "  \"sdfolder\": \"" + dir + "/sd\",\n"
                           "  \"fw_version\": " + fwJson + "\n"
                           "}\n");
        return config;
    }
};

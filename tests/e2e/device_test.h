#pragma once

#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <string>

#include "controller.h"
#include "device.h"

// The fixture of the end-to-end tests: a device (or two) with its peers, and a controller on its
// broker that hears the device's events and heartbeats. A failed test keeps the daemons' logs
// and files for a look.
class DeviceTest : public testing::Test {
protected:
    void TearDown() override {
        for (Device* d : {device.get(), second.get()}) {
            if (HasFailure() && d != nullptr) {
                d->keep = true;
                std::cerr << "daemon log and files kept in " << d->dir << "\n";
            }
        }
        controller.reset();
        device.reset();
        second.reset();
    }

    void SetUpDevice(const Device::Options& options = {}) {
        device = std::make_unique<Device>(options);
        ASSERT_TRUE(device->PeersUp()) << device->broker.log() << device->rtmp.log();
        ConnectController();
    }

    void ConnectController() {
        controller.reset();
        controller = std::make_unique<Controller>(device->broker.uri(), "e2e-controller");
        ASSERT_TRUE(controller->Connected());
        controller->Subscribe(device->Topic("event"));
        controller->Subscribe(device->Topic("heartbeat"));
    }

    void Command(const std::string& payload, bool retain = false) {
        controller->Publish(device->Topic("command"), payload, retain);
    }

    std::unique_ptr<Device> device;
    std::unique_ptr<Device> second;
    std::unique_ptr<Controller> controller;
};

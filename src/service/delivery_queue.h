#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "service/photo_card.h"
#include "utils/thread_check.h"

// How the delivery of one photo ended.
enum class DeliveryOutcome {
    Delivered,   // the server holds it under its name: its records may go
    Gone,        // nothing to deliver (no longer on the card, or not a photo)
    NameTaken,   // another file or another device's claim holds its name: it moves on
    ServerDown,  // unreachable, untrusted, stalled: the whole queue waits
    Refused,     // the server refuses this photo: it waits on its own
    Aborted      // the deadline came
};

// What delivery stands at, for an operator (the device's state topic).
struct DeliveryFigures {
    int64_t waiting = 0;        // photos not delivered yet
    int64_t oldestWaiting = 0;  // the oldest one's capture time (seconds since the epoch; 0: none)
    int64_t setAside = 0;       // photos the server refuses
    std::string server = "unknown";  // "up", "down" or "unknown" (not asked yet)
    std::string serverError;    // the server's words of the last failure ("" while none)
    bool operator==(const DeliveryFigures& other) const {
        return waiting == other.waiting && oldestWaiting == other.oldestWaiting && setAside == other.setAside &&
               server == other.server && serverError == other.serverError;
    }
};

// The order in which photos go and how long they wait: fresh photos first (as they came),
// then the backlog oldest first; photos the server refused set aside, each with a wait of its
// own; an unreachable server makes everything wait, firstRetry doubling up to maxRetry; and
// the deadline of the orderly stop. The waits outlive the run (stateFile, read at start and
// written at the end), on a clock that runs on across runs. Delivery thread only (checked in
// debug builds); the clock and the timer are injected.
//
// An outage is one WARN when it starts (with the server's own words), DEBUG while it lasts
// (a WARN again at most every 10 min), and one INFO when it ends.
class DeliveryQueue {
public:
    struct Settings {
        std::chrono::milliseconds firstRetry{5000};
        std::chrono::milliseconds maxRetry{300000};
        // Where the waits are kept between runs ("": not kept).
        std::string stateFile;
        // Milliseconds on a clock that keeps running across runs (default: CLOCK_BOOTTIME).
        std::function<int64_t()> clock;
        // Asks to be woken (Next() again) after this many milliseconds; a negative value
        // cancels the wake-up.
        std::function<void(int64_t)> arm;
    };
    explicit DeliveryQueue(Settings settings);

    // A photo to deliver: fresh (just taken) or of the backlog. A photo the last run left
    // fresh or set aside comes back as it was.
    void Add(const CardPhoto& photo, bool fresh);
    // The card deleted the photo (or it went otherwise).
    void Remove(const std::string& relative);
    // The photo moved to another name on the card: it goes on at once, first in line.
    void Rename(const std::string& relative, const CardPhoto& moved);
    // The photo's claim is recorded on the card now.
    void MarkClaimed(const std::string& relative);

    // The photo to try now, if any; otherwise the wake-up is armed for when one is due.
    std::optional<CardPhoto> Next();
    // What a try of `photo` came to. NameTaken holds the photo until Rename or Remove.
    void Settle(const CardPhoto& photo, DeliveryOutcome outcome, const std::string& reason);

    // Any thread: the stop's deadline on the queue's clock; after it nothing more is tried.
    void SetDeadline(int64_t clockMs) { deadline_.store(clockMs); }
    bool PastDeadline() const;
    bool ServerDown() const { return down_; }
    std::size_t size() const { return photos_.size(); }
    // Whether a photo waits for the card to move it to another name.
    bool Holding() const;
    int64_t Now() const { return settings_.clock(); }

    DeliveryFigures Figures() const;

    // Writes the waits and the photos still fresh to stateFile (write, sync, rename).
    void Save() const;

private:
    struct Item {
        CardPhoto photo;
        bool fresh = false;
        uint64_t order = 0;       // arrival of fresh photos
        int64_t asideUntil = 0;   // set aside until then (clock ms); 0: not set aside
        int64_t asideWait = 0;
        bool held = false;        // moving to another name on the card
    };
    void Load();
    bool Eligible(const Item& item, int64_t now) const;
    void Arm(int64_t now);
    void ServerBack(int64_t now);

    const Settings settings_;
    std::map<std::string, Item> photos_;  // by relative path
    uint64_t arrivals_ = 0;
    // The server-down wait.
    bool down_ = false;
    int64_t downSince_ = 0;
    int64_t downWait_ = 0;
    int64_t downUntil_ = 0;
    int64_t lastWarn_ = 0;
    int deliveredSinceBack_ = 0;
    std::string server_ = "unknown";
    std::string lastError_;
    std::atomic<int64_t> deadline_{0};  // 0: none
    // Of the last run, for photos not added yet.
    std::map<std::string, std::pair<int64_t, int64_t>> loadedAside_;  // wait, until
    std::set<std::string> loadedFresh_;
    ThreadBound bound_;
};

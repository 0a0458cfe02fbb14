#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "utils/thread_check.h"

// A photo on the card: its identity (second and camera) and its path below <sdfolder>/photo/.
struct CardPhoto {
    int64_t seconds = 0;
    int camera = 0;
    std::string relative;
    // Its name is claimed on the server by this device (recorded on the card before the claim).
    bool claimed = false;

    bool operator<(const CardPhoto& other) const;
    bool operator==(const CardPhoto& other) const { return relative == other.relative; }
    // The photo of a relative path; false when it is not one.
    static bool Parse(const std::string& relative, CardPhoto& photo);
};

// What the card says about a storage fault: one ERROR per fault with the path and the
// system's reason; a read-only card once per run (then DEBUG). Any thread.
class CardFaults {
public:
    explicit CardFaults(std::string sdFolder) : sdFolder_(std::move(sdFolder)) {}
    void CardError(const std::string& what, const std::string& path, int error);

private:
    const std::string sdFolder_;
    std::atomic<bool> readOnlyReported_{false};
};

// The photo tree on the storage card: names, pending records, claim records, placement
// under a free name, recovery of interrupted captures, and the free-space floor. Nothing here
// touches the network. Every method runs on the card thread only (checked in debug builds).
//
// A photo never replaces anything: it takes the capture's second or the next free one, its
// record is created exclusively before it is moved into place without replacing, and the
// record goes only once the photo is delivered. Results are 0 or a negative errno.
class PhotoCard {
public:
    PhotoCard(std::string sdFolder, int64_t minFreeBytes, CardFaults& faults);

    const std::string& photoRoot() const { return photoRoot_; }
    const std::string& captureRoot() const { return captureRoot_; }
    std::string Path(const CardPhoto& photo) const { return photoRoot_ + "/" + photo.relative; }

    // Start-up: the photos whose records say they are not delivered (the photo tree is never
    // walked), each with its claim record; records of vanished photos go.
    std::vector<CardPhoto> LoadPending();
    // Start-up: captures a power loss or a kill interrupted; a whole one is placed like a
    // fresh one and returned. `ownPid`'s captures are under way and left alone.
    std::vector<CardPhoto> RecoverCaptures(long ownPid);

    // Moves a whole capture into place under its second or the next free one, recorded as
    // pending first. 0 with `placed` set; otherwise the capture is gone (logged).
    int Place(int64_t seconds, int camera, const std::string& temporary, CardPhoto& placed);
    // The server holds another file under the photo's name: the photo moves to the next free
    // second (record first, never replacing). 0 with `moved` set, -EEXIST when no name is free.
    int MoveOn(const CardPhoto& photo, CardPhoto& moved);
    // The photo is delivered: its records go.
    int Delivered(const CardPhoto& photo);
    // Records that this device claims the photo's name on the server (created exclusively and
    // synced: it survives a power cut). 0 or -errno.
    int RecordClaim(const CardPhoto& photo);

    // Deletes photos, oldest delivered ones first, until the floor holds again; returns the
    // undelivered photos it had to delete (their records gone).
    std::vector<CardPhoto> MakeRoom();

private:
    bool Roomy() const;
    bool DeleteOldest(bool undelivered, std::vector<CardPhoto>& deleted);
    bool IsPending(const std::string& relative) const;
    bool HasClaimRecord(const std::string& relative) const;
    int WriteRecord(const std::string& below);
    int RemoveRecords(const std::string& relative);
    int MoveToFreeName(const std::string& from, const std::string& day, int64_t seconds, int camera, int first,
                       bool needRecord, const char* what, CardPhoto& placed);
    void SyncFolder(const std::string& folder);

    const std::string sdFolder_;
    const int64_t minFreeBytes_;
    const std::string photoRoot_;    // <sdfolder>/photo
    const std::string pendingRoot_;  // <sdfolder>/photo/.pending
    const std::string captureRoot_;  // <sdfolder>/photo/.capture
    CardFaults& faults_;
    ThreadBound bound_;
};

#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "service/delivery_queue.h"
#include "service/photo_card.h"
#include "service/photo_server.h"
#include "utils/thread_check.h"

// What a try to deliver one photo came to.
struct DeliveryResult {
    DeliveryOutcome outcome = DeliveryOutcome::Refused;
    std::string reason;
    bool claimLost = false;  // NameTaken: another device's claim (not a file) holds the name
};

// What delivery needs of its surroundings.
struct DeliveryHooks {
    std::function<bool()> pastDeadline;
    // Records on the card, once a claim is made and before anything is sent into it, that
    // this device holds the photo's name; false when the card could not record it.
    std::function<bool(const CardPhoto&)> recordClaim;
    std::function<void(std::chrono::milliseconds)> sleep;
};

// One way of delivering photos to one server (file servers: PhotoDelivery below). Delivery
// thread only.
class Delivery {
public:
    virtual ~Delivery() = default;
    // Delivers `photo`, whose bytes are the `size` bytes of `fd`.
    virtual DeliveryResult Deliver(const CardPhoto& photo, int fd, int64_t size) = 0;
    // Ends the session with the server; the next delivery opens a new one.
    virtual void Close() = 0;
};

// The delivery of one photo to a file server, as a short sequence of named steps: claim the
// name, ask what is under it, resume or send the temporary copy, rename it into place,
// confirm. Each decision is a small function of the server's answers. Nothing here is
// replaced on the server, and a file under the photo's name counts as this photo only when
// its bytes are known to be the photo's: renamed into place by this device in this run, or
// compared (the server's digest, or a download) equal. Delivery thread only.
class PhotoDelivery : public Delivery {
public:
    struct Settings {
        std::string remoteFolder;  // the server folder of this device's photos ("": the root)
        std::string mac;           // 12 hex digits, lower case: in the temporary files' names
        std::string photoRoot;     // <sdfolder>/photo, for log lines
        // How long a partial copy must hold still before it is resumed (a slow server may still
        // be taking in what a cut connection sent).
        std::chrono::milliseconds settle{2000};
    };
    using Hooks = DeliveryHooks;
    using Result = DeliveryResult;

    // Over a server of the caller's, or one of its own.
    PhotoDelivery(PhotoServer& server, Settings settings, Hooks hooks);
    PhotoDelivery(std::unique_ptr<PhotoServer> server, Settings settings, Hooks hooks);

    Result Deliver(const CardPhoto& photo, int fd, int64_t size) override;
    void Close() override { server_.Close(); }

    // Whether names are claimed on this server (false once it turned out to make no folders).
    bool Claims() const { return server_.NeedsClaims() && !claimsOff_; }

private:
    struct Names {
        std::string local, remote, day, claims, claim, temporary;
    };
    // Where the claim step left the photo's name.
    enum class Claim {
        None,     // no claims on this server
        Made,     // made just now: it holds nothing yet
        NewDay,   // made in a day folder made just now: nothing is under the name either
        Ours,     // made by this device earlier (this run, or recorded on the card)
        Standing, // there, not made by this device now: a file under the name decides
        Taken,    // another device's
        Failed    // the server could not be asked: `failure` says why
    };
    Names NamesOf(const CardPhoto& photo) const;
    std::string Local(const CardPhoto& photo) const;
    Claim ClaimName(const Names& names);
    Claim ClaimInNewDay(const Names& names);
    Claim ClaimInExistingDay(const Names& names);
    Claim ClaimMadeOrRaced(const Names& names, const ServerReply& made);
    ServerReply MakeFolders(const std::string& folder);
    // What the file under the photo's name says: nullopt when it is free.
    std::optional<Result> AskFinalName(const Names& names, int fd, int64_t size);
    std::optional<Result> Resume(const Names& names, Claim claim, int64_t size, int64_t& offset);
    Result Place(const Names& names, int fd, int64_t size, bool partial);
    Result Fail(const ServerReply& reply);
    // The session is gone: true, and the claim step's failure is `reply`.
    bool Cut(const ServerReply& reply);

    std::unique_ptr<PhotoServer> owned_;
    PhotoServer& server_;
    const Settings settings_;
    const Hooks hooks_;
    // This run.
    ServerReply failure_;
    bool claimsOff_ = false;      // the server makes no folders for us
    bool madeFolder_ = false;     // it made a folder of ours: it makes folders as such
    std::set<std::string> ourClaims_;  // claims this device made or holds, by path
    std::set<std::string> renamedByUs_;  // photos this device renamed into place
    ThreadBound bound_;
};

#include "service/photo_delivery.h"

#include <vector>

#include "service/photo_layout.h"
#include "utils/logger.h"

namespace layout = photo_layout;
using Kind = ServerReply::Kind;

namespace {

DeliveryOutcome OutcomeOf(const ServerReply& reply) {
    switch (reply.kind) {
    case Kind::Refused:
    case Kind::LocalError: return DeliveryOutcome::Refused;
    case Kind::Aborted: return DeliveryOutcome::Aborted;
    default: return DeliveryOutcome::ServerDown;
    }
}

PhotoDelivery::Result Done(DeliveryOutcome outcome, std::string reason = std::string()) {
    PhotoDelivery::Result result;
    result.outcome = outcome;
    result.reason = std::move(reason);
    return result;
}

}  // namespace

PhotoDelivery::PhotoDelivery(PhotoServer& server, Settings settings, Hooks hooks)
    : server_(server), settings_(std::move(settings)), hooks_(std::move(hooks)) {}

PhotoDelivery::PhotoDelivery(std::unique_ptr<PhotoServer> server, Settings settings, Hooks hooks)
    : owned_(std::move(server)), server_(*owned_), settings_(std::move(settings)), hooks_(std::move(hooks)) {}

PhotoDelivery::Result PhotoDelivery::Fail(const ServerReply& reply) {
    ServerReply why = reply;
    // A failure without any kind of its own is never taken for success.
    if (why.kind == Kind::Ok || why.kind == Kind::Absent) why.kind = Kind::Down;
    return Done(OutcomeOf(why), why.Describe());
}

bool PhotoDelivery::Cut(const ServerReply& reply) {
    if (!reply.cut()) return false;
    failure_ = reply;
    return true;
}

PhotoDelivery::Names PhotoDelivery::NamesOf(const CardPhoto& photo) const {
    Names names;
    names.local = Local(photo);
    names.remote = layout::RemoteName(settings_.remoteFolder, photo.relative);
    names.day = names.remote.substr(0, names.remote.rfind('/'));
    names.claims = layout::RemoteClaims(names.remote);
    names.claim = layout::RemoteClaim(names.remote);
    names.temporary = layout::RemoteTemporary(names.remote, settings_.mac, Claims());
    return names;
}

PhotoDelivery::Result PhotoDelivery::Deliver(const CardPhoto& photo, int fd, int64_t size) {
    K5_ASSERT_THREAD(bound_);
    if (hooks_.pastDeadline && hooks_.pastDeadline()) return Done(DeliveryOutcome::Aborted, "no time left");
    Names names = NamesOf(photo);
    Claim claim = Claim::None;
    if (Claims()) {
        claim = photo.claimed || ourClaims_.count(names.claim) != 0 ? Claim::Ours : ClaimName(names);
        if (claim == Claim::Failed) return Fail(failure_);
        if (claim == Claim::Taken) {
            Result result = Done(DeliveryOutcome::NameTaken, "Another device claimed " + names.remote + " first");
            result.claimLost = true;
            return result;
        }
        if (!Claims()) {
            claim = Claim::None;  // the server makes no folders: the photo goes without a claim
            names = NamesOf(photo);
        } else if (claim == Claim::Made || claim == Claim::NewDay) {
            ourClaims_.insert(names.claim);
            // Known as ours in the next run too, before anything is sent into it: a kill then
            // costs a resume, not another name.
            if (!photo.claimed && hooks_.recordClaim) hooks_.recordClaim(photo);
        }
    }
    if (claim != Claim::NewDay) {
        if (std::optional<Result> known = AskFinalName(names, fd, size)) return *known;
    }
    if (claim == Claim::Standing) {
        // Nothing under the name: the claim is another device's, unless a copy of ours lies in
        // it (a run of an older version that made it and was cut).
        const ServerReply copy = server_.Size(names.temporary);
        if (copy.cut()) return Fail(copy);
        if (!copy.ok()) {
            ourClaims_.erase(names.claim);
            Result result = Done(DeliveryOutcome::NameTaken, "Another device claimed " + names.remote + " first");
            result.claimLost = true;
            return result;
        }
        claim = Claim::Ours;
    }
    int64_t offset = 0;
    bool partial = false;
    if (claim != Claim::Made && claim != Claim::NewDay) {
        if (std::optional<Result> stop = Resume(names, claim, size, offset)) return *stop;
        partial = offset > 0;
    }
    if (offset > 0) LOG_INFO << "Resuming photo " << Local(photo) << " at byte " << offset << ".";
    if (offset < size) {
        const ServerReply sent = server_.Send(fd, size, offset, names.temporary);
        if (!sent.ok()) return Fail(sent);
    }
    return Place(names, fd, size, partial);
}

// Claim first, ask after: of the devices sharing the account only the one that made the claim
// folder moves a file into the name, and a file another device finished there before the
// claim is seen by the question that follows.
PhotoDelivery::Claim PhotoDelivery::ClaimName(const Names& names) {
    const ServerReply made = server_.MakeFolder(names.claim);
    if (made.ok()) {
        madeFolder_ = true;
        return Claim::Made;
    }
    if (Cut(made)) return Claim::Failed;
    // Not made: the day is new (its folder is missing), the claim stands, or this account makes
    // no folders. A new day is the common case and costs one question.
    const ServerReply day = server_.MakeFolder(names.day);
    if (Cut(day)) return Claim::Failed;
    if (day.ok()) return ClaimInNewDay(names);
    const ServerReply exists = server_.FolderExists(names.day);
    if (Cut(exists)) return Claim::Failed;
    if (exists.kind == Kind::Absent) {
        const ServerReply folders = MakeFolders(names.day);  // a new month, a new account
        if (Cut(folders)) return Claim::Failed;
        if (folders.ok()) return ClaimInNewDay(names);
    }
    return ClaimInExistingDay(names);
}

PhotoDelivery::Claim PhotoDelivery::ClaimInNewDay(const Names& names) {
    madeFolder_ = true;
    const ServerReply claims = server_.MakeFolder(names.claims);
    if (Cut(claims)) return Claim::Failed;
    const ServerReply made = server_.MakeFolder(names.claim);
    if (made.ok()) return Claim::NewDay;
    return ClaimMadeOrRaced(names, made);
}

// The day folder is there and the claim could not be made: another device holds it, or the
// day has no claims folder yet (made by an older version or by someone else).
PhotoDelivery::Claim PhotoDelivery::ClaimInExistingDay(const Names& names) {
    const ServerReply claim = server_.FolderExists(names.claim);
    if (Cut(claim)) return Claim::Failed;
    if (claim.ok()) return Claim::Standing;
    const ServerReply claims = server_.MakeFolder(names.claims);
    if (Cut(claims)) return Claim::Failed;
    const ServerReply made = server_.MakeFolder(names.claim);
    if (made.ok()) {
        madeFolder_ = true;
        return Claim::Made;
    }
    return ClaimMadeOrRaced(names, made);
}

// The claim's MKD failed although its folder could be there: ask, do not guess. Present: a
// device made it just before us (claims stay on, the photo moves on). Absent: the server
// refuses folders as such, and the photo goes without a claim.
PhotoDelivery::Claim PhotoDelivery::ClaimMadeOrRaced(const Names& names, const ServerReply& made) {
    if (Cut(made)) return Claim::Failed;
    const ServerReply exists = server_.FolderExists(names.claim);
    if (Cut(exists)) return Claim::Failed;
    if (exists.ok()) return Claim::Taken;
    claimsOff_ = true;
    if (madeFolder_) {
        LOG_ERROR << "The photo server makes folders but refuses " << names.claims << " (" << made.Describe()
                  << "): it refuses names beginning with a dot (pure-ftpd's ProhibitDotFilesWrite, for one), so "
                     "neither claims nor temporary files can be kept there and photos cannot be delivered; "
                     "allow dot files for this account.";
    } else {
        LOG_WARN << "The photo server refuses to make the folder " << names.claim << " (" << made.Describe()
                 << "): photo names are not claimed on it in this run, so devices sharing its folders could "
                    "replace each other's photos (an ftp_photo.folder with {mac} gives each device its own).";
    }
    return Claim::None;
}

// Makes `folder` where its parent is missing too: from the nearest folder above it that can be
// made or is there down to it (a new month costs the month's folder and the day's, not a
// question per level). A folder another device made meanwhile counts as made: a refused MKD is
// asked about before it counts against the server.
ServerReply PhotoDelivery::MakeFolders(const std::string& folder) {
    auto madeOrThere = [this](const std::string& path) {
        ServerReply reply = server_.MakeFolder(path);
        if (reply.ok() || reply.cut()) return reply;
        const ServerReply there = server_.FolderExists(path);
        return there.ok() || there.cut() ? there : reply;
    };
    std::vector<std::string> below{folder};
    ServerReply reply;
    reply.kind = Kind::Refused;
    for (;;) {
        const std::size_t slash = below.back().rfind('/');
        if (slash == std::string::npos || slash == 0) return reply;  // none could be made
        const std::string parent = below.back().substr(0, slash);
        reply = madeOrThere(parent);
        if (reply.cut() || reply.ok()) break;
        below.push_back(parent);
    }
    for (auto level = below.rbegin(); level != below.rend() && reply.ok(); ++level) reply = madeOrThere(*level);
    return reply;
}

// A file under the photo's name is this photo only when its bytes are known to be the photo's.
std::string PhotoDelivery::Local(const CardPhoto& photo) const { return settings_.photoRoot + "/" + photo.relative; }

std::optional<PhotoDelivery::Result> PhotoDelivery::AskFinalName(const Names& names, int fd, int64_t size) {
    const ServerReply there = server_.Size(names.remote);
    if (there.kind == Kind::Absent) return std::nullopt;
    if (!there.ok()) return Fail(there);
    bool same = there.size == size && renamedByUs_.count(names.remote) != 0;
    if (!same && there.size == size) {
        const ServerReply compared = server_.Compare(names.remote, fd, size);
        if (!compared.ok()) return Fail(compared);
        same = compared.same;
    }
    ourClaims_.erase(names.claim);
    if (same) {
        LOG_INFO << "Photo " << names.local << " is on the server already as " << names.remote
                 << "; counted as delivered.";
        return Done(DeliveryOutcome::Delivered);
    }
    return Done(DeliveryOutcome::NameTaken, "The server holds another file (" + std::to_string(there.size) +
                                                " bytes, the photo has " + std::to_string(size) + ") under " +
                                                names.remote);
}

// A copy an earlier attempt left is continued, not sent again; `offset` is what the server
// holds of it (0: none, or one larger than the photo).
std::optional<PhotoDelivery::Result> PhotoDelivery::Resume(const Names& names, Claim claim, int64_t size,
                                                           int64_t& offset) {
    offset = 0;
    const ServerReply copy = server_.Size(names.temporary);
    if (copy.kind == Kind::Absent) {
        if (claim == Claim::Ours) {
            // Empty, or never made (a kill between its record and its folder): made again; a
            // refusal says it is there.
            const ServerReply made = server_.MakeFolder(names.claim);
            if (made.cut()) return Fail(made);
        }
        return std::nullopt;
    }
    if (!copy.ok()) return Fail(copy);
    if (copy.size > size) return std::nullopt;  // not this photo's: sent again from byte 0
    offset = copy.size;
    if (offset == 0) return std::nullopt;
    // Appending while the server still takes in an earlier connection's bytes would garble
    // the file: resume only from a copy that holds still.
    if (hooks_.sleep) hooks_.sleep(settings_.settle);
    const ServerReply again = server_.Size(names.temporary);
    if (!again.ok()) return Fail(again);
    if (again.size != offset) {
        return Done(DeliveryOutcome::Refused, "the server is still writing an earlier transfer of it (" +
                                                  std::to_string(offset) + " then " + std::to_string(again.size) +
                                                  " bytes)");
    }
    return std::nullopt;
}

// The whole copy is on the server: checked (a resumed one), renamed into place, confirmed.
PhotoDelivery::Result PhotoDelivery::Place(const Names& names, int fd, int64_t size, bool partial) {
    if (partial) {
        // Never a garbled copy under the photo's name.
        const ServerReply sent = server_.Size(names.temporary);
        if (sent.cut()) return Fail(sent);
        if (!sent.ok() || sent.size != size) {
            return Done(DeliveryOutcome::Refused, "its temporary copy holds " + std::to_string(sent.size) +
                                                      " bytes, not " + std::to_string(size));
        }
    }
    const ServerReply renamed = server_.Rename(names.temporary, names.remote);
    if (!renamed.ok()) {
        // A rename that never replaces (SFTP) refuses when a file arrived under the name.
        if (renamed.kind == Kind::Refused && !server_.RenameReplaces()) {
            if (std::optional<Result> known = AskFinalName(names, fd, size)) return *known;
        }
        return Fail(renamed);
    }
    renamedByUs_.insert(names.remote);
    const ServerReply there = server_.Size(names.remote);
    if (there.cut()) return Fail(there);
    if (!there.ok() || there.size != size) {
        return Done(DeliveryOutcome::Refused,
                    "the server reports " + (there.ok() ? std::to_string(there.size) + " bytes" : std::string("nothing")) +
                        " under " + names.remote + " after the rename, not " + std::to_string(size));
    }
    // The name is taken by the photo itself now: the claim has done its work and stays.
    ourClaims_.erase(names.claim);
    return Done(DeliveryOutcome::Delivered);
}

#include "service/bucket_delivery.h"

#include <utility>

#include "service/photo_layout.h"
#include "utils/logger.h"

namespace {

DeliveryResult Done(DeliveryOutcome outcome, std::string reason = std::string()) {
    DeliveryResult result;
    result.outcome = outcome;
    result.reason = std::move(reason);
    return result;
}

// Answers that say the store does not take our keys or our signature: nothing of this
// account can go until someone fixes the configuration (or the device's clock).
bool KeysRefused(const S3Bucket::Reply& reply) { return reply.kind == S3Bucket::Reply::Kind::Answered && reply.status == 403; }

// Answers that say nothing about this photo: the store is unwell, busy or misconfigured.
bool StoreWide(const S3Bucket::Reply& reply) {
    return reply.status >= 500 || reply.status == 408 || reply.status == 429 || reply.errorCode == "NoSuchBucket" ||
           reply.status == 301 || reply.status == 307;
}

}  // namespace

std::string BucketDelivery::KeyOf(const std::string& remoteFolder, const std::string& relative) {
    std::string key = photo_layout::RemoteName(remoteFolder, relative);
    const size_t first = key.find_first_not_of('/');
    return first == std::string::npos ? std::string() : key.substr(first);
}

BucketDelivery::BucketDelivery(Settings settings, DeliveryHooks hooks, std::function<bool()> keepGoing)
    : settings_(std::move(settings)), hooks_(std::move(hooks)), bucket_(settings_.account, std::move(keepGoing)) {}

DeliveryResult BucketDelivery::FromFailure(const S3Bucket::Reply& reply, const std::string& key) {
    using Kind = S3Bucket::Reply::Kind;
    switch (reply.kind) {
    case Kind::Aborted: return Done(DeliveryOutcome::Aborted, reply.Describe());
    case Kind::LocalError: return Done(DeliveryOutcome::Refused, "cannot read it from the card: " + reply.Describe());
    case Kind::Down: return Done(DeliveryOutcome::ServerDown, reply.Describe());
    case Kind::Answered: break;
    }
    if (KeysRefused(reply)) {
        if (!keysReported_) {
            keysReported_ = true;
            LOG_ERROR << "Photo store " << settings_.account.endpoint << " refuses our keys (403 "
                      << (reply.errorCode.empty() ? std::string("without a reason") : reply.errorCode)
                      << "): check photo_bucket.access_key, photo_bucket.secret_key, photo_bucket.region and the "
                         "device's clock; photos stay on the card.";
        }
        return Done(DeliveryOutcome::ServerDown, "the photo store refuses our keys: " + reply.Describe());
    }
    if (StoreWide(reply)) {
        if (reply.errorCode == "NoSuchBucket" && !keysReported_) {
            keysReported_ = true;
            LOG_ERROR << "Photo store " << settings_.account.endpoint << " has no bucket \"" << settings_.account.bucket
                      << "\" (photo_bucket.bucket); photos stay on the card.";
        }
        return Done(DeliveryOutcome::ServerDown, reply.Describe());
    }
    return Done(DeliveryOutcome::Refused, "the photo store refuses " + key + ": " + reply.Describe());
}

DeliveryResult BucketDelivery::Existing(const S3Bucket::Reply& head, const std::string& key,
                                        const std::string& md5Hex) {
    if (head.answered(200) && head.etag == md5Hex) {
        LOG_INFO << "Photo " << key << " is in the photo store already (same bytes).";
        return Done(DeliveryOutcome::Delivered);
    }
    if (head.answered(200)) {
        return Done(DeliveryOutcome::NameTaken, "another object holds the name " + key + " in the photo store");
    }
    if (head.answered(404)) {
        // Gone again between the two answers: the next try puts it.
        return Done(DeliveryOutcome::Refused, "the object under " + key + " came and went");
    }
    return FromFailure(head, key);
}

bool BucketDelivery::Probe(DeliveryResult& result) {
    const std::string key = KeyOf(settings_.remoteFolder, ".probe." + settings_.mac);
    const std::string bytes = "conditional write probe of " + settings_.mac + "\n";
    for (int round = 0; round < 2; ++round) {
        const S3Bucket::Reply reply = bucket_.PutBytes(key, bytes, true);
        if (reply.answered(412)) {
            probed_ = true;
            return true;
        }
        if (!(reply.kind == S3Bucket::Reply::Kind::Answered && reply.status >= 200 && reply.status < 300)) {
            result = FromFailure(reply, key);
            if (result.outcome != DeliveryOutcome::Refused) return false;
            // A store that refuses the probe's name only: the photos still go, looked at first.
            probed_ = true;
            conditional_ = false;
            LOG_WARN << "Photo store " << settings_.account.endpoint << " refuses the probe " << key << " ("
                     << reply.Describe() << "): each photo is looked at with HEAD before it is sent, and two "
                     << "devices writing the same name at the same moment may replace each other's photo.";
            return true;
        }
    }
    probed_ = true;
    conditional_ = false;
    LOG_WARN << "Photo store " << settings_.account.endpoint << " ignores If-None-Match (a second conditional write "
             << "of " << key << " succeeded): each photo is looked at with HEAD before it is sent, and two devices "
             << "writing the same name at the same moment may replace each other's photo.";
    return true;
}

DeliveryResult BucketDelivery::Deliver(const CardPhoto& photo, int fd, int64_t size) {
    K5_ASSERT_THREAD(bound_);
    DeliveryResult result;
    if (!probed_ && !Probe(result)) return result;
    if (hooks_.pastDeadline && hooks_.pastDeadline()) return Done(DeliveryOutcome::Aborted, "the stop's deadline came");
    S3Bucket::Digests digests;
    if (!S3Bucket::Digest(fd, size, digests)) {
        return Done(DeliveryOutcome::Refused, "cannot read it from the card");
    }
    const std::string key = KeyOf(settings_.remoteFolder, photo.relative);
    if (!conditional_) {
        const S3Bucket::Reply head = bucket_.Head(key);
        if (!head.answered(404)) return Existing(head, key, digests.md5Hex);
    }
    const S3Bucket::Reply put = bucket_.Put(key, fd, size, digests.md5Base64, digests.sha256Hex, true);
    if (put.kind == S3Bucket::Reply::Kind::Answered && put.status >= 200 && put.status < 300) {
        if (put.etag == digests.md5Hex) return Done(DeliveryOutcome::Delivered);
        return Done(DeliveryOutcome::Refused, "the photo store answered " + key + " with the ETag \"" + put.etag +
                                                  "\", not the photo's MD5");
    }
    if (put.answered(412)) return Existing(bucket_.Head(key), key, digests.md5Hex);
    return FromFailure(put, key);
}

#pragma once

#include <functional>
#include <memory>
#include <string>

#include "net/s3.h"
#include "service/photo_delivery.h"
#include "utils/thread_check.h"

// The delivery of photos to a bucket of an S3-compatible object store. An object is never
// replaced: each photo is one conditional PUT (If-None-Match: *, with Content-MD5), delivered
// once the store's ETag is the photo's MD5. A name taken (412) is looked at with HEAD: the
// photo's MD5 there means it was delivered already (a lost answer costs one request, not a
// second upload); anything else moves the photo to the next free second, as on a file server.
//
// Some stores ignore If-None-Match. The first photo of a run finds out: a probe object of this
// device written twice, conditionally; a second write that succeeds means the condition is
// ignored, and from then on every photo is looked at with HEAD before its PUT (one WARN: two
// devices writing the same name at the same moment may then replace each other's photo).
//
// What the store's answers come to: no answer, 5xx, 408/429 and 403 (keys, signature, clock)
// -> ServerDown, with one ERROR a run for refused keys; 404 NoSuchBucket -> ServerDown; any
// other 4xx about this photo -> Refused; a stop -> Aborted. Delivery thread only.
class BucketDelivery : public Delivery {
public:
    struct Settings {
        S3Bucket::Account account;
        std::string remoteFolder;  // the key prefix of this device's photos ("": none)
        std::string mac;           // in the probe's key
    };
    BucketDelivery(Settings settings, DeliveryHooks hooks, std::function<bool()> keepGoing);

    DeliveryResult Deliver(const CardPhoto& photo, int fd, int64_t size) override;
    void Close() override { bucket_.Close(); }

    // Requests sent in this run (benchmarks).
    int64_t requests() const { return bucket_.requests(); }
    // Whether the store was found to honour If-None-Match (meaningful after the first photo).
    bool conditional() const { return conditional_; }

    // The object key of a photo: its path on a file server, without the leading slash.
    static std::string KeyOf(const std::string& remoteFolder, const std::string& relative);

private:
    // False (and `result` set) when the store could not be probed.
    bool Probe(DeliveryResult& result);
    DeliveryResult FromFailure(const S3Bucket::Reply& reply, const std::string& key);
    // What an object already under `key` says: delivered when it is the photo's bytes.
    DeliveryResult Existing(const S3Bucket::Reply& head, const std::string& key, const std::string& md5Hex);

    const Settings settings_;
    const DeliveryHooks hooks_;
    S3Bucket bucket_;
    bool probed_ = false;
    bool conditional_ = true;
    bool keysReported_ = false;  // the one ERROR of a run about refused keys
    ThreadBound bound_;
};

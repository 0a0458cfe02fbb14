#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// Requests to one bucket of an S3-compatible object store (AWS, Ceph's RADOS Gateway, ...):
// objects addressed path-style (<endpoint>/<bucket>/<key>), every request signed with
// libcurl's own AWS Signature V4, TLS verified against the system's store or `caFile`.
//
// One libcurl handle serves every request until Close(), so one kept-alive connection (one
// TLS handshake) carries a whole backlog. The host's name is resolved by ResolveName (a stop
// cuts the wait), the addresses handed to libcurl. Bounds as for FTP: the connect timeout,
// and a transfer that moves less than 1 kB/s for 30 s is cut.
//
// Thread rule: an object belongs to the thread that created it; every method, the destructor
// and `keepGoing` run on that thread.
class S3Bucket {
public:
    struct Account {
        std::string endpoint;  // "https://host[:port]" (or http://)
        std::string bucket;
        std::string region;
        std::string accessKey;
        std::string secretKey;
        std::string caFile;  // "": the system's store
    };
    struct Reply {
        enum class Kind {
            Answered,   // the store answered: `status` says what
            Down,       // no answer: unreachable, untrusted, timed out, stalled, dropped
            Aborted,    // keepGoing said stop
            LocalError  // the photo could not be read
        };
        Kind kind = Kind::Down;
        long status = 0;         // the HTTP status
        std::string etag;        // the ETag header, quotes stripped, lower case
        std::string errorCode;   // the <Code> of an error body ("SignatureDoesNotMatch", ...)
        std::string text;        // libcurl's or the store's own words, for log lines
        bool answered(long code) const { return kind == Kind::Answered && status == code; }
        // "<text> (HTTP <status> <code>)".
        std::string Describe() const;
    };

    // `keepGoing` is asked several times a second while a request runs; false cuts it.
    S3Bucket(Account account, std::function<bool()> keepGoing);
    ~S3Bucket();
    S3Bucket(const S3Bucket&) = delete;
    S3Bucket& operator=(const S3Bucket&) = delete;

    // PUT of the `size` bytes of `fd` as `key`, with the body's digests (Content-MD5 in base
    // 64, x-amz-content-sha256 in hex); `ifNoneMatch`: only where no object holds the key.
    Reply Put(const std::string& key, int fd, int64_t size, const std::string& md5Base64,
              const std::string& sha256Hex, bool ifNoneMatch);
    Reply PutBytes(const std::string& key, const std::string& bytes, bool ifNoneMatch);
    Reply Head(const std::string& key);
    // Ends the connection; the next request opens a new one.
    void Close();

    // Requests sent since construction (benchmarks).
    int64_t requests() const { return requests_; }

    // The digests of the `size` bytes of `fd`: MD5 (hex and base 64) and SHA-256 (hex).
    // False when the bytes could not be read.
    struct Digests {
        std::string md5Hex, md5Base64, sha256Hex;
    };
    static bool Digest(int fd, int64_t size, Digests& digests);
    static Digests DigestOf(const std::string& bytes);

private:
    struct Body;
    Reply Perform(const std::string& method, const std::string& key, Body* body, const std::string& md5Base64,
                  const std::string& sha256Hex, bool ifNoneMatch);
    bool Prepare(Reply& failure);

    const Account account_;
    const std::function<bool()> keepGoing_;
    std::unique_ptr<void, void (*)(void*)> curl_;
    std::string host_;  // the endpoint's host name ("" for a numeric address)
    int port_ = 0;
    std::string resolved_;  // the CURLOPT_RESOLVE entry ("" until resolved)
    int64_t requests_ = 0;
};

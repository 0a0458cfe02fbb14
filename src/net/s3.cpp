#include "net/s3.h"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <vector>

#include "net/ftp.h"
#include "net/resolve.h"

namespace {

using CurlList = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;

// Keys stay readable in the URL: only what a path segment cannot hold is escaped, in the
// upper-case hex that the signature's canonical form expects.
std::string EscapeKey(const std::string& key) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : key) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

std::string Hex(const unsigned char* bytes, unsigned length) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < length; ++i) {
        out += kHex[bytes[i] >> 4];
        out += kHex[bytes[i] & 15];
    }
    return out;
}

std::string Base64(const unsigned char* bytes, unsigned length) {
    std::vector<unsigned char> out(4 * ((length + 2) / 3) + 1);
    const int written = EVP_EncodeBlock(out.data(), bytes, static_cast<int>(length));
    return std::string(reinterpret_cast<const char*>(out.data()), static_cast<size_t>(std::max(written, 0)));
}

// The text between <Code> and </Code> of an S3 error body.
std::string ErrorCode(const std::string& body) {
    const size_t start = body.find("<Code>");
    if (start == std::string::npos) return std::string();
    const size_t end = body.find("</Code>", start);
    if (end == std::string::npos) return std::string();
    return body.substr(start + 6, end - start - 6);
}

constexpr size_t kErrorBodyLimit = 16 * 1024;
constexpr std::chrono::milliseconds kAskEvery{200};

}  // namespace

struct S3Bucket::Body {
    int fd = -1;                          // the photo, or
    const std::string* bytes = nullptr;   // bytes in memory
    int64_t size = 0;
    int64_t offset = 0;
    bool readFailed = false;
    // What came back.
    std::string etag;
    std::string errorBody;
    const std::function<bool()>* keepGoing = nullptr;
    std::chrono::steady_clock::time_point lastAsked{};
};

std::string S3Bucket::Reply::Describe() const {
    std::string described = text.empty() ? std::string("no reason given") : text;
    if (kind == Kind::Answered) {
        described += " (HTTP " + std::to_string(status) + (errorCode.empty() ? "" : " " + errorCode) + ")";
    }
    return described;
}

S3Bucket::S3Bucket(Account account, std::function<bool()> keepGoing)
    : account_(std::move(account)), keepGoing_(std::move(keepGoing)), curl_(nullptr, [](void* handle) {
          if (handle != nullptr) curl_easy_cleanup(handle);
      }) {
    CURLU* url = curl_url();
    if (url != nullptr && curl_url_set(url, CURLUPART_URL, account_.endpoint.c_str(), 0) == CURLUE_OK) {
        char* host = nullptr;
        char* port = nullptr;
        if (curl_url_get(url, CURLUPART_HOST, &host, 0) == CURLUE_OK && host != nullptr) host_ = host;
        if (curl_url_get(url, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK && port != nullptr) {
            port_ = std::atoi(port);
        }
        curl_free(host);
        curl_free(port);
    }
    if (url != nullptr) curl_url_cleanup(url);
    if (!host_.empty() && (host_[0] == '[' || IsNumericAddress(host_))) host_.clear();  // nothing to resolve
}

S3Bucket::~S3Bucket() = default;

void S3Bucket::Close() { curl_.reset(); }

bool S3Bucket::Digest(int fd, int64_t size, Digests& digests) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> md5(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> sha(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!md5 || !sha || EVP_DigestInit_ex(md5.get(), EVP_md5(), nullptr) != 1 ||
        EVP_DigestInit_ex(sha.get(), EVP_sha256(), nullptr) != 1) {
        return false;
    }
    std::vector<char> buffer(64 * 1024);
    for (int64_t done = 0; done < size;) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(buffer.size()), size - done));
        const ssize_t got = ::pread(fd, buffer.data(), want, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        EVP_DigestUpdate(md5.get(), buffer.data(), static_cast<size_t>(got));
        EVP_DigestUpdate(sha.get(), buffer.data(), static_cast<size_t>(got));
        done += got;
    }
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (EVP_DigestFinal_ex(md5.get(), out, &length) != 1) return false;
    digests.md5Hex = Hex(out, length);
    digests.md5Base64 = Base64(out, length);
    if (EVP_DigestFinal_ex(sha.get(), out, &length) != 1) return false;
    digests.sha256Hex = Hex(out, length);
    return true;
}

S3Bucket::Digests S3Bucket::DigestOf(const std::string& bytes) {
    Digests digests;
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_Digest(bytes.data(), bytes.size(), out, &length, EVP_md5(), nullptr);
    digests.md5Hex = Hex(out, length);
    digests.md5Base64 = Base64(out, length);
    EVP_Digest(bytes.data(), bytes.size(), out, &length, EVP_sha256(), nullptr);
    digests.sha256Hex = Hex(out, length);
    return digests;
}

S3Bucket::Reply S3Bucket::Put(const std::string& key, int fd, int64_t size, const std::string& md5Base64,
                              const std::string& sha256Hex, bool ifNoneMatch) {
    Body body;
    body.fd = fd;
    body.size = size;
    return Perform("PUT", key, &body, md5Base64, sha256Hex, ifNoneMatch);
}

S3Bucket::Reply S3Bucket::PutBytes(const std::string& key, const std::string& bytes, bool ifNoneMatch) {
    Body body;
    body.bytes = &bytes;
    body.size = static_cast<int64_t>(bytes.size());
    const Digests digests = DigestOf(bytes);
    return Perform("PUT", key, &body, digests.md5Base64, digests.sha256Hex, ifNoneMatch);
}

S3Bucket::Reply S3Bucket::Head(const std::string& key) {
    Body body;
    // The SHA-256 of the empty body.
    return Perform("HEAD", key, &body, std::string(),
                   "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", false);
}

bool S3Bucket::Prepare(Reply& failure) {
    if (!curl_) {
        curl_.reset(curl_easy_init());
        if (!curl_) {
            failure.kind = Reply::Kind::Down;
            failure.text = "no libcurl handle";
            return false;
        }
    }
    if (!host_.empty() && resolved_.empty()) {
        const Resolution found = ResolveName(host_, std::chrono::seconds(FTPClient::kConnectTimeout), keepGoing_);
        if (!found.ok()) {
            failure.kind = found.kind == Resolution::Kind::Stopped ? Reply::Kind::Aborted : Reply::Kind::Down;
            failure.text = found.message;
            return false;
        }
        resolved_ = ResolveEntry(host_, port_, found.addresses);
    }
    return true;
}

S3Bucket::Reply S3Bucket::Perform(const std::string& method, const std::string& key, Body* body,
                                  const std::string& md5Base64, const std::string& sha256Hex, bool ifNoneMatch) {
    Reply reply;
    if (!Prepare(reply)) return reply;
    CURL* curl = curl_.get();
    // A reset keeps the handle's connection (and TLS session) for the next request.
    curl_easy_reset(curl);

    std::string base = account_.endpoint;
    while (!base.empty() && base.back() == '/') base.pop_back();
    const std::string url = base + "/" + account_.bucket + "/" + EscapeKey(key);
    CurlList resolve(nullptr, curl_slist_free_all);
    if (!resolved_.empty()) resolve.reset(curl_slist_append(nullptr, resolved_.c_str()));
    CurlList headers(nullptr, curl_slist_free_all);
    std::vector<std::string> lines{"x-amz-content-sha256: " + sha256Hex};
    if (!md5Base64.empty()) lines.push_back("Content-MD5: " + md5Base64);
    if (ifNoneMatch) lines.push_back("If-None-Match: *");
    for (const std::string& line : lines) {
        curl_slist* grown = curl_slist_append(headers.get(), line.c_str());
        if (grown == nullptr) {
            reply.text = "out of memory";
            return reply;
        }
        headers.release();
        headers.reset(grown);
    }
    const std::string sigv4 = "aws:amz:" + account_.region + ":s3";
    char error[CURL_ERROR_SIZE] = {};

    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    if (resolve) curl_easy_setopt(curl, CURLOPT_RESOLVE, resolve.get());
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(FTPClient::kConnectTimeout));
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, static_cast<long>(FTPClient::kTransferTimeout));
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, FTPClient::kLowSpeedLimit);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, FTPClient::kLowSpeedTime);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!account_.caFile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, account_.caFile.c_str());
    curl_easy_setopt(curl, CURLOPT_AWS_SIGV4, sigv4.c_str());
    curl_easy_setopt(curl, CURLOPT_USERNAME, account_.accessKey.c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, account_.secretKey.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());

    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION,
                     +[](char* data, size_t size, size_t count, void* user) -> size_t {
                         auto* into = static_cast<Body*>(user);
                         const std::string line(data, size * count);
                         if (line.rfind("HTTP/", 0) == 0) into->etag.clear();  // a new response (100 first)
                         if (line.size() > 5 && ::strncasecmp(line.c_str(), "etag:", 5) == 0) {
                             std::string value = line.substr(5);
                             value.erase(std::remove_if(value.begin(), value.end(),
                                                        [](char c) { return c == '"' || std::isspace(
                                                                                            static_cast<unsigned char>(c)); }),
                                         value.end());
                             std::transform(value.begin(), value.end(), value.begin(),
                                            [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
                             into->etag = value;
                         }
                         return size * count;
                     });
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, body);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t count, void* user) -> size_t {
        auto* into = static_cast<Body*>(user);
        const size_t length = size * count;
        if (into->errorBody.size() < kErrorBodyLimit) {
            into->errorBody.append(data, std::min(length, kErrorBodyLimit - into->errorBody.size()));
        }
        return length;
    });
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, body);
    body->keepGoing = &keepGoing_;
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION,
                     +[](void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) -> int {
                         auto* state = static_cast<Body*>(user);
                         const auto now = std::chrono::steady_clock::now();
                         if (now - state->lastAsked < kAskEvery || !*state->keepGoing) return 0;
                         state->lastAsked = now;
                         return (*state->keepGoing)() ? 0 : 1;
                     });
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, body);

    if (method == "HEAD") {
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    } else {
        curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
        // libcurl asks for "100 Continue" before a PUT's body; waiting for it costs a round trip
        // a photo. The header itself stays (removing it breaks libcurl's signature).
        curl_easy_setopt(curl, CURLOPT_EXPECT_100_TIMEOUT_MS, 0L);
        curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(body->size));
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, +[](char* into, size_t size, size_t count, void* user) -> size_t {
            auto* state = static_cast<Body*>(user);
            const int64_t left = state->size - state->offset;
            const size_t want = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(size * count), left));
            if (want == 0) return 0;
            if (state->bytes != nullptr) {
                state->bytes->copy(into, want, static_cast<size_t>(state->offset));
                state->offset += static_cast<int64_t>(want);
                return want;
            }
            ssize_t got = 0;
            do {
                got = ::pread(state->fd, into, want, static_cast<off_t>(state->offset));
            } while (got < 0 && errno == EINTR);
            if (got <= 0) {
                state->readFailed = true;
                return CURL_READFUNC_ABORT;
            }
            state->offset += got;
            return static_cast<size_t>(got);
        });
        curl_easy_setopt(curl, CURLOPT_READDATA, body);
        // A request sent again (a kept-alive connection the store had closed) starts over.
        curl_easy_setopt(curl, CURLOPT_SEEKFUNCTION, +[](void* user, curl_off_t offset, int origin) -> int {
            auto* state = static_cast<Body*>(user);
            if (origin != SEEK_SET || offset < 0 || offset > state->size) return CURL_SEEKFUNC_CANTSEEK;
            state->offset = offset;
            return CURL_SEEKFUNC_OK;
        });
        curl_easy_setopt(curl, CURLOPT_SEEKDATA, body);
    }

    ++requests_;
    const CURLcode code = curl_easy_perform(curl);
    if (code == CURLE_OK) {
        reply.kind = Reply::Kind::Answered;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
        reply.etag = body->etag;
        reply.errorCode = ErrorCode(body->errorBody);
        reply.text = reply.status >= 200 && reply.status < 300 ? "OK" : "the store refused " + method + " " + key;
        return reply;
    }
    reply.kind = code == CURLE_ABORTED_BY_CALLBACK ? Reply::Kind::Aborted
                 : body->readFailed                ? Reply::Kind::LocalError
                                                   : Reply::Kind::Down;
    reply.text = std::string(curl_easy_strerror(code)) + (error[0] != '\0' ? std::string(": ") + error : "");
    if (code == CURLE_COULDNT_CONNECT) resolved_.clear();  // the name may point elsewhere now
    Close();  // whatever the connection was in the middle of, the next request starts afresh
    return reply;
}

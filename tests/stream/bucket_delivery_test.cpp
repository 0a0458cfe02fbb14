// The bucket delivery's decisions, against an in-process HTTP stand-in whose answers each row
// picks: a store that ignores If-None-Match (found by the probe, then HEAD before every PUT),
// and what each kind of answer comes to. The real store's scenarios are photo_bucket_test's.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "process.h"
#include "service/bucket_delivery.h"
#include "stream_support.h"

namespace {

struct Request {
    std::string method, path, body;
    bool ifNoneMatch = false;
};
struct Answer {
    int status = 200;
    std::string etag;  // "" : none
    std::string body;
};

// One connection at a time, requests answered in order by `answer`.
class HttpStandIn {
public:
    explicit HttpStandIn(std::function<Answer(const Request&)> answer) : answer_(std::move(answer)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        ::listen(listener_, 4);
        socklen_t length = sizeof(address);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~HttpStandIn() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    int port() const { return port_; }
    std::vector<std::string> log() {
        std::lock_guard<std::mutex> lock(mutex_);
        return log_;
    }

private:
    void Serve() {
        while (!stop_) {
            pollfd ready{listener_, POLLIN, 0};
            if (::poll(&ready, 1, 50) <= 0) continue;
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            std::string pending;
            while (!stop_) {
                size_t end = pending.find("\r\n\r\n");
                if (end == std::string::npos) {
                    pollfd in{client, POLLIN, 0};
                    if (::poll(&in, 1, 50) == 0) continue;
                    char buffer[65536];
                    const ssize_t n = ::recv(client, buffer, sizeof(buffer), 0);
                    if (n <= 0) break;
                    pending.append(buffer, static_cast<size_t>(n));
                    continue;
                }
                const std::string head = pending.substr(0, end);
                Request request;
                request.method = head.substr(0, head.find(' '));
                request.path = head.substr(head.find(' ') + 1, head.find(' ', head.find(' ') + 1) - head.find(' ') - 1);
                request.ifNoneMatch = head.find("If-None-Match: *") != std::string::npos;
                size_t length = 0;
                const size_t at = head.find("Content-Length: ");
                if (at != std::string::npos) length = std::stoul(head.substr(at + 16));
                while (pending.size() < end + 4 + length) {
                    char buffer[65536];
                    const ssize_t n = ::recv(client, buffer, sizeof(buffer), 0);
                    if (n <= 0) break;
                    pending.append(buffer, static_cast<size_t>(n));
                }
                request.body = pending.substr(end + 4, length);
                pending.erase(0, end + 4 + length);
                const Answer answer = answer_(request);
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    log_.push_back(request.method + " " + request.path);
                }
                std::string reply = "HTTP/1.1 " + std::to_string(answer.status) + " X\r\n";
                if (!answer.etag.empty()) reply += "ETag: \"" + answer.etag + "\"\r\n";
                reply += "Content-Length: " + std::to_string(request.method == "HEAD" ? 0 : answer.body.size()) +
                         "\r\n\r\n" + (request.method == "HEAD" ? "" : answer.body);
                ::send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
            }
            ::close(client);
        }
    }

    std::function<Answer(const Request&)> answer_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> log_;
};

std::string Error(const std::string& code) { return "<Error><Code>" + code + "</Code></Error>"; }

class BucketDeliveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fixture::MakeTempDir("bucket-delivery-");
        tap_ = std::make_unique<streamtest::StderrTap>();
    }
    void TearDown() override {
        tap_.reset();
        fixture::RemoveTree(dir_);
    }
    DeliveryResult Deliver(BucketDelivery& delivery, const std::string& relative, const std::string& bytes) {
        const std::string file = dir_ + "/photo.jpg";
        fixture::WriteFile(file, bytes);
        const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        CardPhoto photo;
        CardPhoto::Parse(relative, photo);
        const DeliveryResult result = delivery.Deliver(photo, fd, static_cast<int64_t>(bytes.size()));
        ::close(fd);
        return result;
    }
    BucketDelivery::Settings Settings(int port) const {
        BucketDelivery::Settings settings;
        settings.account = S3Bucket::Account{"http://127.0.0.1:" + std::to_string(port), "photos", "us-east-1",
                                             "AK", "SK", ""};
        settings.mac = "0a1b2c3d4e5f";
        return settings;
    }
    std::string dir_;
    std::unique_ptr<streamtest::StderrTap> tap_;
};

// A store that takes every PUT, conditional or not, and keeps what it got.
TEST_F(BucketDeliveryTest, AStoreThatIgnoresTheConditionIsAskedFirst) {
    std::mutex mutex;
    std::map<std::string, std::string> objects{{"/photos/photo/2030/1/1/1893456010_1.jpg", "other bytes"},
                                               {"/photos/photo/2030/1/1/1893456020_1.jpg", "same bytes"}};
    HttpStandIn store([&](const Request& request) {
        std::lock_guard<std::mutex> lock(mutex);
        Answer answer;
        if (request.method == "PUT") {
            objects[request.path] = request.body;
        } else if (objects.count(request.path) == 0) {
            answer.status = 404;
            return answer;
        }
        answer.etag = S3Bucket::DigestOf(objects[request.path]).md5Hex;
        return answer;
    });
    BucketDelivery delivery(Settings(store.port()), DeliveryHooks(), nullptr);
    EXPECT_EQ(Deliver(delivery, "2030/1/1/1893456000_1.jpg", "new bytes").outcome, DeliveryOutcome::Delivered);
    EXPECT_FALSE(delivery.conditional());
    EXPECT_EQ(Deliver(delivery, "2030/1/1/1893456010_1.jpg", "mine").outcome, DeliveryOutcome::NameTaken);
    EXPECT_EQ(Deliver(delivery, "2030/1/1/1893456020_1.jpg", "same bytes").outcome, DeliveryOutcome::Delivered);
    const std::vector<std::string> expected{
        "PUT /photos/photo/.probe.0a1b2c3d4e5f", "PUT /photos/photo/.probe.0a1b2c3d4e5f",
        "HEAD /photos/photo/2030/1/1/1893456000_1.jpg", "PUT /photos/photo/2030/1/1/1893456000_1.jpg",
        "HEAD /photos/photo/2030/1/1/1893456010_1.jpg", "HEAD /photos/photo/2030/1/1/1893456020_1.jpg"};
    EXPECT_EQ(store.log(), expected);
    EXPECT_EQ(objects["/photos/photo/2030/1/1/1893456010_1.jpg"], "other bytes");
    EXPECT_EQ(tap_->count("ignores If-None-Match"), 1) << tap_->text();
}

// What the store's answer to a photo's PUT comes to (the probe answered 412: it holds).
TEST_F(BucketDeliveryTest, EachAnswerAndWhatItComesTo) {
    struct Row {
        Answer put;
        DeliveryOutcome outcome;
    };
    const Row rows[] = {
        {{200, "", ""}, DeliveryOutcome::Refused},  // no ETag: not known to hold the photo
        {{200, "0123456789abcdef0123456789abcdef", ""}, DeliveryOutcome::Refused},
        {{500, "", Error("InternalError")}, DeliveryOutcome::ServerDown},
        {{503, "", Error("SlowDown")}, DeliveryOutcome::ServerDown},
        {{429, "", ""}, DeliveryOutcome::ServerDown},
        {{403, "", Error("SignatureDoesNotMatch")}, DeliveryOutcome::ServerDown},
        {{403, "", Error("InvalidAccessKeyId")}, DeliveryOutcome::ServerDown},
        {{404, "", Error("NoSuchBucket")}, DeliveryOutcome::ServerDown},
        {{400, "", Error("XAmzContentSHA256Mismatch")}, DeliveryOutcome::Refused},
        {{400, "", Error("InvalidDigest")}, DeliveryOutcome::Refused},
        {{413, "", Error("EntityTooLarge")}, DeliveryOutcome::Refused},
    };
    for (const Row& row : rows) {
        HttpStandIn store([&](const Request& request) {
            if (request.path.find(".probe.") != std::string::npos) return Answer{412, "", Error("PreconditionFailed")};
            return row.put;
        });
        BucketDelivery delivery(Settings(store.port()), DeliveryHooks(), nullptr);
        const DeliveryResult result = Deliver(delivery, "2030/1/1/1893456000_1.jpg", "photo");
        EXPECT_EQ(result.outcome, row.outcome) << row.put.status << " " << row.put.body << ": " << result.reason;
        EXPECT_TRUE(delivery.conditional());
    }
    // Refused keys: one ERROR a run however often they are refused (with the row's run: two).
    HttpStandIn store([&](const Request&) { return Answer{403, "", Error("SignatureDoesNotMatch")}; });
    BucketDelivery delivery(Settings(store.port()), DeliveryHooks(), nullptr);
    for (int i = 0; i < 3; ++i) Deliver(delivery, "2030/1/1/1893456000_1.jpg", "photo");
    EXPECT_EQ(tap_->count("refuses our keys (403 SignatureDoesNotMatch)"), 2) << tap_->text();
}

}  // namespace

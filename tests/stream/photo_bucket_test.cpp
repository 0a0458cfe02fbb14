// Photos to a real S3 store, Ceph's RADOS Gateway on loopback in a network namespace of this
// test's own, through the daemon's own delivery (a PhotoStore with photo_bucket settings): a
// backlog delivered with each name's conditional PUT, names taken by other or by the same bytes,
// refused keys, a gateway killed mid-transfer and a stop during a PUT.

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <memory>
#include <vector>

#include "pki.h"
#include "rados_gateway.h"
#include "service/bucket_delivery.h"
#include "service/photo_layout.h"
#include "service/photo_store.h"
#include "stream_support.h"

using namespace streamtest;

namespace {

const std::string kMac = "0a1b2c3d4e5f";
const std::string kFolder = "fleet/" + kMac;  // photo_bucket.folder "fleet/{mac}"

std::string Bytes(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 9)) & 0xff);
    return "\xFF\xD8" + bytes.substr(4) + "\xFF\xD9";
}

bool RunTool(const std::vector<std::string>& argv) {
    fixture::Process step(argv, "/dev/null");
    int status = 0;
    return step.wait(std::chrono::seconds(30), &status) && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class PhotoBucketTest : public ::testing::Test {
protected:
    void SetUp() override {
        try {
            gateway_ = std::make_unique<fixture::RadosGateway>();
        } catch (const std::exception& error) {
            // Only where the packages are missing; anything else is a failure.
            if (!fixture::RadosGateway::Missing().empty()) GTEST_SKIP() << error.what();
            FAIL() << error.what();
        }
        dir_ = fixture::MakeTempDir("photo-bucket-");
        sd_ = dir_ + "/sd";
        ::mkdir(sd_.c_str(), 0700);
        tap_ = std::make_unique<StderrTap>();
    }
    void TearDown() override {
        tap_.reset();
        if (!dir_.empty()) fixture::RemoveTree(dir_);
        gateway_.reset();
    }

    PhotoStore::Settings Settings() const {
        PhotoStore::Settings settings;
        settings.sdFolder = sd_;
        settings.minFreeBytes = 0;
        settings.ftpHost = "127.0.0.1";  // required, never used once there is a bucket
        settings.ftpPort = 1;
        settings.mac = kMac;
        settings.firstRetry = std::chrono::seconds(1);
        settings.maxRetry = std::chrono::seconds(2);
        settings.bucket = S3Bucket::Account{gateway_->endpoint(), gateway_->bucket(), gateway_->region(),
                                            gateway_->accessKey(), gateway_->secretKey(), ""};
        settings.bucketFolder = kFolder;
        return settings;
    }
    // A photo of an earlier run on the card, waiting: its path below photo/.
    std::string Waiting(int64_t seconds, const std::string& bytes) const {
        const std::string relative = photo_layout::Relative(photo_layout::DayOf(seconds), seconds, 1);
        const std::string marker = photo_layout::MarkerPath(relative);
        RunTool({"mkdir", "-p", sd_ + "/photo/" + relative.substr(0, relative.rfind('/')),
                 sd_ + "/photo/.pending/" + marker.substr(0, marker.rfind('/'))});
        fixture::WriteFile(sd_ + "/photo/" + relative, bytes);
        fixture::WriteFile(sd_ + "/photo/.pending/" + marker, "");
        return relative;
    }
    bool Pending(const std::string& relative) const {
        struct stat info {};
        return ::stat((sd_ + "/photo/.pending/" + photo_layout::MarkerPath(relative)).c_str(), &info) == 0;
    }
    static std::string Key(const std::string& relative) { return BucketDelivery::KeyOf(kFolder, relative); }
    std::shared_ptr<PhotoStore> Start(const PhotoStore::Settings& settings) {
        auto store = std::make_shared<PhotoStore>("PhotoStore", nullptr, settings);
        store->start();
        return store;
    }
    std::unique_ptr<fixture::RadosGateway> gateway_;
    std::string dir_, sd_;
    std::unique_ptr<StderrTap> tap_;
};

const int64_t kDay = 1893456000;  // 2030-01-01

// A backlog of three: a free name, a name taken by other bytes (the photo moves to the next free
// second, the other object stays), a name that holds this photo already (delivered at no upload).
TEST_F(PhotoBucketTest, DeliversWithoutReplacingAnything) {
    const std::string fresh = Bytes(120000, 1), taken = Bytes(50000, 2), same = Bytes(70000, 3);
    const std::string a = Waiting(kDay, fresh), b = Waiting(kDay + 10, taken), c = Waiting(kDay + 20, same);
    const std::string other = "someone else's object";
    ASSERT_EQ(gateway_->Put(Key(b), other), 200);
    ASSERT_EQ(gateway_->Put(Key(c), same), 200);
    const int putsBefore = gateway_->Requests("PUT");

    // By name: the lookup is the delivery's own, the addresses handed to libcurl.
    PhotoStore::Settings settings = Settings();
    settings.bucket.endpoint = "http://localhost:" + std::to_string(gateway_->port());
    auto store = Start(settings);
    const std::string moved = photo_layout::Relative(photo_layout::DayOf(kDay + 11), kDay + 11, 1);
    EXPECT_TRUE(fixture::WaitFor([&] { return !Pending(a) && !Pending(c) && !Pending(b) && !Pending(moved) &&
                                              gateway_->Get(Key(moved)) == taken; },
                                 std::chrono::seconds(60)))
        << tap_->text();
    store->Shutdown();

    EXPECT_TRUE(gateway_->Get(Key(a)) == fresh) << "object of " << a;
    EXPECT_TRUE(gateway_->Get(Key(b)) == other) << "object of " << b;  // never replaced
    EXPECT_TRUE(gateway_->Get(Key(c)) == same) << "object of " << c;
    EXPECT_TRUE(gateway_->Get(Key(moved)) == taken) << "object of " << moved;
    struct stat info {};
    EXPECT_EQ(::stat((sd_ + "/photo/" + moved).c_str(), &info), 0);
    // The probe (a fresh bucket: written, then refused), a PUT for each photo, the moved one's
    // second PUT; the one whose bytes were there already cost no upload.
    EXPECT_EQ(gateway_->Requests("PUT") - putsBefore, 2 + 3 + 1);
    EXPECT_EQ(gateway_->Requests("HEAD"), 2);  // after each 412
    EXPECT_EQ(tap_->count("ignores If-None-Match"), 0);
}

// Keys the store refuses: the photos stay on the card and are tried again, one ERROR a run.
TEST_F(PhotoBucketTest, RefusedKeysKeepThePhotos) {
    const std::string a = Waiting(kDay, Bytes(30000, 4)), b = Waiting(kDay + 1, Bytes(30000, 5));
    PhotoStore::Settings settings = Settings();
    settings.bucket.secretKey = "not-the-secret";
    auto store = Start(settings);
    // Refused, waited for, refused again.
    EXPECT_TRUE(fixture::WaitFor([&] { return gateway_->Requests("PUT") >= 3; }, std::chrono::seconds(60)));
    store->Shutdown();
    EXPECT_TRUE(Pending(a));
    EXPECT_TRUE(Pending(b));
    long status = 0;
    gateway_->Get(Key(a), &status);
    EXPECT_EQ(status, 404);
    EXPECT_EQ(tap_->count("refuses our keys (403 SignatureDoesNotMatch)"), 1) << tap_->text();
    EXPECT_EQ(tap_->count("not-the-secret"), 0);
}

// Over TLS the store must prove itself: against photo_bucket.ca_file the photo goes, against the
// system's store (which does not know the test's CA) it stays on the card.
TEST_F(PhotoBucketTest, TlsIsVerified) {
    fixture::TestPki pki;
    const fixture::TestPki::Issued issued = pki.Issue("127.0.0.1", "IP:127.0.0.1");
    gateway_.reset();
    gateway_ = std::make_unique<fixture::RadosGateway>(issued.certFile, issued.keyFile);
    const std::string a = Waiting(kDay, Bytes(40000, 8));
    PhotoStore::Settings untrusted = Settings();
    ASSERT_EQ(untrusted.bucket.endpoint.rfind("https://", 0), 0u);
    auto store = Start(untrusted);
    EXPECT_TRUE(tap_->waitFor("The photo server cannot be reached (", std::chrono::seconds(30)));
    store->Shutdown();
    EXPECT_TRUE(Pending(a));
    EXPECT_EQ(gateway_->Requests("PUT"), 1);  // the fixture's bucket: nothing of ours got through

    PhotoStore::Settings trusted = Settings();
    trusted.bucket.caFile = pki.caFile();
    store = Start(trusted);
    EXPECT_TRUE(fixture::WaitFor([&] { return !Pending(a); }, std::chrono::seconds(30))) << tap_->text();
    store->Shutdown();
    EXPECT_TRUE(gateway_->Get(Key(a)) == Bytes(40000, 8));
}

// A link slowed down to ~1 MB/s: the gateway killed during a PUT (the photo is sent again whole
// once it is back), then a stop during the next PUT (the photo stays waiting, nothing half there).
TEST_F(PhotoBucketTest, CutTransfersLeaveNothingHalfDone) {
    ASSERT_TRUE(RunTool({"tc", "qdisc", "add", "dev", "lo", "root", "tbf", "rate", "8mbit", "burst", "256kb",
                     "latency", "2s"}));
    const std::string first = Bytes(3000000, 6);
    const std::string a = Waiting(kDay, first);
    const int begun = gateway_->Begun();
    auto store = Start(Settings());
    // The probe's two PUTs, then the photo's.
    ASSERT_TRUE(fixture::WaitFor([&] { return gateway_->Begun() >= begun + 3; }, std::chrono::seconds(30)));
    gateway_->KillGateway();
    long status = 0;
    gateway_->Get(Key(a), &status);
    EXPECT_NE(status, 200);
    gateway_->StartGateway();
    EXPECT_TRUE(fixture::WaitFor([&] { return !Pending(a); }, std::chrono::seconds(90))) << tap_->text();
    EXPECT_TRUE(gateway_->Get(Key(a)) == first) << "object of " << a;

    store->Shutdown();
    const std::string second = Waiting(kDay + 5, Bytes(6000000, 7));  // the next run's backlog
    auto next = Start(Settings());
    // The probe (refused now: it is there), then the photo's PUT.
    const int again = gateway_->Begun();
    ASSERT_TRUE(fixture::WaitFor([&] { return gateway_->Begun() >= again + 2; }, std::chrono::seconds(30)));
    const auto stopAt = std::chrono::steady_clock::now();
    next->Shutdown(stopAt + std::chrono::milliseconds(200));
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::seconds(20));
    EXPECT_TRUE(Pending(second));
    gateway_->Get(Key(second), &status);
    EXPECT_EQ(status, 404);
    RunTool({"tc", "qdisc", "del", "dev", "lo", "root"});
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // The cluster's daemons take ports of their own choosing: in a network namespace of this
    // test's own they meet nothing else, and the link can be slowed down.
    if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
    if (::unshare(CLONE_NEWNET) != 0 || !RunTool({"ip", "link", "set", "lo", "up"})) {
        std::fprintf(stderr, "photo_bucket_test needs root for a network namespace of its own\n");
        return 1;
    }
    return RUN_ALL_TESTS();
}

// The steps of one photo's delivery and the queue's waits, against an in-memory photo server
// that answers like the FTP servers in the field: it can race a second device, refuse, drop
// the session, stall, grow a partial copy and lie about a size. One row per branch; the real
// servers' scenarios are in photo_store_test.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "process.h"
#include "service/delivery_queue.h"
#include "service/photo_layout.h"
#include "service/photo_store.h"
#include "utils/shell.h"
#include "service/photo_delivery.h"

namespace {

using Kind = ServerReply::Kind;

class FakeServer : public PhotoServer {
public:
    std::map<std::string, std::string> files;
    std::set<std::string> folders{"", "/photo"};
    bool claims = true;
    bool makesFolders = true;
    bool refusesDotNames = false;
    bool digests = true;           // Compare without a download
    std::map<std::string, Kind> failNext;  // "<op> <path>" -> the reply of its next call
    std::function<void(const std::string& op, const std::string& path)> before;  // a second device
    int64_t growBy = 0;            // a partial copy still being written grows by this per Size
    int64_t liesAboutSize = 0;     // added to every size of a final name after a rename
    std::vector<std::string> log;

    bool NeedsClaims() const override { return claims; }
    bool RenameReplaces() const override { return claims; }  // FTP replaces; SFTP (no claims) refuses
    ServerReply Size(const std::string& path) override {
        if (auto failed = Fails("SIZE", path)) return *failed;
        auto file = files.find(path);
        if (file == files.end()) return Reply(Kind::Absent);
        if (growBy > 0 && path.find(".part") != std::string::npos) file->second += std::string(growBy, 'x');
        ServerReply reply = Reply(Kind::Ok);
        reply.size = static_cast<int64_t>(file->second.size()) + (renamed.count(path) ? liesAboutSize : 0);
        return reply;
    }
    ServerReply Send(int fd, int64_t size, int64_t offset, const std::string& path) override {
        if (auto failed = Fails("STOR", path)) return *failed;
        if (!folders.count(Parent(path))) folders.insert(Parent(path));
        std::string bytes(static_cast<std::size_t>(size - offset), '\0');
        EXPECT_EQ(::pread(fd, &bytes[0], bytes.size(), offset), static_cast<ssize_t>(bytes.size()));
        if (offset == 0) files[path] = bytes;
        else files[path] += bytes;
        sent += size - offset;
        return Reply(Kind::Ok);
    }
    ServerReply Rename(const std::string& from, const std::string& to) override {
        if (auto failed = Fails("RNTO", to)) return *failed;
        if (!files.count(from)) return Reply(Kind::Refused, 550);
        if (!RenameReplaces() && files.count(to)) return Reply(Kind::Refused, 550);
        files[to] = files[from];
        files.erase(from);
        renamed.insert(to);
        return Reply(Kind::Ok);
    }
    ServerReply MakeFolder(const std::string& path) override {
        if (auto failed = Fails("MKD", path)) return *failed;
        const bool dot = path.substr(path.rfind('/') + 1)[0] == '.';
        if (!makesFolders || (refusesDotNames && dot) || folders.count(path) || !folders.count(Parent(path))) {
            return Reply(Kind::Refused, 550);
        }
        folders.insert(path);
        return Reply(Kind::Ok);
    }
    ServerReply FolderExists(const std::string& path) override {
        if (auto failed = Fails("CWD", path)) return *failed;
        return Reply(folders.count(path) ? Kind::Ok : Kind::Absent);
    }
    ServerReply Compare(const std::string& path, int fd, int64_t size) override {
        if (auto failed = Fails(digests ? "HASH" : "RETR", path)) return *failed;
        std::string bytes(static_cast<std::size_t>(size), '\0');
        EXPECT_EQ(::pread(fd, &bytes[0], bytes.size(), 0), size);
        ServerReply reply = Reply(Kind::Ok);
        reply.same = files.count(path) && files[path] == bytes;
        return reply;
    }
    void Close() override { log.push_back("QUIT"); }

    int Count(const std::string& op) const {
        int n = 0;
        for (const std::string& line : log) n += line.compare(0, op.size() + 1, op + " ") == 0;
        return n;
    }
    int64_t sent = 0;
    std::set<std::string> renamed;

private:
    static std::string Parent(const std::string& path) { return path.substr(0, path.rfind('/')); }
    ServerReply Reply(Kind kind, long code = 0) {
        ServerReply reply;
        reply.kind = kind;
        reply.code = code;
        reply.text = kind == Kind::Ok ? "" : "fake says no";
        return reply;
    }
    std::optional<ServerReply> Fails(const std::string& op, const std::string& path) {
        log.push_back(op + " " + path);
        if (before) before(op, path);
        auto failing = failNext.find(op + " " + path);
        if (failing == failNext.end()) failing = failNext.find(op);
        if (failing == failNext.end()) return std::nullopt;
        const Kind kind = failing->second;
        failNext.erase(failing);
        return Reply(kind, kind == Kind::Refused ? 550 : 421);
    }
};

const std::string kDay = "2030/1/1";
const std::string kName = "1893456000_1.jpg";
const std::string kRemote = "/photo/" + kDay + "/" + kName;
const std::string kClaims = "/photo/" + kDay + "/.claims";
const std::string kClaim = kClaims + "/" + kName + ".claim";
const std::string kPart = kClaim + "/." + kName + ".020000abcdef.part";

struct Row {
    const char* what;
    std::function<void(FakeServer&)> arrange;
    bool claimedOnCard;
    int records;  // claims recorded on the card by this delivery
    DeliveryOutcome outcome;
    std::function<void(const FakeServer&, const PhotoDelivery&)> check;
};

class PhotoDeliveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fixture::MakeTempDir("photo-delivery-");
        path_ = dir_ + "/photo.jpg";
        fixture::WriteFile(path_, photo_);
        fd_ = ::open(path_.c_str(), O_RDONLY);
    }
    void TearDown() override {
        ::close(fd_);
        fixture::RemoveTree(dir_);
    }
    std::string dir_, path_;
    const std::string photo_ = "\xFF\xD8" + std::string(3000, 'p') + "\xFF\xD9";
    int fd_ = -1;
};

TEST_F(PhotoDeliveryTest, EveryBranchOfOnePhotosDelivery) {
    const int64_t size = static_cast<int64_t>(photo_.size());
    const std::string other = "\xFF\xD8" + std::string(3000, 'q') + "\xFF\xD9";  // same size, other bytes
    auto dayThere = [](FakeServer& s) { s.folders.insert({"/photo/2030", "/photo/2030/1", "/photo/" + kDay}); };
    auto claimsThere = [&](FakeServer& s) { dayThere(s); s.folders.insert(kClaims); };
    auto delivered = [&](const FakeServer& s, const PhotoDelivery&) {
        ASSERT_EQ(s.files.count(kRemote), 1u);
        EXPECT_EQ(s.files.at(kRemote), photo_);
    };
    const std::vector<Row> rows = {
        {"a day the server has: 7 commands", claimsThere, false, 1, DeliveryOutcome::Delivered,
         [&](const FakeServer& s, const PhotoDelivery& d) {
             delivered(s, d);
             EXPECT_EQ(s.log.size(), 5u);  // MKD claim, SIZE, STOR, RNTO, SIZE (+ EPSV, RNFR on the wire)
             EXPECT_TRUE(s.folders.count(kClaim));
         }},
        {"a new month: its folders, .claims and the claim, nothing asked about the name",
         [](FakeServer& s) { s.folders.insert("/photo/2030"); }, false, 1, DeliveryOutcome::Delivered,
         [&](const FakeServer& s, const PhotoDelivery& d) {
             delivered(s, d);
             EXPECT_EQ(s.Count("SIZE"), 1);  // the confirmation only
         }},
        {"the same bytes there already: delivered without sending (by digest)",
         [&](FakeServer& s) { claimsThere(s); s.files[kRemote] = photo_; }, false, 1, DeliveryOutcome::Delivered,
         [&](const FakeServer& s, const PhotoDelivery&) {
             EXPECT_EQ(s.sent, 0);
             EXPECT_EQ(s.Count("HASH"), 1);
         }},
        {"the same size, other bytes: the name is taken (no digest: a download decides)",
         [&](FakeServer& s) { claimsThere(s); s.files[kRemote] = other; s.digests = false; }, false, 1, DeliveryOutcome::NameTaken,
         [&](const FakeServer& s, const PhotoDelivery&) {
             EXPECT_EQ(s.files.at(kRemote), other);
             EXPECT_EQ(s.Count("RETR"), 1);
             EXPECT_EQ(s.sent, 0);
         }},
        {"another size there: taken, nothing downloaded",
         [&](FakeServer& s) { claimsThere(s); s.files[kRemote] = "xx"; }, false, 1, DeliveryOutcome::NameTaken,
         [&](const FakeServer& s, const PhotoDelivery&) { EXPECT_EQ(s.Count("HASH") + s.Count("RETR"), 0); }},
        {"another device's claim stands: taken, claims stay on",
         [&](FakeServer& s) { claimsThere(s); s.folders.insert(kClaim); }, false, 0, DeliveryOutcome::NameTaken,
         [&](const FakeServer& s, const PhotoDelivery& d) {
             EXPECT_TRUE(d.Claims());
             EXPECT_EQ(s.Count("STOR"), 0);
         }},
        {"a race on a new day: the other device makes the claim between our MKDs; claims stay on",
         [&](FakeServer& s) {
             s.folders.insert({"/photo/2030", "/photo/2030/1"});
             s.before = [&s](const std::string& op, const std::string& path) {
                 if (op == "MKD" && path == kClaim && s.folders.count(kClaims)) s.folders.insert(kClaim);
             };
         },
         false, 0, DeliveryOutcome::NameTaken,
         [&](const FakeServer& s, const PhotoDelivery& d) {
             EXPECT_TRUE(d.Claims());
             EXPECT_EQ(s.files.count(kRemote), 0u);
         }},
        {"a new account where another device makes the same folders at the same time: claims stay on",
         [&](FakeServer& s) {
             s.folders.erase("/photo");
             s.before = [&s](const std::string& op, const std::string& path) {
                 // The other device is one step ahead with every folder above the day.
                 if (op == "MKD" && path.rfind("/photo", 0) == 0 && path.find(".claim") == std::string::npos &&
                     path != "/photo/" + kDay) {
                     s.folders.insert(path);
                 }
             };
         },
         false, 1, DeliveryOutcome::Delivered,
         [&](const FakeServer& s, const PhotoDelivery& d) {
             delivered(s, d);
             EXPECT_TRUE(d.Claims());
             EXPECT_TRUE(s.folders.count(kClaim));
         }},
        {"an account that makes no folders: claims off, the photo goes beside its name",
         [&](FakeServer& s) { dayThere(s); s.makesFolders = false; }, false, 0, DeliveryOutcome::Delivered,
         [&](const FakeServer& s, const PhotoDelivery& d) {
             delivered(s, d);
             EXPECT_FALSE(d.Claims());
         }},
        {"names with a dot refused while folders are made: claims off, reported",
         [&](FakeServer& s) { s.folders.insert({"/photo/2030", "/photo/2030/1"}); s.refusesDotNames = true; }, false, 0, DeliveryOutcome::Delivered, [&](const FakeServer&, const PhotoDelivery& d) { EXPECT_FALSE(d.Claims()); }},
        {"our own claim of a killed run (recorded on the card): resumed under the same name",
         [&](FakeServer& s) { claimsThere(s); s.folders.insert(kClaim); s.files[kPart] = photo_.substr(0, 1000); },
         true, 0, DeliveryOutcome::Delivered,
         [&](const FakeServer& s, const PhotoDelivery& d) {
             delivered(s, d);
             EXPECT_EQ(s.sent, size - 1000);
         }},
        {"our own empty claim (killed between MKD and STOR): sent, not renamed",
         [&](FakeServer& s) { claimsThere(s); s.folders.insert(kClaim); }, true, 0, DeliveryOutcome::Delivered,
         delivered},
        {"a partial copy larger than the photo: sent again from byte 0",
         [&](FakeServer& s) { claimsThere(s); s.folders.insert(kClaim); s.files[kPart] = std::string(5000, 'z'); },
         true, 0, DeliveryOutcome::Delivered,
         [&](const FakeServer& s, const PhotoDelivery& d) {
             delivered(s, d);
             EXPECT_EQ(s.sent, size);
         }},
        {"a partial copy still being written: set aside, not appended",
         [&](FakeServer& s) {
             claimsThere(s);
             s.folders.insert(kClaim);
             s.files[kPart] = photo_.substr(0, 1000);
             s.growBy = 10;
         },
         true, 0, DeliveryOutcome::Refused, [&](const FakeServer& s, const PhotoDelivery&) { EXPECT_EQ(s.sent, 0); }},
        {"a resumed copy of the wrong size is never renamed into place",
         [&](FakeServer& s) {
             claimsThere(s);
             s.folders.insert(kClaim);
             s.files[kPart] = photo_.substr(0, 1000);
             s.before = [&s](const std::string& op, const std::string&) {
                 if (op == "RNTO" || op == "STOR") return;
                 if (s.sent > 0 && s.files.count(kPart)) s.files[kPart] += "!";
             };
         },
         true, 0, DeliveryOutcome::Refused,
         [&](const FakeServer& s, const PhotoDelivery&) { EXPECT_EQ(s.files.count(kRemote), 0u); }},
        {"the server lies about the size after the rename: not delivered",
         [&](FakeServer& s) { claimsThere(s); s.liesAboutSize = 1; }, false, 1, DeliveryOutcome::Refused, nullptr},
        {"the session drops during the transfer: the server is down",
         [&](FakeServer& s) { claimsThere(s); s.failNext["STOR"] = Kind::Down; }, false, 1, DeliveryOutcome::ServerDown,
         nullptr},
        {"a stall or the stop's deadline during the transfer: aborted",
         [&](FakeServer& s) { claimsThere(s); s.failNext["STOR"] = Kind::Aborted; }, false, 1, DeliveryOutcome::Aborted,
         nullptr},
        {"the server refuses the rename: this photo is refused",
         [&](FakeServer& s) { claimsThere(s); s.failNext["RNTO"] = Kind::Refused; }, false, 1, DeliveryOutcome::Refused,
         nullptr},
        {"no claims (SFTP, own folder): the temporary file beside the photo",
         [&](FakeServer& s) { dayThere(s); s.claims = false; }, false, 0, DeliveryOutcome::Delivered,
         [&](const FakeServer& s, const PhotoDelivery& d) {
             delivered(s, d);
             EXPECT_EQ(s.folders.count(kClaims), 0u);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        FakeServer server;
        if (row.arrange) row.arrange(server);
        int recorded = 0;
        PhotoDelivery::Hooks hooks;
        hooks.pastDeadline = [] { return false; };
        hooks.recordClaim = [&](const CardPhoto&) { return ++recorded > 0; };
        hooks.sleep = [](std::chrono::milliseconds) {};
        PhotoDelivery delivery(server, PhotoDelivery::Settings{"", "020000abcdef", "/sd/photo", std::chrono::milliseconds(0)},
                               hooks);
        CardPhoto photo;
        ASSERT_TRUE(CardPhoto::Parse(kDay + "/" + kName, photo));
        photo.claimed = row.claimedOnCard;
        const PhotoDelivery::Result result = delivery.Deliver(photo, fd_, size);
        EXPECT_EQ(static_cast<int>(result.outcome), static_cast<int>(row.outcome)) << result.reason;
        // A claim made is recorded on the card before anything is sent into it; nothing else is.
        EXPECT_EQ(recorded, row.records);
        if (row.check) row.check(server, delivery);
    }
}

TEST(DeliveryQueueTest, FreshFirstSetAsideAndAServerDownWaitThatOutlivesTheRun) {
    const std::string dir = fixture::MakeTempDir("delivery-queue-");
    int64_t now = 1000000;
    std::vector<int64_t> armed;
    DeliveryQueue::Settings settings;
    settings.stateFile = dir + "/photos";
    settings.clock = [&] { return now; };
    settings.arm = [&](int64_t delay) { armed.push_back(delay); };
    auto photo = [](int64_t seconds) {
        CardPhoto p;
        CardPhoto::Parse("2030/1/1/" + std::to_string(seconds) + "_1.jpg", p);
        return p;
    };
    {
        DeliveryQueue queue(settings);
        queue.Add(photo(10), false);
        queue.Add(photo(5), false);
        queue.Add(photo(30), true);
        queue.Add(photo(20), true);
        EXPECT_EQ(queue.Next()->seconds, 30);  // fresh first, as they came
        queue.Settle(photo(30), DeliveryOutcome::Delivered, "");
        EXPECT_EQ(queue.Next()->seconds, 20);
        queue.Settle(photo(20), DeliveryOutcome::Refused, "550");
        EXPECT_EQ(queue.Next()->seconds, 5);  // then the backlog, oldest first
        queue.Settle(photo(5), DeliveryOutcome::ServerDown, "421 gone");
        EXPECT_FALSE(queue.Next());  // everything waits 5 s
        EXPECT_EQ(armed.back(), 5000);
        now += 5000;
        EXPECT_EQ(queue.Next()->seconds, 20);  // fresh first again: its own wait ran out too
        queue.Settle(photo(20), DeliveryOutcome::ServerDown, "421 gone");
        EXPECT_EQ(queue.Next(), std::nullopt);
        EXPECT_EQ(armed.back(), 10000);  // doubled
        // A photo taken at the stop: fresh, not tried before the deadline.
        queue.SetDeadline(now);
        queue.Add(photo(40), true);
        EXPECT_EQ(queue.Next(), std::nullopt);
        queue.Save();
    }
    // The next run: the wait goes on where it was, then the photos still fresh (the one of the
    // stop among them) go before the backlog.
    DeliveryQueue queue(settings);
    for (int64_t seconds : {5, 10, 20, 40}) queue.Add(photo(seconds), false);
    now += 2000;
    EXPECT_EQ(queue.Next(), std::nullopt);
    EXPECT_EQ(armed.back(), 8000);
    now += 8000;
    EXPECT_EQ(queue.Next()->seconds, 20);
    queue.Settle(photo(20), DeliveryOutcome::ServerDown, "still");
    EXPECT_EQ(queue.Next(), std::nullopt);
    EXPECT_EQ(armed.back(), 20000);  // doubling on, never from scratch
    now += 20000;
    queue.Settle(photo(20), DeliveryOutcome::Delivered, "");
    EXPECT_FALSE(queue.ServerDown());
    EXPECT_EQ(queue.Next()->seconds, 40);
    queue.Settle(photo(40), DeliveryOutcome::Delivered, "");
    EXPECT_EQ(queue.Next()->seconds, 5);
    fixture::RemoveTree(dir);
}


// The whole store over the fake: a photo whose every claim another device takes first, and one
// whose name holds another file while the card has no free name left. Both are set aside after
// a bounded number of tries, stay recorded on the card, and the figures say so.
// With both photos, and with the one without a free name alone: set aside as the last photo to
// go, its figures must still be reported.
void SetsPhotosAsideOverAFakeServer(bool withClaimLosses) {
    const std::string dir = fixture::MakeTempDir("photo-fake-");
    const std::string sd = dir + "/sd";
    auto put = [&](const std::string& relative, const std::string& bytes) {
        CreateDirectory(sd + "/photo/" + relative.substr(0, relative.rfind('/')));
        fixture::WriteFile(sd + "/photo/" + relative, bytes);
        const std::string marker = sd + "/photo/.pending/" + photo_layout::MarkerPath(relative);
        CreateDirectory(marker.substr(0, marker.rfind('/')));
        fixture::WriteFile(marker, "");
    };
    const std::string photo = "\xFF\xD8" + std::string(100, 'a') + "\xFF\xD9";
    if (withClaimLosses) put(kDay + "/1893456000_1.jpg", photo);
    put(kDay + "/1893457000_2.jpg", photo);
    for (int k = 1; k < 1000; ++k) {  // every later second of camera 2 is taken on the card
        fixture::WriteFile(sd + "/photo/" + kDay + "/" + std::to_string(1893457000 + k) + "_2.jpg", "x");
    }
    auto server = std::make_shared<FakeServer>();
    server->folders.insert({"/photo/2030", "/photo/2030/1", "/photo/" + kDay, kClaims});
    server->files["/photo/" + kDay + "/1893457000_2.jpg"] = "another file";
    server->before = [raw = server.get()](const std::string& op, const std::string& path) {
        if (op == "MKD" && path.find("_1.jpg.claim") != std::string::npos) raw->folders.insert(path);
    };
    struct Shared : PhotoServer {
        std::shared_ptr<FakeServer> fake;
        explicit Shared(std::shared_ptr<FakeServer> f) : fake(std::move(f)) {}
        bool NeedsClaims() const override { return fake->NeedsClaims(); }
        bool RenameReplaces() const override { return fake->RenameReplaces(); }
        ServerReply Size(const std::string& p) override { return fake->Size(p); }
        ServerReply Send(int fd, int64_t n, int64_t at, const std::string& p) override { return fake->Send(fd, n, at, p); }
        ServerReply Rename(const std::string& f, const std::string& t) override { return fake->Rename(f, t); }
        ServerReply MakeFolder(const std::string& p) override { return fake->MakeFolder(p); }
        ServerReply FolderExists(const std::string& p) override { return fake->FolderExists(p); }
        ServerReply Compare(const std::string& p, int fd, int64_t n) override { return fake->Compare(p, fd, n); }
        void Close() override { fake->Close(); }
    };
    std::mutex mutex;
    PhotoStore::State state;
    PhotoStore::Settings settings;
    settings.sdFolder = sd;
    settings.minFreeBytes = 0;
    settings.firstRetry = settings.maxRetry = std::chrono::seconds(600);
    settings.mac = "020000abcdef";
    settings.server = [server] { return std::make_unique<Shared>(server); };
    settings.onState = [&](const PhotoStore::State& now) {
        std::lock_guard<std::mutex> lock(mutex);
        state = now;
    };
    auto store = std::make_shared<PhotoStore>("PhotoStore", nullptr, settings);
    store->start();
    ASSERT_TRUE(fixture::WaitFor([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return state.delivery.setAside == (withClaimLosses ? 2 : 1);
    }, std::chrono::seconds(30)));
    store->Shutdown();
    // The first photo moved on once per lost claim, then stopped; nothing of it on the server.
    std::vector<std::string> claims;
    for (const std::string& folder : server->folders) {
        if (folder.find("_1.jpg.claim") != std::string::npos) claims.push_back(folder);
    }
    EXPECT_EQ(claims.size(), withClaimLosses ? 4u : 0u) << "a bounded number of names";
    for (const auto& file : server->files) EXPECT_EQ(file.first.find("_1.jpg"), std::string::npos) << file.first;
    EXPECT_EQ(server->files.at("/photo/" + kDay + "/1893457000_2.jpg"), "another file") << "never replaced";
    EXPECT_TRUE(fixture::ReadFile(sd + "/photo/" + kDay + "/1893457000_2.jpg") == photo) << "kept under its name";
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(state.delivery.waiting, withClaimLosses ? 2 : 1);
    EXPECT_EQ(state.delivery.server, "up");
    EXPECT_EQ(server->sent, 0);
    fixture::RemoveTree(dir);
}

TEST(PhotoStoreOverAFakeServer, EndlessClaimLossesAndNoFreeNameSetPhotosAside) {
    SetsPhotosAsideOverAFakeServer(true);
}

TEST(PhotoStoreOverAFakeServer, APhotoWithNoFreeNameIsSetAsideWhenItIsTheLastToGo) {
    SetsPhotosAsideOverAFakeServer(false);
}

}  // namespace

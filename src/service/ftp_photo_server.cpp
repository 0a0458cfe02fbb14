#include <strings.h>

#include <exception>
#include <utility>

#include "service/photo_server.h"
#include "utils/logger.h"

std::string ServerReply::Describe() const {
    std::string described = text.empty() ? std::string("no reason given") : text;
    if (code != 0) described += " (server reply " + std::to_string(code) + ")";
    return described;
}

bool IsSftpHost(const std::string& host) { return ::strncasecmp(host.c_str(), "sftp://", 7) == 0; }

namespace {

ServerReply FromResult(const FTPClient::Result& result) {
    using Kind = FTPClient::Result::Kind;
    ServerReply reply;
    switch (result.kind) {
    case Kind::Ok: reply.kind = ServerReply::Kind::Ok; break;
    case Kind::Absent: reply.kind = ServerReply::Kind::Absent; break;
    case Kind::ServerDown: reply.kind = ServerReply::Kind::Down; break;
    case Kind::Refused: reply.kind = ServerReply::Kind::Refused; break;
    case Kind::LocalError: reply.kind = ServerReply::Kind::LocalError; break;
    case Kind::Aborted: reply.kind = ServerReply::Kind::Aborted; break;
    }
    reply.code = result.replyCode;
    reply.text = result.message;
    return reply;
}

// Both kinds go over the library's session; they differ in what a rename may do.
class SessionPhotoServer : public PhotoServer {
public:
    SessionPhotoServer(PhotoServerAccount account, std::function<bool()> keepGoing)
        : account_(std::move(account)), keepGoing_(std::move(keepGoing)) {}

    ServerReply Size(const std::string& path) override {
        return Call([&](FTPClient& session) {
            int64_t size = 0;
            ServerReply reply = FromResult(session.Stat(path, size));
            reply.size = size;
            return reply;
        });
    }
    ServerReply Send(int fd, int64_t size, int64_t offset, const std::string& path) override {
        return Call([&](FTPClient& session) { return FromResult(session.Send(fd, size, offset, path)); });
    }
    ServerReply Rename(const std::string& from, const std::string& to) override {
        return Call([&](FTPClient& session) { return FromResult(session.Rename(from, to)); });
    }
    ServerReply MakeFolder(const std::string& path) override {
        return Call([&](FTPClient& session) { return FromResult(session.MakeFolder(path)); });
    }
    ServerReply FolderExists(const std::string& path) override {
        return Call([&](FTPClient& session) { return FromResult(session.FolderExists(path)); });
    }
    ServerReply Compare(const std::string& path, int fd, int64_t size) override {
        return Call([&](FTPClient& session) {
            bool same = false;
            std::string how;
            ServerReply reply = FromResult(session.Compare(path, fd, size, same, how));
            reply.same = same;
            if (reply.ok()) LOG_DEBUG << "Compared " << path << " with the photo by " << how << ": "
                                      << (same ? "the same bytes" : "other bytes") << ".";
            return reply;
        });
    }
    void Close() override { session_.reset(); }

private:
    template <class Request>
    ServerReply Call(Request request) {
        if (!session_) {
            try {
                session_ = std::make_unique<FTPClient>(account_.user, account_.password, account_.host, account_.port,
                                                       account_.trust);
            } catch (const std::exception& error) {
                ServerReply reply;
                reply.kind = ServerReply::Kind::Down;
                reply.text = error.what();
                return reply;
            }
            if (keepGoing_) session_->SetProgressHandler(keepGoing_);
        }
        ServerReply reply = request(*session_);
        if (reply.cut()) session_.reset();  // a new login for the next request
        return reply;
    }

    const PhotoServerAccount account_;
    const std::function<bool()> keepGoing_;
    std::unique_ptr<FTPClient> session_;
};

// FTP and FTPS: a rename replaces what is under the new name, so where other devices may use
// the same folders, names are claimed first.
class FtpPhotoServer : public SessionPhotoServer {
public:
    using SessionPhotoServer::SessionPhotoServer;
    explicit FtpPhotoServer(PhotoServerAccount account, std::function<bool()> keepGoing)
        : SessionPhotoServer(account, std::move(keepGoing)), claims_(!account.ownFolder) {}
    bool NeedsClaims() const override { return claims_; }
    bool RenameReplaces() const override { return true; }

private:
    bool claims_;
};

// SFTP: OpenSSH's rename never replaces an existing file, so no name needs a claim.
class SftpPhotoServer : public SessionPhotoServer {
public:
    using SessionPhotoServer::SessionPhotoServer;
    bool NeedsClaims() const override { return false; }
    bool RenameReplaces() const override { return false; }
};

}  // namespace

std::unique_ptr<PhotoServer> MakePhotoServer(const PhotoServerAccount& account, std::function<bool()> keepGoing) {
    if (IsSftpHost(account.host)) return std::make_unique<SftpPhotoServer>(account, std::move(keepGoing));
    return std::make_unique<FtpPhotoServer>(account, std::move(keepGoing));
}

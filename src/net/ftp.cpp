#include "net/ftp.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <strings.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "config.h"
#include "net/resolve.h"
#include "utils/logger.h"

namespace {

using tarnwick::CFTPClient;

bool HasScheme(const std::string& host, const char* scheme) {
    const size_t length = std::char_traits<char>::length(scheme);
    return host.size() >= length && ::strncasecmp(host.c_str(), scheme, length) == 0;
}

// The protocol a host string asks for, and the host without the scheme that picked it
// (the library adds the scheme of the protocol). Any other scheme is left to the library,
// as plain FTP always did.
std::pair<CFTPClient::FTP_PROTOCOL, std::string> ProtocolOf(const std::string& host) {
    const std::pair<const char*, CFTPClient::FTP_PROTOCOL> schemes[] = {
        {"ftp://", CFTPClient::FTP},
        {"ftps://", CFTPClient::FTPS},
        {"ftpes://", CFTPClient::FTP_EXPLICIT_TLS},
        {"sftp://", CFTPClient::SFTP},
    };
    for (const auto& scheme : schemes) {
        if (HasScheme(host, scheme.first)) {
            return {scheme.second, host.substr(std::char_traits<char>::length(scheme.first))};
        }
    }
    return {CFTPClient::FTP, host};
}

// libcurl codes of a server that could not be trusted: its certificate or host key failed
// verification, the CA file is unusable, the handshake failed, or it refused AUTH TLS.
bool IsTrustFailure(int code) {
    switch (code) {
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_USE_SSL_FAILED:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
        return true;
    default:
        return false;
    }
}

}  // namespace

FTPClient::Trust FTPClient::TrustFromConfig() {
    return Trust{Config::Get(FTP_PHOTO_CA_FILE), Config::Get(FTP_PHOTO_KNOWN_HOSTS)};
}

FTPClient::FTPClient(const std::string& user, const std::string& password,
                     const std::string& host, int port)
    : FTPClient(user, password, host, port, Trust()) {}

FTPClient::FTPClient(const std::string& user, const std::string& password,
                     const std::string& host, int port, const Trust& trust)
    // Messages wait for the end of their call: whether the server was trusted is known from
    // the call's code only then.
    : client_([this](const std::string& message) { pending_.push_back(message); }) {
    const auto protocol = ProtocolOf(host);
    // A failed session shows up as the "not initialized" message of Upload.
    client_.InitSession(protocol.second, static_cast<unsigned>(port), user, password,
                        protocol.first, tarnwick::CFTPClient::LOG_ERRORS);
    client_.SetTimeout(kTransferTimeout);
    client_.SetConnectTimeout(kConnectTimeout);
    client_.SetLowSpeedLimit(kLowSpeedLimit, kLowSpeedTime);
    client_.SetSSLCAFile(trust.caFile);
    client_.SetSSHKnownHostsFile(trust.knownHosts);
    unverifiable_ = protocol.first == CFTPClient::SFTP && trust.knownHosts.empty();
    tls_ = protocol.first == CFTPClient::FTPS || protocol.first == CFTPClient::FTP_EXPLICIT_TLS;

    // The name libcurl would resolve: the host string up to its path, without a port.
    std::string name = protocol.second.substr(0, protocol.second.find('/'));
    const size_t at = name.rfind('@');
    if (at != std::string::npos) name = name.substr(at + 1);
    int namedPort = 0;
    if (!name.empty() && name[0] == '[') {
        name.clear();  // an IPv6 address
    } else if (name.find(':') != std::string::npos) {
        namedPort = std::atoi(name.substr(name.find(':') + 1).c_str());
        name = name.substr(0, name.find(':'));
    }
    if (!name.empty() && !IsNumericAddress(name)) {
        lookupName_ = name;
        lookupPort_ = port > 0 ? port : namedPort;
        if (lookupPort_ <= 0) {
            lookupPort_ = protocol.first == CFTPClient::SFTP   ? 22
                          : protocol.first == CFTPClient::FTPS ? 990
                                                               : 21;
        }
    }
}

FTPClient::~FTPClient() {
    client_.CleanupSession();
    Finish(true);
}

bool FTPClient::Upload(const std::string& localFile, const std::string& remoteFile) {
    if (unverifiable_) {
        Unverifiable("upload of " + localFile);
        return false;
    }
    if (!Resolve().ok()) return false;
    const bool ok = client_.UploadFileAs(localFile, remoteFile, TemporaryName(remoteFile), true);
    Finish(ok);
    return ok;
}

FTPClient::Result FTPClient::Stat(const std::string& remote, int64_t& size) {
    size = 0;
    if (unverifiable_) return Unverifiable("size query of " + remote);
    return WithReopen([&] {
        bool present = false;
        std::int64_t remoteSize = 0;
        const bool ok = client_.GetFileSize(remote, present, remoteSize);
        size = ok && present ? remoteSize : 0;
        return Finish(ok, ok && !present);
    });
}

FTPClient::Result FTPClient::Send(int fd, int64_t size, int64_t offset, const std::string& remote) {
    if (unverifiable_) return Unverifiable("upload of " + remote);
    return WithReopen([&] { return Finish(client_.UploadFromFd(fd, size, offset, remote)); }, true);
}

FTPClient::Result FTPClient::Rename(const std::string& from, const std::string& to) {
    if (unverifiable_) return Unverifiable("rename of " + from);
    return WithReopen([&] { return Finish(client_.Rename(from, to)); });
}

FTPClient::Result FTPClient::MakeFolder(const std::string& remote) {
    if (unverifiable_) return Unverifiable("folder " + remote);
    return WithReopen([&] { return Finish(client_.MakeFolder(remote)); });
}

FTPClient::Result FTPClient::FolderExists(const std::string& remote) {
    if (unverifiable_) return Unverifiable("folder " + remote);
    return WithReopen([&] {
        bool present = false;
        const bool ok = client_.FolderExists(remote, present);
        return Finish(ok, ok && !present);
    });
}

FTPClient::Result FTPClient::Compare(const std::string& remote, int fd, int64_t size, bool& same,
                                     std::string& how) {
    same = false;
    how = "download";
    if (unverifiable_) return Unverifiable("comparison of " + remote);
    return WithReopen([&] {
        bool present = false;
        const bool ok = client_.CompareWithFd(remote, fd, size, present, same, how);
        return Finish(ok, ok && !present);
    });
}

FTPClient::Result FTPClient::WithReopen(const std::function<Result()>& attempt, bool transfer) {
    Result result = Resolve();
    if (!result.ok()) return result;
    result = attempt();
    const CFTPClient::OperationResult& outcome = client_.GetLastResult();
    if (!result.ok() && result.kind != Result::Kind::Absent && IsDroppedSession(outcome, tls_) &&
        (!transfer || outcome.iBytesSent == 0)) {
        LOG_INFO << "Photo server closed the session (curl " << result.curlCode << ", reply "
                 << result.replyCode << "); logging in again.";
        client_.UseFreshConnection();
        result = attempt();
    }
    // Perhaps the name now stands for another address.
    if (result.curlCode == CURLE_COULDNT_CONNECT) resolved_ = false;
    return result;
}

bool FTPClient::IsDroppedSession(const CFTPClient::OperationResult& outcome, bool tls) {
    // 522: vsftpd no longer takes the TLS session of the control connection for data.
    if (tls && outcome.lResponseCode == 522) return true;
    if (!outcome.bReusedConnection) return false;  // a new connection that fails: server down
    if (outcome.lResponseCode == 421) return true;
    switch (outcome.eCurlCode) {
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_FTP_WEIRD_SERVER_REPLY:
        return true;
    default:
        return false;
    }
}

FTPClient::Result FTPClient::Resolve() {
    Result result;
    if (lookupName_.empty() || resolved_) return result;
    const Resolution found = ResolveName(lookupName_, std::chrono::seconds(kConnectTimeout), keepGoing_);
    switch (found.kind) {
    case Resolution::Kind::Ok:
        client_.SetResolvedAddresses({ResolveEntry(lookupName_, lookupPort_, found.addresses)});
        resolved_ = true;
        return result;
    case Resolution::Kind::Stopped:
        result.kind = Result::Kind::Aborted;
        result.curlCode = CURLE_ABORTED_BY_CALLBACK;
        break;
    case Resolution::Kind::TimedOut:
        result.kind = Result::Kind::ServerDown;
        result.curlCode = CURLE_OPERATION_TIMEDOUT;
        break;
    case Resolution::Kind::Failed:
        result.kind = Result::Kind::ServerDown;
        result.curlCode = CURLE_COULDNT_RESOLVE_HOST;
        break;
    }
    result.message = found.message;
    lastMessage_ = result.message;
    if (found.message.rfind("no thread", 0) == 0) {
        LOG_WARN << "Photo server " << lookupName_ << ": " << result.message;
    } else {
        LOG_DEBUG << "Photo server: " << result.message;
    }
    return result;
}

FTPClient::Result FTPClient::Finish(bool success, bool absent) {
    const tarnwick::CFTPClient::OperationResult& outcome = client_.GetLastResult();
    const bool untrusted = IsTrustFailure(outcome.eCurlCode);
    for (const std::string& message : pending_) {
        lastMessage_ = message;
        [&] {
            if (untrusted) {
                LOG_ERROR << "Photo server not trusted, upload refused: " << message;
            } else {
                LOG_DEBUG << message;
            }
        }();
    }
    pending_.clear();

    Result result;
    result.curlCode = static_cast<int>(outcome.eCurlCode);
    result.replyCode = outcome.lResponseCode;
    result.message = outcome.strMessage;
    if (success) {
        result.kind = absent ? Result::Kind::Absent : Result::Kind::Ok;
    } else {
        result.kind = Classify(result.curlCode, result.replyCode,
                               client_.GetProtocol() == CFTPClient::SFTP);
        // A failure without a code of its own (should not happen) is never taken for success.
        if (result.kind == Result::Kind::Ok) result.kind = Result::Kind::ServerDown;
    }
    return result;
}

FTPClient::Result FTPClient::Unverifiable(const std::string& what) {
    Result result;
    result.kind = Result::Kind::ServerDown;
    result.curlCode = CURLE_PEER_FAILED_VERIFICATION;
    result.message = "no ftp_photo.known_hosts to verify the SFTP server's host key against";
    LOG_ERROR << "SFTP " << what << " refused: no ftp_photo.known_hosts "
              << "to verify the server's host key against.";
    return result;
}

FTPClient::Result::Kind FTPClient::Classify(int curlCode, long replyCode, bool sftp) {
    using Kind = Result::Kind;
    switch (curlCode) {
    case CURLE_OK:
        return Kind::Ok;
    case CURLE_ABORTED_BY_CALLBACK:
        return Kind::Aborted;
    case CURLE_READ_ERROR:
        return Kind::LocalError;
    case CURLE_BAD_FUNCTION_ARGUMENT:  // a remote name no command can carry
        return Kind::Refused;
    case CURLE_UPLOAD_FAILED:
    case CURLE_REMOTE_ACCESS_DENIED:
    case CURLE_QUOTE_ERROR:
    case CURLE_REMOTE_FILE_NOT_FOUND:
    case CURLE_REMOTE_DISK_FULL:
    case CURLE_REMOTE_FILE_EXISTS:
        // The server answered a command about this file: a permanent answer refuses the
        // file, a transient one (4xx, "try again later") says nothing against it.
        if (sftp) return Kind::Refused;
        return replyCode >= 500 && replyCode < 600 ? Kind::Refused : Kind::ServerDown;
    default:
        // Connecting, TLS or host key, login, timeouts and stalls, dropped connections.
        return Kind::ServerDown;
    }
}

const char* FTPClient::KindName(Result::Kind kind) {
    switch (kind) {
    case Result::Kind::Ok: return "ok";
    case Result::Kind::Absent: return "absent";
    case Result::Kind::ServerDown: return "server down";
    case Result::Kind::Refused: return "refused";
    case Result::Kind::LocalError: return "local error";
    case Result::Kind::Aborted: return "aborted";
    }
    return "unknown";
}

std::string FTPClient::TemporaryName(const std::string& remoteFile) {
    const std::size_t slash = remoteFile.rfind('/');
    return "." + remoteFile.substr(slash == std::string::npos ? 0 : slash + 1) + ".part";
}

void FTPClient::SetProgressHandler(std::function<bool()> keepGoing) {
    keepGoing_ = std::move(keepGoing);
    if (!keepGoing_) return;
    client_.SetProgressFnCallback(
        this,
        [](void* record, double, double, double, double) {
            auto* progress = static_cast<tarnwick::CFTPClient::ProgressRecord*>(record);
            auto* self = static_cast<FTPClient*>(progress->pOwner);
            return self->keepGoing_() ? 0 : 1;
        },
        true);
}

#include "net/ftp.h"

#include <strings.h>

#include <utility>

#include "config.h"
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
bool IsTrustFailure(const std::string& message) {
    for (const char* code : {"(Error = 35 |", "(Error = 60 |", "(Error = 64 |", "(Error = 77 |",
                             "(Error = 83 |", "[FTPClient][Error] SSH host key "}) {
        if (message.find(code) != std::string::npos) {
            return true;
        }
    }
    return false;
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
    : client_([this](const std::string& message) {
          lastMessage_ = message;
          if (IsTrustFailure(message)) {
              LOG_ERROR << "Photo server not trusted, upload refused: " << message;
          } else {
              LOG_DEBUG << message;
          }
      }) {
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
}

FTPClient::~FTPClient() { client_.CleanupSession(); }

bool FTPClient::Upload(const std::string& localFile, const std::string& remoteFile) {
    if (unverifiable_) {
        LOG_ERROR << "SFTP upload of " << localFile << " refused: no ftp_photo.known_hosts "
                  << "to verify the server's host key against.";
        return false;
    }
    return client_.UploadFileAs(localFile, remoteFile, TemporaryName(remoteFile), true);
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

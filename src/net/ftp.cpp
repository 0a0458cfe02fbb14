#include "net/ftp.h"

#include "utils/logger.h"

FTPClient::FTPClient(const std::string& user, const std::string& password,
                     const std::string& host, int port)
    : client_([this](const std::string& message) {
          lastMessage_ = message;
          LOG_DEBUG << message;
      }) {
    // A failed session shows up as the "not initialized" message of Upload.
    client_.InitSession(host, static_cast<unsigned>(port), user, password,
                        tarnwick::CFTPClient::FTP, tarnwick::CFTPClient::LOG_ERRORS);
    client_.SetTimeout(kTransferTimeout);
    client_.SetConnectTimeout(kConnectTimeout);
    client_.SetLowSpeedLimit(kLowSpeedLimit, kLowSpeedTime);
}

FTPClient::~FTPClient() { client_.CleanupSession(); }

bool FTPClient::Upload(const std::string& localFile, const std::string& remoteFile) {
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

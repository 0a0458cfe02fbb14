#include "net/ftp.h"

#include "utils/logger.h"

FTPClient::FTPClient(const std::string& user, const std::string& password,
                     const std::string& host, int port)
    : client_([](const std::string& message) { LOG_DEBUG << message; }) {
    // A failed session shows up as the "not initialized" message of Upload.
    client_.InitSession(host, static_cast<unsigned>(port), user, password,
                        tarnwick::CFTPClient::FTP, tarnwick::CFTPClient::LOG_ERRORS);
    client_.SetTimeout(kTransferTimeout);
    client_.SetConnectTimeout(kConnectTimeout);
    client_.SetLowSpeedLimit(kLowSpeedLimit, kLowSpeedTime);
}

FTPClient::~FTPClient() { client_.CleanupSession(); }

bool FTPClient::Upload(const std::string& localFile, const std::string& remoteFile) {
    return client_.UploadFile(localFile, remoteFile, true);
}

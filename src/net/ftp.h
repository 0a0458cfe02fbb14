#pragma once

#include <functional>
#include <string>

#include "FTPClient.h"

// One-shot photo uploader to the configured server, library messages written as log lines.
// Create one per file, call Upload once, destroy it; all on one thread (the Main thread in
// the daemon). Upload blocks that thread until the transfer ends.
//
// The host's scheme picks the protocol: none or ftp:// plain FTP, ftps:// FTP over implicit
// TLS, ftpes:// FTP with AUTH TLS required on the control port, sftp:// SSH file transfer.
// TLS certificates are always verified; an SFTP host key must be in the known hosts file.
class FTPClient {
public:
    // Bounds of one upload, in seconds. The transfer as a whole may take long on a slow
    // link; a server that stops answering must not hold the caller for that long.
    static constexpr int kTransferTimeout = 5000;
    static constexpr int kConnectTimeout = 30;
    static constexpr long kLowSpeedLimit = 1;  // bytes per second ...
    static constexpr long kLowSpeedTime = 60;  // ... for this many seconds aborts

    // What the server is checked against.
    struct Trust {
        std::string caFile;      // PEM CAs for FTPS (empty: the system's CA store)
        std::string knownHosts;  // OpenSSH known_hosts for SFTP (empty: SFTP refused)
    };
    // Any thread: ftp_photo.ca_file and ftp_photo.known_hosts of the configuration.
    static Trust TrustFromConfig();

    FTPClient(const std::string& user, const std::string& password, const std::string& host,
              int port);
    FTPClient(const std::string& user, const std::string& password, const std::string& host,
              int port, const Trust& trust);
    ~FTPClient();

    FTPClient(const FTPClient&) = delete;
    FTPClient& operator=(const FTPClient&) = delete;

    // Uploads localFile to remoteFile (a path from the server's root, "/"), creating missing
    // remote directories. The data goes to TemporaryName(remoteFile) first and is renamed into
    // place after the whole file arrived, so the server never shows a partial file under the
    // final name. True on success; the local file is left in place either way.
    bool Upload(const std::string& localFile, const std::string& remoteFile);

    // ".<name>.part" for the name of `remoteFile`: in the same folder, never taken for a photo.
    static std::string TemporaryName(const std::string& remoteFile);

    // Called about once a second while a transfer runs (also while it waits for the server):
    // the caller's "still making progress" signal and its way to abort (return false).
    // Before Upload; runs on the uploading thread.
    void SetProgressHandler(std::function<bool()> keepGoing);

    // The last library message of this object (the reason of a failure), empty if none.
    const std::string& lastMessage() const { return lastMessage_; }

    // The library object, for inspection by tests.
    const tarnwick::CFTPClient& client() const { return client_; }

private:
    std::string lastMessage_;
    std::function<bool()> keepGoing_;
    tarnwick::CFTPClient client_;
    // SFTP without a known hosts file: nothing to check the server against.
    bool unverifiable_ = false;
};

#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "FTPClient.h"

// Photo uploader to the configured server, library messages written as log lines.
//
// Two ways to use it. One-shot: create one per file, call Upload once, destroy it. Session:
// create one per drain of the backlog and call Stat, Send and Rename for many photos; they
// share one libcurl handle, so one connection and one login serve them all (the connection
// is made again by itself when the server dropped it).
//
// Thread rule: an object belongs to the thread that created it (the photo store's thread in
// the daemon); every method, the destructor and the progress handler run on that thread
// only. Each call blocks it until the server answered or a bound (below) ran out.
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
    // A field link that moves less than 1 kB/s for 30 s is as good as down; what was sent
    // stays on the server and the next attempt resumes from there.
    static constexpr long kLowSpeedLimit = 1024;  // bytes per second ...
    static constexpr long kLowSpeedTime = 30;     // ... for this many seconds aborts

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

    // The outcome of a session call. The caller decides on kind only; the codes and the
    // message are for its log line.
    struct Result {
        enum class Kind {
            Ok,
            Absent,      // Stat: no such file on the server
            ServerDown,  // unreachable, untrusted, login refused, timed out, stalled, dropped,
                         // or a transient (4xx) reply: nothing is wrong with this file
            Refused,     // a permanent reply to a command about this file (5xx to STOR,
                         // APPE, RNFR, RNTO, SIZE, MKD of its folder; SFTP refusal of it)
            LocalError,  // the local file could not be read to its size
            Aborted      // the progress handler returned false
        };
        Kind kind = Kind::Ok;
        int curlCode = 0;    // libcurl's CURLcode
        long replyCode = 0;  // the server's last FTP reply (0: none, and over SFTP)
        std::string message; // the library's message, empty when it gave none
        bool ok() const { return kind == Kind::Ok; }
    };
    static const char* KindName(Result::Kind kind);
    // The kind of a library outcome (see Result::Kind).
    static Result::Kind Classify(int curlCode, long replyCode, bool sftp);

    // Size of the remote file: Ok with `size` set, or Absent; otherwise why it is not known.
    // FTP: one SIZE command on a connection in use already.
    Result Stat(const std::string& remote, int64_t& size);
    // Sends the bytes [offset, size) of `fd` (opened by the caller, e.g. with O_NOFOLLOW and
    // checked with fstat; it stays open) to `remote`. offset 0 creates or replaces the remote
    // file; offset > 0 appends to a partial copy that holds exactly `offset` bytes (what Stat
    // reported), so the server ends with the whole file. Missing remote folders are created.
    Result Send(int fd, int64_t size, int64_t offset, const std::string& remote);
    // Renames `from` to `to` on the server. Over SFTP (OpenSSH) an existing `to` is Refused.
    Result Rename(const std::string& from, const std::string& to);
    // Makes one folder (its parent must exist); Refused when it exists already, which makes it
    // a claim only one client can hold.
    Result MakeFolder(const std::string& remote);
    // Ok when the folder exists, Absent when it does not (FTP only).
    Result FolderExists(const std::string& remote);

    // ".<name>.part" for the name of `remoteFile`: in the same folder, never taken for a photo.
    static std::string TemporaryName(const std::string& remoteFile);

    // Called about once a second while a transfer runs (also while it waits for the server):
    // the caller's "still making progress" signal and its way to abort (return false).
    // Set before the calls it should watch; runs on the owning thread.
    void SetProgressHandler(std::function<bool()> keepGoing);

    // The last library message of this object (the reason of a failure), empty if none.
    const std::string& lastMessage() const { return lastMessage_; }

    // The library object, for inspection by tests.
    const tarnwick::CFTPClient& client() const { return client_; }

private:
    // Writes the library messages of the call that just ended as log lines (ERROR when the
    // server could not be trusted, DEBUG otherwise) and builds its result.
    Result Finish(bool success, bool absent = false);
    // SFTP without a known hosts file: the refusal, logged.
    Result Unverifiable(const std::string& what);

    std::vector<std::string> pending_;
    std::string lastMessage_;
    std::function<bool()> keepGoing_;
    tarnwick::CFTPClient client_;
    // SFTP without a known hosts file: nothing to check the server against.
    bool unverifiable_ = false;
};

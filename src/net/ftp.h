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
//
// A session the server dropped (an idle timeout, a restart: reply 421, the control connection
// closed under a request, or 522 when it no longer takes the TLS session of a data connection)
// is logged in again at once, once, and the call tried again before its failure counts: the
// caller never sees the drop of a connection that had served it. Send is tried again only
// when none of its bytes had left; otherwise its failure is reported and the caller resumes.
// A Rename or MakeFolder whose reply was lost with the connection may have been carried out
// by the server: the second try then reports what it meets (the source gone, the folder
// there).
//
// Name resolution. Every wait of a call ends when the progress handler says stop, the wait
// for the server's address included. libcurl's threaded resolver cannot be cut: the handle's
// cleanup waits for getaddrinfo, which waits for the resolver's own timeouts (tens of seconds
// with a name server that never answers). So the host's name is resolved here instead, by
// getaddrinfo in a helper thread of its own: the calling thread waits for its answer at most
// kConnectTimeout, asking the progress handler every 100 ms; a stop ends the call at once
// (Aborted) and leaves the lookup to finish alone (detached; its state is shared, so nothing
// it writes outlives its owner, and nobody ever joins a lookup that hangs). libcurl gets the
// addresses with CURLOPT_RESOLVE and never resolves the name; TLS and the host key are still
// checked against the name. The addresses are kept for the life of the object (dropped after
// a failed connect, so the next call asks again); a numeric host needs none of this. Why not
// the other ways: CURLOPT_QUICK_EXIT (libcurl 7.87 on) makes the cleanup leave the resolver
// thread behind too, but a new connection (after a drop) resolves once more; an asynchronous
// resolver (c-ares) is not what Debian's libcurl is built with.
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
    // Whether the server's `remote` holds exactly the bytes [0, size) of `fd` (opened by the
    // caller; read with pread only): Ok with `same` set, Absent (same false) when there is no
    // such file, otherwise why it is not known. FTP asks the server's digest where its FEAT
    // reply offers one (HASH, XSHA256, XSHA512, XSHA1, XMD5; FEAT once per object), otherwise
    // the file is downloaded and compared up to the first difference or size + 1 bytes; SFTP
    // downloads. `how` names the way taken ("HASH", "XSHA256", ..., "download") for the log.
    // A difference found by a download closes the connection (libcurl's way to cut a
    // transfer short): the next call logs in again.
    Result Compare(const std::string& remote, int fd, int64_t size, bool& same, std::string& how);

    // ".<name>.part" for the name of `remoteFile`: in the same folder, never taken for a photo.
    static std::string TemporaryName(const std::string& remoteFile);

    // Called about once a second while a transfer runs (also while it waits for the server),
    // every 100 ms while the server's name is being resolved: the caller's "still making
    // progress" signal and its way to abort (return false).
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
    // Resolves the server's name when it is not known yet (see above): Ok, or why not.
    Result Resolve();
    // Runs a session call (`attempt` ends with Finish), again once on a fresh connection when
    // the first try met a dropped session (for a transfer: before any byte was sent).
    Result WithReopen(const std::function<Result()>& attempt, bool transfer = false);
    static bool IsDroppedSession(const tarnwick::CFTPClient::OperationResult& outcome, bool tls);

    std::vector<std::string> pending_;
    std::string lastMessage_;
    std::function<bool()> keepGoing_;
    tarnwick::CFTPClient client_;
    // SFTP without a known hosts file: nothing to check the server against.
    bool unverifiable_ = false;
    bool tls_ = false;
    // The name to resolve (empty for a numeric host) and the port libcurl will use for it.
    std::string lookupName_;
    int lookupPort_ = 0;
    bool resolved_ = false;
};

#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "net/ftp.h"

// What a photo server answered to one request.
struct ServerReply {
    enum class Kind {
        Ok,
        Absent,      // no such file or folder
        Down,        // unreachable, untrusted, login refused, stalled, dropped, or a transient reply
        Refused,     // a permanent reply to a request about this very file or folder
        LocalError,  // the photo could not be read from the card
        Aborted      // the stop's deadline came
    };
    Kind kind = Kind::Ok;
    int64_t size = 0;   // Size(): the file's size
    bool same = false;  // Compare(): the file holds exactly the photo's bytes
    long code = 0;      // the server's reply code (0: none)
    std::string text;   // the server's or the transfer library's own words

    bool ok() const { return kind == Kind::Ok; }
    // The session is gone (server down, or the deadline came): nothing more to ask it.
    bool cut() const { return kind == Kind::Down || kind == Kind::Aborted; }
    // "<text> (server reply <code>)", for log lines.
    std::string Describe() const;
};

// One kind of photo server, as the delivery of a photo uses it: one session at a time,
// opened by the first request and closed by Close() (or when the server drops it). Paths are
// absolute from the server's root. Delivery thread only.
class PhotoServer {
public:
    virtual ~PhotoServer() = default;
    // Whether names must be claimed before a file moves into them: where other devices may use
    // the same folders and a rename replaces what is there.
    virtual bool NeedsClaims() const = 0;
    // Whether a rename replaces a file under the new name (FTP) or is refused (SFTP).
    virtual bool RenameReplaces() const = 0;
    virtual ServerReply Size(const std::string& path) = 0;
    // Sends the bytes [offset, size) of `fd` to `path` (offset > 0 appends to a copy of exactly
    // `offset` bytes). Missing folders are made.
    virtual ServerReply Send(int fd, int64_t size, int64_t offset, const std::string& path) = 0;
    virtual ServerReply Rename(const std::string& from, const std::string& to) = 0;
    // Makes one folder; Refused when it exists already (or the server makes none).
    virtual ServerReply MakeFolder(const std::string& path) = 0;
    virtual ServerReply FolderExists(const std::string& path) = 0;
    // Whether `path` holds exactly the bytes [0, size) of `fd` (Ok with `same` set).
    virtual ServerReply Compare(const std::string& path, int fd, int64_t size) = 0;
    // Ends the session; the next request opens a new one.
    virtual void Close() = 0;
};

// The photo server of the configuration's kind over the FTP library's session: FTP and FTPS
// (names claimed unless `ownFolder`: a rename replaces there) or SFTP (whose rename never
// replaces). `keepGoing` is asked about once a second while a request runs.
struct PhotoServerAccount {
    std::string user;
    std::string password;
    std::string host;  // its scheme picks the protocol, in any case
    int port = 0;
    FTPClient::Trust trust;
    bool ownFolder = false;  // no other device uses the folders (ftp_photo.folder with {mac})
};
std::unique_ptr<PhotoServer> MakePhotoServer(const PhotoServerAccount& account, std::function<bool()> keepGoing);
// Whether `host` names an SFTP server (its scheme, in any case).
bool IsSftpHost(const std::string& host);

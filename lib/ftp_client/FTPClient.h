#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "CurlHandle.h"

namespace tarnwick {

// FTP, FTPS and SFTP transfers over one libcurl easy handle.
//
// Every operation is a blocking call on the caller's thread and reports its outcome as a
// bool; diagnostics are complete texts handed to the log callback given at construction
// (only when the session settings hold LOG_ERRORS). The object has no locks: one thread
// at a time may use it; distinct objects may live on distinct threads.
//
// Calling order: construct, InitSession, optional setters, operations, CleanupSession.
class CFTPClient {
public:
    enum FTP_PROTOCOL : unsigned char {
        FTP = 0,               // plain FTP
        FTPS = 1,              // implicit TLS (ftps://)
        FTP_EXPLICIT_TLS = 2,  // AUTH TLS on the plain FTP port
        SFTP = 3               // SSH file transfer
    };

    enum SettingsFlag : std::uint32_t {
        NO_FLAGS = 0x00,
        LOG_ERRORS = 0x01,      // hand diagnostics to the log callback
        SSH_AGENT_AUTH = 0x02,  // SFTP: authenticate through the SSH agent only
        ALL_FLAGS = 0xFF
    };

    // What the progress callback receives as its first argument. dLastRunTime belongs to
    // the callback; the library clears it in SetProgressFnCallback and never reads it.
    struct ProgressRecord {
        double dLastRunTime;
        CURL* pCurl;
        void* pOwner;
    };

    struct FileInfo {
        std::int32_t tFileMTime;  // seconds since the epoch
        double dFileSize;         // bytes
    };

    // State of one wildcard transfer, shared by its chunk and write callbacks.
    struct WildcardTransfersCallbackData {
        std::ofstream ofsOutput;
        std::string strOutputPath;  // always ends with "/"
        std::vector<std::string> vecDirList;
        // The local file being received, removed when its transfer breaks off.
        std::string strCurrentFile;
        // Where unsafe remote names are reported (null: not reported).
        const std::function<void(const std::string&)>* pLog = nullptr;
    };

    // What the last operation of this object ended with, whether it succeeded or not:
    // libcurl's code, the server's last reply code (CURLINFO_RESPONSE_CODE: the FTP reply to
    // the last command sent; 0 when there was none, and always over SFTP) and the message
    // text handed to the log callback (empty when none). Decide on the codes, not the text.
    // Failures before any transfer carry a code too: CURLE_FAILED_INIT without a session,
    // CURLE_BAD_FUNCTION_ARGUMENT for an unusable argument, CURLE_READ_ERROR when the local
    // file cannot be read.
    struct OperationResult {
        CURLcode eCurlCode = CURLE_OK;
        long lResponseCode = 0;
        std::string strMessage;
        // The last request ran on a connection that was open before it began (a failure
        // there is a connection the server dropped, not a server that cannot be reached).
        bool bReusedConnection = false;
        // UploadFromFd: bytes of the file that the last transfer handed to the server.
        std::int64_t iBytesSent = 0;
    };

    using LogFnCallback = std::function<void(const std::string&)>;
    using ProgressFnCallback = std::function<int(void*, double, double, double, double)>;

    // Throws std::runtime_error when libcurl cannot be initialised and std::logic_error
    // ("Invalid logger clb applied") for an empty log callback.
    explicit CFTPClient(LogFnCallback Logger);
    virtual ~CFTPClient();

    CFTPClient(const CFTPClient&) = delete;
    CFTPClient& operator=(const CFTPClient&) = delete;

    bool InitSession(const std::string& strHost, const unsigned& uPort, const std::string& strLogin,
                     const std::string& strPassword, const FTP_PROTOCOL& eFtpProtocol,
                     const SettingsFlag& eSettingsFlags);
    virtual bool CleanupSession();

    // Transfer options, applied by every later operation.
    void SetTimeout(const int& iTimeout) { m_iCurlTimeout = iTimeout; }  // whole transfer, s
    // Bound on connecting and logging in (seconds, 0 = libcurl's default).
    void SetConnectTimeout(const int& iTimeout) { m_iConnectTimeout = iTimeout; }
    // Abort a transfer slower than lLimit bytes/s for lTime seconds (0 = never).
    void SetLowSpeedLimit(const long& lLimit, const long& lTime) {
        m_lLowSpeedLimit = lLimit;
        m_lLowSpeedTime = lTime;
    }
    void SetActive(const bool& bEnable) { m_bActive = bEnable; }
    void SetNoSignal(const bool& bNoSignal) { m_bNoSignal = bNoSignal; }
    void SetInsecure(const bool& bInsecure) { m_bInsecure = bInsecure; }
    void SetSSLCertFile(const std::string& strPath) { m_strSSLCertFile = strPath; }
    void SetSSLKeyFile(const std::string& strPath) { m_strSSLKeyFile = strPath; }
    void SetSSLKeyPwd(const std::string& strPwd) { m_strSSLKeyPwd = strPwd; }
    // FTPS: PEM file of the CAs that may sign the server's certificate (empty: the system's
    // CA store). Verification itself is on unless SetInsecure(true).
    void SetSSLCAFile(const std::string& strPath) { m_strSSLCAFile = strPath; }
    // SFTP: OpenSSH known_hosts file. When set, a server whose host key is not in it, or
    // differs from it, is refused before the login (empty: host key not checked).
    void SetSSHKnownHostsFile(const std::string& strPath) { m_strSSHKnownHostsFile = strPath; }
    void SetProxy(const std::string& strProxy);
    void SetProxyUserPwd(const std::string& strProxyUserPwd) { m_strProxyUserPwd = strProxyUserPwd; }
    // Any callable; an empty one is refused and the previous setting stays.
    void SetProgressFnCallback(void* pOwner, const ProgressFnCallback& fnCallback, bool bEnable);

    const int& GetTimeout() const { return m_iCurlTimeout; }
    const int& GetConnectTimeout() const { return m_iConnectTimeout; }
    const long& GetLowSpeedLimit() const { return m_lLowSpeedLimit; }
    const long& GetLowSpeedTime() const { return m_lLowSpeedTime; }
    const unsigned& GetPort() const { return m_uPort; }
    const std::string& GetURL() const { return m_strServer; }
    const std::string& GetProxy() const { return m_strProxy; }
    const std::string& GetSSLCAFile() const { return m_strSSLCAFile; }
    const std::string& GetSSHKnownHostsFile() const { return m_strSSHKnownHostsFile; }
    const FTP_PROTOCOL& GetProtocol() const { return m_eFtpProtocol; }
    const SettingsFlag& GetSettingsFlags() const { return m_eSettingsFlags; }
    CURL* GetCurlPointer() const { return m_pCurlSession; }
    const ProgressRecord& GetProgressStruct() const { return m_ProgressStruct.Record; }

    bool UploadFile(const std::string& strLocalFile, const std::string& strRemoteFile,
                    const bool& bCreateDir = false) const;
    // Uploads under strTemporaryName (a bare name, in the remote file's folder) and renames
    // it to strRemoteFile once the whole file is there (post-transfer commands: RNFR/RNTO,
    // SFTP "rename" after removing an older copy), so that the server never shows a partial
    // file under the final name. A failed transfer may leave the temporary file behind.
    bool UploadFileAs(const std::string& strLocalFile, const std::string& strRemoteFile,
                      const std::string& strTemporaryName, const bool& bCreateDir = false) const;
    bool AppendFile(const std::string& strLocalFile, const unsigned ulOffset,
                    const std::string& strRemoteFile, const bool& bCreateDir = false) const;
    bool DownloadFile(const std::string& strLocalFile, const std::string& strRemoteFile) const;
    bool DownloadFile(const std::string& strRemoteFile, std::vector<char>& data) const;
    bool DownloadWildcard(const std::string& strLocalDir, const std::string& strRemoteWildcard) const;
    bool List(const std::string& strRemoteFolder, std::string& strList, bool bOnlyNames = true) const;
    bool Info(const std::string& strRemoteFile, FileInfo& oFileInfo) const;
    bool RemoveFile(const std::string& strRemoteFile) const;
    bool RemoveDir(const std::string& strRemoteFolder) const;
    bool CreateDir(const std::string& strNewDir) const;

    // Operations made for delivering many files over one connection. They send no CWD (FTP
    // commands name absolute paths: the server string's path, then the remote path), keep
    // the connection of the object's handle from one call to the next, and leave their
    // outcome in GetLastResult().
    //
    // The size of a remote file. True when the server answered the question: bPresent tells
    // whether the file is there, iSize is then its size in bytes. False when the question
    // itself failed (connection, login, an unexpected reply): nothing is known then. FTP asks
    // with one SIZE on a connection already in binary mode (MLST when the server lacks SIZE;
    // 550 means absent); SFTP stats the file (no such file means absent).
    bool GetFileSize(const std::string& strRemoteFile, bool& bPresent, std::int64_t& iSize) const;
    // Sends the bytes [iOffset, iSize) of the open descriptor iFd (read with pread; it stays
    // open) to strRemoteFile. iOffset 0 creates or truncates the remote file (STOR); iOffset
    // > 0 appends (APPE; SFTP append), which completes a partial copy that holds exactly the
    // first iOffset bytes. Missing remote folders are made when the server refuses the file
    // for lack of them, so an existing folder costs no command. A descriptor that cannot be
    // read to iSize fails with CURLE_READ_ERROR.
    bool UploadFromFd(int iFd, std::int64_t iSize, std::int64_t iOffset,
                      const std::string& strRemoteFile) const;
    // Renames a remote file (FTP RNFR/RNTO, SFTP rename). OpenSSH refuses an existing target;
    // FTP servers usually replace it.
    bool Rename(const std::string& strFrom, const std::string& strTo) const;

    // Makes or removes one remote folder (FTP MKD/RMD with the full path; SFTP mkdir/rmdir).
    // Creating fails when the folder exists: one client at a time can hold it.
    bool MakeFolder(const std::string& strRemoteFolder) const;
    bool RemoveFolder(const std::string& strRemoteFolder) const;
    // Whether a remote folder exists (FTP: CWD with the full path, 550 = absent; the client
    // names every path in full, so the server's current folder does not matter). Not SFTP.
    bool FolderExists(const std::string& strRemoteFolder, bool& bPresent) const;

    // Whether strRemoteFile holds exactly the bytes [0, iSize) of the open descriptor iFd
    // (read with pread; it stays open). FTP asks the server for its digest of the file when
    // the FEAT reply offers one (FEAT is asked the first time only, then remembered): HASH,
    // preferring SHA-256 (OPTS HASH picks it when it is not the server's choice already),
    // then XSHA256, XSHA512, XSHA1, XMD5; the local bytes are digested alike. Otherwise, and
    // over SFTP, the file is downloaded and compared, stopping at the first differing byte or
    // after iSize + 1 bytes. True when the answer is known: bPresent false when there is no
    // such file (bSame false then). strHow names the way taken ("HASH", "XSHA256", ...,
    // "download"), also on failure.
    bool CompareWithFd(const std::string& strRemoteFile, int iFd, std::int64_t iSize, bool& bPresent,
                       bool& bSame, std::string& strHow) const;
    // Lower-case hex digest ("SHA-256", "SHA-512", "SHA-1", "MD5", as HASH names them) of the
    // bytes [0, iSize) of iFd; empty when the algorithm is unknown or the file is shorter.
    static std::string DigestOfFd(int iFd, std::int64_t iSize, const std::string& strAlgorithm);

    // The next operation logs in on a new connection instead of the one in the handle's cache
    // (CURLOPT_FRESH_CONNECT), e.g. after the server dropped that one.
    void UseFreshConnection() { m_bFreshConnection = true; }
    // Addresses for libcurl to connect to instead of resolving names itself (CURLOPT_RESOLVE
    // entries "host:port:address[,address...]"); empty: libcurl resolves.
    void SetResolvedAddresses(const std::vector<std::string>& vecEntries);

    const OperationResult& GetLastResult() const { return m_LastResult; }

    std::string ParseURL(const std::string& strRemoteFile) const;

    // printf-style formatting into a std::string; the values must be printf arguments
    // (numbers, C strings).
    template <typename... Args>
    static std::string StringFormat(std::string strFormat, Args... args);
    static void ReplaceString(std::string& strSubject, const std::string& strSearch,
                              const std::string& strReplace);

    // libcurl callbacks.
    static size_t ReadFromFileCallback(char* pBuffer, size_t iSize, size_t iCount, void* pStream);
    static size_t WriteToFileCallback(char* pBuffer, size_t iSize, size_t iCount, void* pStream);
    static size_t WriteToMemory(char* pBuffer, size_t iSize, size_t iCount, void* pData);
    static size_t WriteInStringCallback(char* pBuffer, size_t iSize, size_t iCount, void* pString);
    static size_t WriteItCallback(char* pBuffer, size_t iSize, size_t iCount, void* pData);
    static size_t ThrowAwayCallback(char* pBuffer, size_t iSize, size_t iCount, void* pData);
    static long FileIsComingCallback(struct curl_fileinfo* pFileInfo,
                                     WildcardTransfersCallbackData* pData, int iRemains);
    static long FileIsDownloadedCallback(WildcardTransfersCallbackData* pData);

private:
    // Where UploadFromFd reads from: the next byte to send and the end.
    struct FdSource {
        int iFd;
        std::int64_t iNext;
        std::int64_t iEnd;
        bool bFailed;
    };
    static size_t ReadFromFdCallback(char* pBuffer, size_t iSize, size_t iCount, void* pSource);
    // Where a downloaded file is compared with the local one.
    struct FdComparison {
        int iFd;
        std::int64_t iSize;
        std::int64_t iAt;
        bool bDiffers;
        bool bReadFailed;
        std::vector<char> vecLocal;
    };
    static size_t CompareWithFdCallback(char* pBuffer, size_t iSize, size_t iCount, void* pData);
    // The digest commands of the FEAT reply, asked the first time only. False when FEAT
    // itself failed (nothing is remembered then).
    bool KnowDigestCommands() const;
    // Asks the server's digest of strPath with the best command it offers. True when it
    // answered; an empty strDigest when there is none to use (none offered, refused, no such
    // file: the caller downloads then).
    bool RemoteDigest(const std::string& strPath, std::string& strAlgorithm, std::string& strDigest,
                      std::string& strHow) const;
    bool DownloadCompare(const std::string& strPath, int iFd, std::int64_t iSize, bool& bPresent,
                         bool& bSame) const;

    // The record libcurl hands to the progress trampoline: the public record first, so
    // the callback sees the record's own address, then the callable to run.
    struct ProgressData {
        ProgressRecord Record;
        const ProgressFnCallback* pCallback;
    };

    static int SSHKeyCallback(CURL* pCurl, const struct curl_khkey* pKnownKey,
                              const struct curl_khkey* pFoundKey, enum curl_khmatch eMatch,
                              void* pClient);
    static int ProgressTrampoline(void* pData, double dlTotal, double dlNow, double ulTotal,
                                  double ulNow);

    bool CheckSession() const;
    // Starts a new result record (and, unless the operation keeps track of it, forgets the
    // connection's transfer mode); Finish fills the record from the handle after a transfer.
    void BeginOperation(bool bKeepsMode = false) const;
    void Finish(CURLcode eCode) const;
    bool Fail(CURLcode eCode, const std::string& strMessage) const;
    // "/" + the server string's path + "/" + strRemote, with single slashes.
    std::string AbsolutePath(const std::string& strRemote) const;
    // The URL of an absolute path (from AbsolutePath), every unusual byte percent-encoded.
    std::string PathURL(const std::string& strAbsolutePath) const;
    // One request without a body on the server's root that runs vecCommands (libcurl's
    // QUOTE rules: a leading "*" lets a command fail); the server's reply lines go to
    // pReplies when given.
    CURLcode RunCommands(const std::vector<std::string>& vecCommands, std::string* pReplies) const;
    bool FolderCommand(const std::string& strRemoteFolder, const char* szFtp, const char* szSftp,
                       const char* szWhat) const;
    bool FtpFileSize(const std::string& strRemoteFile, bool& bPresent, std::int64_t& iSize) const;
    CURLcode SendFromFd(int iFd, std::int64_t iSize, std::int64_t iOffset,
                        const std::string& strURL, bool& bReadFailed) const;
    void Log(const std::string& strMessage) const;
    // Also applies a pending UseFreshConnection to the request about to be made.
    void ApplyCredentialsAndSessionOptions() const;
    bool UploadStream(const std::string& strLocalFile, const std::string& strRemoteFile,
                      const bool& bCreateDir, const bool bAppend, const unsigned ulOffset,
                      const std::string& strTemporaryName = std::string()) const;
    bool RunQuoteCommand(const std::string& strRemotePath, const char* szFtpPrefix,
                         const char* szSftpPrefix, const bool bCreateDir, const char* szError) const;

    std::string m_strUserName;
    std::string m_strPassword;
    std::string m_strServer;
    std::string m_strProxy;
    std::string m_strProxyUserPwd;
    bool m_bActive = false;
    bool m_bNoSignal = true;
    bool m_bInsecure = false;
    unsigned m_uPort = 0;
    FTP_PROTOCOL m_eFtpProtocol = FTP;
    SettingsFlag m_eSettingsFlags = NO_FLAGS;
    std::string m_strSSLCertFile;
    std::string m_strSSLKeyFile;
    std::string m_strSSLKeyPwd;
    std::string m_strSSLCAFile;
    std::string m_strSSHKnownHostsFile;
    CURL* m_pCurlSession = nullptr;
    int m_iCurlTimeout = 0;
    int m_iConnectTimeout = 0;
    long m_lLowSpeedLimit = 0;
    long m_lLowSpeedTime = 0;
    ProgressFnCallback m_fnProgressCallback;
    ProgressData m_ProgressStruct{{0.0, nullptr, nullptr}, nullptr};
    bool m_bProgressCallbackSet = false;
    LogFnCallback m_oLog;
    CurlHandle* m_curlHandle;
    mutable OperationResult m_LastResult;
    // The FTP connection in the handle's cache was put in binary mode by this object (SIZE
    // is refused in ASCII mode by some servers); false after anything that may have changed
    // it or opened a new connection.
    mutable bool m_bBinaryMode = false;
    mutable bool m_bFreshConnection = false;
    // The handle's connection answered a request (see OperationResult::bReusedConnection).
    mutable bool m_bConnectionWorked = false;
    std::unique_ptr<struct curl_slist, decltype(&curl_slist_free_all)> m_pResolve{nullptr,
                                                                                 &curl_slist_free_all};
    // What FEAT said: whether it was asked, the HASH algorithms (upper case, the server's
    // current one marked by m_strHashCurrent) and the X* digest commands offered.
    mutable bool m_bFeaturesKnown = false;
    mutable std::vector<std::string> m_vecHashAlgorithms;
    mutable std::string m_strHashCurrent;
    mutable std::vector<std::string> m_vecDigestCommands;
};

template <typename... Args>
std::string CFTPClient::StringFormat(std::string strFormat, Args... args) {
    static_assert((std::is_trivially_copyable<Args>::value && ...),
                  "StringFormat takes printf arguments only");
    const int iLength = std::snprintf(nullptr, 0, strFormat.c_str(), args...);
    if (iLength < 0) return std::string();  // encoding error: nothing sensible to show
    std::vector<char> vecBuffer(static_cast<size_t>(iLength) + 1, '\0');
    std::snprintf(vecBuffer.data(), vecBuffer.size(), strFormat.c_str(), args...);
    return std::string(vecBuffer.data());
}

inline CFTPClient::SettingsFlag operator|(CFTPClient::SettingsFlag a, CFTPClient::SettingsFlag b) {
    return static_cast<CFTPClient::SettingsFlag>(static_cast<std::uint32_t>(a) |
                                                 static_cast<std::uint32_t>(b));
}

}  // namespace tarnwick

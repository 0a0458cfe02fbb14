#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
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
    void Log(const std::string& strMessage) const;
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

#include "FTPClient.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <iostream>
#include <limits>
#include <memory>
#include <stdexcept>
#include <utility>

namespace tarnwick {

namespace {

// Length of a leading "scheme://" (RFC 3986 scheme letters), 0 when there is none.
size_t SchemeLength(const std::string& strText) {
    if (strText.empty() || !std::isalpha(static_cast<unsigned char>(strText[0]))) return 0;
    size_t i = 1;
    while (i < strText.size()) {
        const unsigned char c = static_cast<unsigned char>(strText[i]);
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') break;
        ++i;
    }
    return strText.compare(i, 3, "://") == 0 ? i + 3 : 0;
}

// libcurl splits SFTP commands at blanks; a quoted path keeps its blanks and quotes.
std::string QuoteSftpArgument(const std::string& strPath) {
    std::string strQuoted = "\"";
    for (const char c : strPath) {
        if (c == '"' || c == '\\') strQuoted += '\\';
        strQuoted += c;
    }
    return strQuoted + "\"";
}

// libcurl's own chunk callback signatures, forwarding to the typed static members.
long ChunkBeginTrampoline(const void* pTransferInfo, void* pData, int iRemains) {
    try {
        return CFTPClient::FileIsComingCallback(
            static_cast<struct curl_fileinfo*>(const_cast<void*>(pTransferInfo)),
            static_cast<CFTPClient::WildcardTransfersCallbackData*>(pData), iRemains);
    } catch (...) {
        return CURL_CHUNK_BGN_FUNC_FAIL;  // nothing may unwind through libcurl
    }
}

long ChunkEndTrampoline(void* pData) {
    return CFTPClient::FileIsDownloadedCallback(
        static_cast<CFTPClient::WildcardTransfersCallbackData*>(pData));
}

const char kNotInitialized[] =
    "[FTPClient][Error] Curl session is not initialized ! Use InitSession() before.";

}  // namespace

CFTPClient::CFTPClient(LogFnCallback Logger)
    : m_oLog(std::move(Logger)), m_curlHandle(&CurlHandle::instance()) {
    if (!m_oLog) {
        throw std::logic_error("Invalid logger clb applied");
    }
}

CFTPClient::~CFTPClient() {
    if (m_pCurlSession != nullptr) {
        try {
            Log("[FTPClient][Warning] Object was freed before calling CFTPClient::CleanupSession(). "
                "The API session was cleaned though.");
        } catch (...) {
            // The owner's logger failed; the handle must be released all the same.
        }
        CleanupSession();
    }
}

void CFTPClient::Log(const std::string& strMessage) const {
    m_LastResult.strMessage = strMessage;
    if (m_eSettingsFlags & LOG_ERRORS) {
        m_oLog(strMessage);
    }
}

bool CFTPClient::InitSession(const std::string& strHost, const unsigned& uPort,
                             const std::string& strLogin, const std::string& strPassword,
                             const FTP_PROTOCOL& eFtpProtocol, const SettingsFlag& eSettingsFlags) {
    if (strHost.empty()) {
        Log("[FTPClient][Error] Empty hostname.");
        return false;
    }
    if (m_pCurlSession != nullptr) {
        Log("[FTPClient][Error] Curl session is already initialized ! Use CleanupSession() to "
            "clean the present one.");
        return false;
    }
    m_pCurlSession = curl_easy_init();
    m_strServer = strHost;
    m_uPort = uPort;
    m_strUserName = strLogin;
    m_strPassword = strPassword;
    m_eFtpProtocol = eFtpProtocol;
    m_eSettingsFlags = eSettingsFlags;
    m_bFeaturesKnown = false;
    m_bConnectionWorked = false;
    return m_pCurlSession != nullptr;
}

bool CFTPClient::CleanupSession() {
    if (m_pCurlSession == nullptr) {
        Log(kNotInitialized);
        return false;
    }
    curl_easy_cleanup(m_pCurlSession);
    m_pCurlSession = nullptr;
    return true;
}

bool CFTPClient::CheckSession() const {
    if (m_pCurlSession == nullptr) {
        m_LastResult.eCurlCode = CURLE_FAILED_INIT;
        Log(kNotInitialized);
        return false;
    }
    return true;
}

void CFTPClient::SetProxy(const std::string& strProxy) {
    if (strProxy.empty()) return;
    // A proxy URL that names its own scheme (https://, socks5://...) is libcurl's to read.
    m_strProxy = SchemeLength(strProxy) > 0 ? strProxy : "http://" + strProxy;
}

void CFTPClient::SetProgressFnCallback(void* pOwner, const ProgressFnCallback& fnCallback,
                                       bool bEnable) {
    if (!fnCallback) {
        Log("[FTPClient][Error] Empty progress callback refused in "
            "CFTPClient::SetProgressFnCallback().");
        return;
    }
    m_fnProgressCallback = fnCallback;
    m_ProgressStruct.Record.dLastRunTime = 0.0;
    m_ProgressStruct.Record.pCurl = m_pCurlSession;
    m_ProgressStruct.Record.pOwner = pOwner;
    m_ProgressStruct.pCallback = &m_fnProgressCallback;
    m_bProgressCallbackSet = bEnable;
}

int CFTPClient::ProgressTrampoline(void* pData, double dlTotal, double dlNow, double ulTotal,
                                   double ulNow) {
    // pData is the address of ProgressData, which is also the address of its Record.
    auto* pProgress = static_cast<ProgressData*>(pData);
    // No exception may cross libcurl's C frames: a throwing callback aborts the transfer.
    try {
        return (*pProgress->pCallback)(&pProgress->Record, dlTotal, dlNow, ulTotal, ulNow);
    } catch (...) {
        return 1;
    }
}

int CFTPClient::SSHKeyCallback(CURL*, const struct curl_khkey*, const struct curl_khkey*,
                               enum curl_khmatch eMatch, void* pClient) {
    if (eMatch == CURLKHMATCH_OK) return CURLKHSTAT_FINE;
    // Never CURLKHSTAT_FINE_ADD_TO_FILE: a key is trusted only when its owner put it there.
    const auto* pThis = static_cast<const CFTPClient*>(pClient);
    try {
        pThis->Log(StringFormat(
            "[FTPClient][Error] SSH host key of %s %s the known hosts file %s; connection refused.",
            pThis->m_strServer.c_str(),
            eMatch == CURLKHMATCH_MISMATCH ? "differs from the one in" : "is not in",
            pThis->m_strSSHKnownHostsFile.c_str()));
    } catch (...) {
        // The owner's logger failed; the key is refused all the same.
    }
    return CURLKHSTAT_REJECT;
}

std::string CFTPClient::ParseURL(const std::string& strRemoteFile) const {
    // A server string may carry its own scheme; it is kept as it is, and only the part
    // after it gets the slash and blank rule.
    const size_t uSchemeLength = SchemeLength(m_strServer);
    std::string strScheme = m_strServer.substr(0, uSchemeLength);
    std::string strURL = m_strServer.substr(uSchemeLength) + "/" + strRemoteFile;

    ReplaceString(strURL, "/", "//");
    ReplaceString(strURL, " ", "%20");

    if (strScheme.empty()) {
        switch (m_eFtpProtocol) {
        case FTPS: strScheme = "ftps://"; break;
        case SFTP: strScheme = "sftp://"; break;
        default: strScheme = "ftp://"; break;
        }
    }
    return strScheme + strURL;
}

void CFTPClient::ReplaceString(std::string& strSubject, const std::string& strSearch,
                               const std::string& strReplace) {
    if (strSearch.empty()) return;
    size_t uPos = 0;
    while ((uPos = strSubject.find(strSearch, uPos)) != std::string::npos) {
        strSubject.replace(uPos, strSearch.length(), strReplace);
        uPos += strReplace.length();
    }
}

void CFTPClient::ApplyCredentialsAndSessionOptions() const {
    CURL* pCurl = m_pCurlSession;
    curl_easy_setopt(pCurl, CURLOPT_PORT, static_cast<long>(m_uPort));
    // Separate options: a ':' in the user name is part of the name, and neither ends up in
    // the URL. libcurl copies both.
    curl_easy_setopt(pCurl, CURLOPT_USERNAME, m_strUserName.c_str());
    curl_easy_setopt(pCurl, CURLOPT_PASSWORD, m_strPassword.c_str());

    if (m_bActive) {
        curl_easy_setopt(pCurl, CURLOPT_FTPPORT, "-");
    }
    if (m_iCurlTimeout > 0) {
        curl_easy_setopt(pCurl, CURLOPT_TIMEOUT, static_cast<long>(m_iCurlTimeout));
    }
    if (m_iConnectTimeout > 0) {
        curl_easy_setopt(pCurl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(m_iConnectTimeout));
    }
    if (m_lLowSpeedLimit > 0 && m_lLowSpeedTime > 0) {
        curl_easy_setopt(pCurl, CURLOPT_LOW_SPEED_LIMIT, m_lLowSpeedLimit);
        curl_easy_setopt(pCurl, CURLOPT_LOW_SPEED_TIME, m_lLowSpeedTime);
    }
    if (m_bNoSignal) {
        curl_easy_setopt(pCurl, CURLOPT_NOSIGNAL, 1L);
    }
    if (!m_strProxy.empty()) {
        curl_easy_setopt(pCurl, CURLOPT_PROXY, m_strProxy.c_str());
        curl_easy_setopt(pCurl, CURLOPT_HTTPPROXYTUNNEL, 1L);
        if (!m_strProxyUserPwd.empty()) {
            curl_easy_setopt(pCurl, CURLOPT_PROXYUSERPWD, m_strProxyUserPwd.c_str());
        }
        if (!m_bActive) {
            curl_easy_setopt(pCurl, CURLOPT_FTP_USE_EPSV, 1L);
        }
    }
    if (m_bProgressCallbackSet) {
        curl_easy_setopt(pCurl, CURLOPT_PROGRESSFUNCTION, &CFTPClient::ProgressTrampoline);
        curl_easy_setopt(pCurl, CURLOPT_PROGRESSDATA,
                         static_cast<void*>(const_cast<ProgressData*>(&m_ProgressStruct)));
        curl_easy_setopt(pCurl, CURLOPT_NOPROGRESS, 0L);
    }
    if (m_eFtpProtocol == FTPS || m_eFtpProtocol == FTP_EXPLICIT_TLS) {
        curl_easy_setopt(pCurl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
    }
    if (m_eFtpProtocol == SFTP && (m_eSettingsFlags & SSH_AGENT_AUTH)) {
        curl_easy_setopt(pCurl, CURLOPT_SSH_AUTH_TYPES, static_cast<long>(CURLSSH_AUTH_AGENT));
    }
    if (!m_strSSLCertFile.empty()) {
        curl_easy_setopt(pCurl, CURLOPT_SSLCERT, m_strSSLCertFile.c_str());
    }
    if (!m_strSSLKeyFile.empty()) {
        curl_easy_setopt(pCurl, CURLOPT_SSLKEY, m_strSSLKeyFile.c_str());
    }
    if (!m_strSSLKeyPwd.empty()) {
        curl_easy_setopt(pCurl, CURLOPT_KEYPASSWD, m_strSSLKeyPwd.c_str());
    }
    if (!m_strSSLCAFile.empty()) {
        curl_easy_setopt(pCurl, CURLOPT_CAINFO, m_strSSLCAFile.c_str());
    }
    if (m_eFtpProtocol == SFTP && !m_strSSHKnownHostsFile.empty()) {
        curl_easy_setopt(pCurl, CURLOPT_SSH_KNOWNHOSTS, m_strSSHKnownHostsFile.c_str());
        curl_easy_setopt(pCurl, CURLOPT_SSH_KEYFUNCTION, &CFTPClient::SSHKeyCallback);
        curl_easy_setopt(pCurl, CURLOPT_SSH_KEYDATA,
                         static_cast<void*>(const_cast<CFTPClient*>(this)));
    }
    if (m_pResolve) {
        curl_easy_setopt(pCurl, CURLOPT_RESOLVE, m_pResolve.get());
    }
    if (m_bFreshConnection) {
        curl_easy_setopt(pCurl, CURLOPT_FRESH_CONNECT, 1L);
        m_bFreshConnection = false;
    }
    curl_easy_setopt(pCurl, CURLOPT_SSL_VERIFYHOST, m_bInsecure ? 0L : 2L);
    curl_easy_setopt(pCurl, CURLOPT_SSL_VERIFYPEER, m_bInsecure ? 0L : 1L);
}

bool CFTPClient::UploadFile(const std::string& strLocalFile, const std::string& strRemoteFile,
                            const bool& bCreateDir) const {
    BeginOperation();
    if (strLocalFile.empty() || strRemoteFile.empty()) return false;
    return UploadStream(strLocalFile, strRemoteFile, bCreateDir, false, 0);
}

bool CFTPClient::UploadFileAs(const std::string& strLocalFile, const std::string& strRemoteFile,
                              const std::string& strTemporaryName, const bool& bCreateDir) const {
    BeginOperation();
    if (strLocalFile.empty() || strRemoteFile.empty()) return false;
    if (strTemporaryName.empty() || strTemporaryName.find('/') != std::string::npos) {
        Log("[FTPClient][Error] Invalid temporary name in CFTPClient::UploadFileAs().");
        return false;
    }
    return UploadStream(strLocalFile, strRemoteFile, bCreateDir, false, 0, strTemporaryName);
}

bool CFTPClient::AppendFile(const std::string& strLocalFile, const unsigned ulOffset,
                            const std::string& strRemoteFile, const bool& bCreateDir) const {
    BeginOperation();
    if (strLocalFile.empty() || strRemoteFile.empty()) return false;
    return UploadStream(strLocalFile, strRemoteFile, bCreateDir, true, ulOffset);
}

bool CFTPClient::UploadStream(const std::string& strLocalFile, const std::string& strRemoteFile,
                              const bool& bCreateDir, const bool bAppend,
                              const unsigned ulOffset, const std::string& strTemporaryName) const {
    if (!CheckSession()) return false;
    curl_easy_reset(m_pCurlSession);

    // With a temporary name the data goes to that name in the remote file's folder, and the
    // post-transfer commands put it into place; they run only after a complete transfer.
    const size_t uSlash = strRemoteFile.rfind('/');
    const std::string strFolder = uSlash == std::string::npos ? std::string() : strRemoteFile.substr(0, uSlash + 1);
    const std::string strFinalName = strRemoteFile.substr(uSlash == std::string::npos ? 0 : uSlash + 1);
    const std::string strURL =
        ParseURL(strTemporaryName.empty() ? strRemoteFile : strFolder + strTemporaryName);
    std::unique_ptr<struct curl_slist, decltype(&curl_slist_free_all)> pPostQuote(nullptr,
                                                                                &curl_slist_free_all);
    if (!strTemporaryName.empty()) {
        std::vector<std::string> vecCommands;
        if (m_eFtpProtocol == SFTP) {
            // SFTP commands take absolute paths: the path part of the server string, then the
            // remote folder. An existing file would make the rename fail ("*": the removal may
            // fail when there is nothing to remove).
            const std::string strHost = m_strServer.substr(SchemeLength(m_strServer));
            const size_t uHostSlash = strHost.find('/');
            std::string strAbsFolder;
            for (const char c : (uHostSlash == std::string::npos ? std::string() : strHost.substr(uHostSlash)) +
                                    "/" + strFolder) {
                if (c != '/' || strAbsFolder.empty() || strAbsFolder.back() != '/') strAbsFolder += c;
            }
            vecCommands.push_back("*rm " + QuoteSftpArgument(strAbsFolder + strFinalName));
            vecCommands.push_back("rename " + QuoteSftpArgument(strAbsFolder + strTemporaryName) + " " +
                                  QuoteSftpArgument(strAbsFolder + strFinalName));
        } else {
            // After the transfer the session is in the file's folder.
            vecCommands.push_back("RNFR " + strTemporaryName);
            vecCommands.push_back("RNTO " + strFinalName);
        }
        for (const std::string& strCommand : vecCommands) {
            struct curl_slist* pList = curl_slist_append(pPostQuote.get(), strCommand.c_str());
            if (pList == nullptr) return false;
            pPostQuote.release();
            pPostQuote.reset(pList);
        }
    }

    struct stat fileStat {};
    if (stat(strLocalFile.c_str(), &fileStat) != 0) return false;

    const char* szCaller = bAppend ? "AppendFile" : "UploadFile";
    // A directory or a device "opens" as a stream but reads nothing useful: an empty
    // remote file would replace the real one.
    std::ifstream ifsInput;
    if (S_ISREG(fileStat.st_mode)) {
        ifsInput.open(strLocalFile, std::ifstream::in | std::ifstream::binary);
    }
    if (!ifsInput.is_open() || !ifsInput.good()) {
        m_LastResult.eCurlCode = CURLE_READ_ERROR;
        Log(StringFormat("[FTPClient][Error] Unable to open local file %s in CFTPClient::%s().",
                         strLocalFile.c_str(), szCaller));
        return false;
    }

    curl_off_t iSize = static_cast<curl_off_t>(fileStat.st_size);
    if (bAppend) {
        if (iSize <= static_cast<curl_off_t>(ulOffset)) {
            Log("ERROR Incorrect offset !");
            return false;
        }
        ifsInput.seekg(static_cast<std::streamoff>(ulOffset), std::ios::beg);
        iSize -= static_cast<curl_off_t>(ulOffset);
    }

    curl_easy_setopt(m_pCurlSession, CURLOPT_URL, strURL.c_str());
    curl_easy_setopt(m_pCurlSession, CURLOPT_READFUNCTION, &CFTPClient::ReadFromFileCallback);
    curl_easy_setopt(m_pCurlSession, CURLOPT_READDATA, static_cast<void*>(&ifsInput));
    curl_easy_setopt(m_pCurlSession, CURLOPT_INFILESIZE_LARGE, iSize);
    curl_easy_setopt(m_pCurlSession, CURLOPT_UPLOAD, 1L);
    if (bAppend) {
        curl_easy_setopt(m_pCurlSession, CURLOPT_APPEND, 1L);
    }
    if (bCreateDir) {
        curl_easy_setopt(m_pCurlSession, CURLOPT_FTP_CREATE_MISSING_DIRS,
                         static_cast<long>(CURLFTP_CREATE_DIR));
    }
    if (pPostQuote) {
        curl_easy_setopt(m_pCurlSession, CURLOPT_POSTQUOTE, pPostQuote.get());
    }
    ApplyCredentialsAndSessionOptions();

    const CURLcode res = curl_easy_perform(m_pCurlSession);

    Finish(res);
    ifsInput.close();
    // The handle keeps the list pointer; clear it before the list goes.
    curl_easy_setopt(m_pCurlSession, CURLOPT_POSTQUOTE, static_cast<struct curl_slist*>(nullptr));
    if (res != CURLE_OK) {
        Log(StringFormat("[FTPClient][Error] Unable to upload file %s (Error = %d | %s).",
                         strLocalFile.c_str(), static_cast<int>(res), curl_easy_strerror(res)));
        return false;
    }
    return true;
}

bool CFTPClient::DownloadFile(const std::string& strLocalFile,
                              const std::string& strRemoteFile) const {
    BeginOperation();
    if (strLocalFile.empty() || strRemoteFile.empty()) return false;
    if (!CheckSession()) return false;
    curl_easy_reset(m_pCurlSession);

    const std::string strURL = ParseURL(strRemoteFile);

    std::ofstream ofsOutput(strLocalFile,
                            std::ofstream::out | std::ofstream::binary | std::ofstream::trunc);
    if (!ofsOutput.is_open()) {
        Log(StringFormat("[FTPClient][Error] Unable to open local file %s in "
                         "CFTPClient::DownloadFile().",
                         strLocalFile.c_str()));
        return false;
    }

    curl_easy_setopt(m_pCurlSession, CURLOPT_URL, strURL.c_str());
    curl_easy_setopt(m_pCurlSession, CURLOPT_WRITEFUNCTION, &CFTPClient::WriteToFileCallback);
    curl_easy_setopt(m_pCurlSession, CURLOPT_WRITEDATA, static_cast<void*>(&ofsOutput));
    ApplyCredentialsAndSessionOptions();

    CURLcode res = curl_easy_perform(m_pCurlSession);

    Finish(res);
    ofsOutput.close();
    // A file that could not be flushed to the disk is as broken as a broken transfer.
    if (res == CURLE_OK && ofsOutput.fail()) res = CURLE_WRITE_ERROR;
    if (res != CURLE_OK) {
        std::remove(strLocalFile.c_str());
        Log(StringFormat("[FTPClient][Error] Unable to import remote File %s/%s (Error = %d | %s).",
                         m_strServer.c_str(), strRemoteFile.c_str(), static_cast<int>(res),
                         curl_easy_strerror(res)));
        return false;
    }
    return true;
}

bool CFTPClient::DownloadFile(const std::string& strRemoteFile, std::vector<char>& data) const {
    BeginOperation();
    if (strRemoteFile.empty()) return false;
    if (!CheckSession()) return false;
    curl_easy_reset(m_pCurlSession);

    const std::string strURL = ParseURL(strRemoteFile);
    data.clear();

    curl_easy_setopt(m_pCurlSession, CURLOPT_URL, strURL.c_str());
    curl_easy_setopt(m_pCurlSession, CURLOPT_WRITEFUNCTION, &CFTPClient::WriteToMemory);
    curl_easy_setopt(m_pCurlSession, CURLOPT_WRITEDATA, static_cast<void*>(&data));
    ApplyCredentialsAndSessionOptions();

    const CURLcode res = curl_easy_perform(m_pCurlSession);

    Finish(res);
    if (res != CURLE_OK) {
        Log(StringFormat("[FTPClient][Error] Unable to import remote File %s/%s (Error = %d | %s).",
                         m_strServer.c_str(), strRemoteFile.c_str(), static_cast<int>(res),
                         curl_easy_strerror(res)));
        return false;
    }
    return true;
}

bool CFTPClient::List(const std::string& strRemoteFolder, std::string& strList,
                      bool bOnlyNames) const {
    BeginOperation();
    if (strRemoteFolder.empty()) return false;
    if (!CheckSession()) return false;
    curl_easy_reset(m_pCurlSession);

    const std::string strURL = ParseURL(strRemoteFolder);

    curl_easy_setopt(m_pCurlSession, CURLOPT_URL, strURL.c_str());
    if (bOnlyNames) {
        curl_easy_setopt(m_pCurlSession, CURLOPT_DIRLISTONLY, 1L);
    }
    curl_easy_setopt(m_pCurlSession, CURLOPT_WRITEFUNCTION, &CFTPClient::WriteInStringCallback);
    curl_easy_setopt(m_pCurlSession, CURLOPT_WRITEDATA, static_cast<void*>(&strList));
    ApplyCredentialsAndSessionOptions();

    const CURLcode res = curl_easy_perform(m_pCurlSession);

    Finish(res);
    if (res != CURLE_OK) {
        Log(StringFormat("[FTPClient][Error] Unable to connect to remote folder %s (Error = %d | "
                         "%s).",
                         strRemoteFolder.c_str(), static_cast<int>(res), curl_easy_strerror(res)));
        return false;
    }
    return true;
}

bool CFTPClient::Info(const std::string& strRemoteFile, FileInfo& oFileInfo) const {
    BeginOperation();
    if (strRemoteFile.empty()) return false;
    if (!CheckSession()) return false;
    curl_easy_reset(m_pCurlSession);

    const std::string strURL = ParseURL(strRemoteFile);
    oFileInfo.tFileMTime = 0;
    oFileInfo.dFileSize = 0.0;

    curl_easy_setopt(m_pCurlSession, CURLOPT_URL, strURL.c_str());
    curl_easy_setopt(m_pCurlSession, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(m_pCurlSession, CURLOPT_FILETIME, 1L);
    curl_easy_setopt(m_pCurlSession, CURLOPT_HEADERFUNCTION, &CFTPClient::ThrowAwayCallback);
    curl_easy_setopt(m_pCurlSession, CURLOPT_HEADER, 0L);
    ApplyCredentialsAndSessionOptions();

    const CURLcode res = curl_easy_perform(m_pCurlSession);

    Finish(res);
    if (res != CURLE_OK) {
        Log(StringFormat("[FTPClient][Error] Unable to get file %s's info (Error = %d | %s).",
                         strRemoteFile.c_str(), static_cast<int>(res), curl_easy_strerror(res)));
        return false;
    }

    // A time that does not fit the 32-bit field counts as unknown rather than wrapping. A
    // libcurl with a 32-bit time_t (the board's) caps later times at INT32_MAX, so that value
    // counts as unknown too; the 64-bit form of the query avoids a second cap at LONG_MAX.
    curl_off_t tFileTime = -1;
    if (curl_easy_getinfo(m_pCurlSession, CURLINFO_FILETIME_T, &tFileTime) != CURLE_OK ||
        tFileTime < 0 || tFileTime >= static_cast<curl_off_t>(INT32_MAX)) {
        return false;
    }
    oFileInfo.tFileMTime = static_cast<std::int32_t>(tFileTime);

    double dSize = -1.0;
    if (curl_easy_getinfo(m_pCurlSession, CURLINFO_CONTENT_LENGTH_DOWNLOAD, &dSize) != CURLE_OK ||
        dSize < 0.0) {
        return false;
    }
    oFileInfo.dFileSize = dSize;
    return true;
}

bool CFTPClient::RunQuoteCommand(const std::string& strRemotePath, const char* szFtpPrefix,
                                 const char* szSftpPrefix, const bool bCreateDir,
                                 const char* szError) const {
    BeginOperation();
    if (strRemotePath.empty()) return false;
    if (!CheckSession()) return false;
    curl_easy_reset(m_pCurlSession);

    std::string strURL;
    std::string strArgument;
    std::string strCommandArgument;
    if (m_eFtpProtocol == SFTP) {
        strURL = ParseURL("");
        strArgument = strRemotePath;
        strCommandArgument = QuoteSftpArgument(strArgument);
    } else {
        const size_t uSlash = strRemotePath.rfind('/');
        if (uSlash == std::string::npos) {
            strURL = ParseURL("");
            strArgument = strRemotePath;
        } else {
            strURL = ParseURL(strRemotePath.substr(0, uSlash)) + "//";
            strArgument = strRemotePath.substr(uSlash + 1);
        }
    }
    if (strCommandArgument.empty()) strCommandArgument = strArgument;
    const std::string strCommand =
        (m_eFtpProtocol == SFTP ? szSftpPrefix : szFtpPrefix) + strCommandArgument;

    struct curl_slist* pHeaderList = curl_slist_append(nullptr, strCommand.c_str());
    if (pHeaderList == nullptr) return false;

    curl_easy_setopt(m_pCurlSession, CURLOPT_URL, strURL.c_str());
    curl_easy_setopt(m_pCurlSession, CURLOPT_POSTQUOTE, pHeaderList);
    curl_easy_setopt(m_pCurlSession, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(m_pCurlSession, CURLOPT_HEADER, 1L);
    if (bCreateDir) {
        curl_easy_setopt(m_pCurlSession, CURLOPT_FTP_CREATE_MISSING_DIRS,
                         static_cast<long>(CURLFTP_CREATE_DIR));
        curl_easy_setopt(m_pCurlSession, CURLOPT_TCP_KEEPALIVE, 0L);
    }
    ApplyCredentialsAndSessionOptions();

    const CURLcode res = curl_easy_perform(m_pCurlSession);

    Finish(res);
    // The handle keeps the list pointer; clear it before the list goes.
    curl_easy_setopt(m_pCurlSession, CURLOPT_POSTQUOTE, static_cast<struct curl_slist*>(nullptr));
    curl_slist_free_all(pHeaderList);

    if (res != CURLE_OK) {
        Log(StringFormat(szError, strArgument.c_str(), static_cast<int>(res),
                         curl_easy_strerror(res)));
        return false;
    }
    return true;
}

bool CFTPClient::RemoveFile(const std::string& strRemoteFile) const {
    return RunQuoteCommand(strRemoteFile, "DELE ", "rm ", false,
                           "[FTPClient][Error] Unable to remove file %s (Error = %d | %s).");
}

bool CFTPClient::RemoveDir(const std::string& strRemoteFolder) const {
    return RunQuoteCommand(strRemoteFolder, "RMD ", "rmdir ", false,
                           "[FTPClient][Error] Unable to remove directory %s (Error = %d | %s).");
}

bool CFTPClient::CreateDir(const std::string& strNewDir) const {
    return RunQuoteCommand(strNewDir, "MKD ", "mkdir ", true,
                           "[FTPClient][Error] Unable to create directory %s (Error = %d | %s).");
}

bool CFTPClient::DownloadWildcard(const std::string& strLocalDir,
                                  const std::string& strRemoteWildcard) const {
    BeginOperation();
    if (strLocalDir.empty() || strRemoteWildcard.empty()) return false;
    if (!CheckSession()) return false;
    curl_easy_reset(m_pCurlSession);

    WildcardTransfersCallbackData data;
    data.strOutputPath = strLocalDir + (strLocalDir.back() == '/' ? "" : "/");
    data.pLog = (m_eSettingsFlags & LOG_ERRORS) ? &m_oLog : nullptr;

    const std::string strURL = ParseURL(strRemoteWildcard);

    struct stat dirStat {};
    if (stat(data.strOutputPath.c_str(), &dirStat) != 0 || !S_ISDIR(dirStat.st_mode)) {
        Log(StringFormat("[FTPClient][Error] %s is not a directory or it doesn't exist in "
                         "CFTPClient::DownloadWildcard().",
                         data.strOutputPath.c_str()));
        return false;
    }

    curl_easy_setopt(m_pCurlSession, CURLOPT_WILDCARDMATCH, 1L);
    curl_easy_setopt(m_pCurlSession, CURLOPT_CHUNK_BGN_FUNCTION, &ChunkBeginTrampoline);
    curl_easy_setopt(m_pCurlSession, CURLOPT_WRITEFUNCTION, &CFTPClient::WriteItCallback);
    curl_easy_setopt(m_pCurlSession, CURLOPT_CHUNK_END_FUNCTION, &ChunkEndTrampoline);
    curl_easy_setopt(m_pCurlSession, CURLOPT_CHUNK_DATA, static_cast<void*>(&data));
    curl_easy_setopt(m_pCurlSession, CURLOPT_WRITEDATA, static_cast<void*>(&data));
    curl_easy_setopt(m_pCurlSession, CURLOPT_URL, strURL.c_str());
    ApplyCredentialsAndSessionOptions();

    const CURLcode res = curl_easy_perform(m_pCurlSession);

    Finish(res);
    if (data.ofsOutput.is_open()) {
        // The transfer broke off in the middle of a file: leave no partial copy behind.
        data.ofsOutput.close();
        std::remove(data.strCurrentFile.c_str());
    }
    if (res != CURLE_OK && res != CURLE_REMOTE_FILE_NOT_FOUND) {
        Log(StringFormat("[FTPClient][Error] Unable to import elements %s/%s (Error = %d | %s).",
                         m_strServer.c_str(), strRemoteWildcard.c_str(), static_cast<int>(res),
                         curl_easy_strerror(res)));
        return false;
    }

    if (data.vecDirList.empty() || strRemoteWildcard.back() != '*') return true;

    std::string strBaseUrl = strRemoteWildcard.substr(0, strRemoteWildcard.length() - 1);
    if (!strBaseUrl.empty() && strBaseUrl.back() != '/') strBaseUrl += "/";

    bool bResult = true;
    for (const std::string& strDir : data.vecDirList) {
        if (strDir == "." || strDir == "..") continue;
        const std::string strLocalSub = data.strOutputPath + strDir;
        const std::string strRemoteSub = strBaseUrl + strDir + "/*";
        if (!DownloadWildcard(strLocalSub, strRemoteSub)) {
            m_oLog(StringFormat("[FTPClient][Error] Encountered a problem while importing %s to %s.",
                                strRemoteSub.c_str(), strLocalSub.c_str()));
            bResult = false;
        }
    }
    return bResult;
}

void CFTPClient::BeginOperation(bool bKeepsMode) const {
    m_LastResult = OperationResult();
    if (!bKeepsMode) m_bBinaryMode = false;
}

void CFTPClient::Finish(CURLcode eCode) const {
    m_LastResult.eCurlCode = eCode;
    long lCode = 0;
    if (curl_easy_getinfo(m_pCurlSession, CURLINFO_RESPONSE_CODE, &lCode) == CURLE_OK) {
        m_LastResult.lResponseCode = lCode;
    }
    long lConnects = 0;
    curl_easy_getinfo(m_pCurlSession, CURLINFO_NUM_CONNECTS, &lConnects);
    m_LastResult.bReusedConnection = lConnects == 0 && m_bConnectionWorked;
    // A connection "worked" once the server answered on it; a new one has to earn that.
    if (eCode == CURLE_OK || m_LastResult.lResponseCode > 0) {
        m_bConnectionWorked = true;
    } else if (lConnects > 0) {
        m_bConnectionWorked = false;
    }
}

void CFTPClient::SetResolvedAddresses(const std::vector<std::string>& vecEntries) {
    std::unique_ptr<struct curl_slist, decltype(&curl_slist_free_all)> pList(nullptr,
                                                                            &curl_slist_free_all);
    for (const std::string& strEntry : vecEntries) {
        struct curl_slist* pNew = curl_slist_append(pList.get(), strEntry.c_str());
        if (pNew == nullptr) return;  // out of memory: libcurl keeps resolving by itself
        pList.release();
        pList.reset(pNew);
    }
    m_pResolve = std::move(pList);
}

bool CFTPClient::Fail(CURLcode eCode, const std::string& strMessage) const {
    m_LastResult.eCurlCode = eCode;
    Log(strMessage);
    return false;
}

std::string CFTPClient::AbsolutePath(const std::string& strRemote) const {
    const std::string strHost = m_strServer.substr(SchemeLength(m_strServer));
    const size_t uSlash = strHost.find('/');
    const std::string strJoined =
        (uSlash == std::string::npos ? std::string() : strHost.substr(uSlash)) + "/" + strRemote;
    std::string strPath = "/";
    for (const char c : strJoined) {
        if (c != '/' || strPath.back() != '/') strPath += c;
    }
    return strPath;
}

std::string CFTPClient::PathURL(const std::string& strAbsolutePath) const {
    const size_t uSchemeLength = SchemeLength(m_strServer);
    std::string strScheme = m_strServer.substr(0, uSchemeLength);
    if (strScheme.empty()) {
        switch (m_eFtpProtocol) {
        case FTPS: strScheme = "ftps://"; break;
        case SFTP: strScheme = "sftp://"; break;
        default: strScheme = "ftp://"; break;
        }
    }
    const std::string strHost = m_strServer.substr(uSchemeLength);
    std::string strURL = strScheme + strHost.substr(0, strHost.find('/'));
    // FTP URLs name paths relative to the login folder; "//" makes them absolute. SFTP URLs
    // name absolute paths already.
    if (m_eFtpProtocol != SFTP) strURL += "/";
    static const char kHex[] = "0123456789ABCDEF";
    for (const char c : strAbsolutePath) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (std::isalnum(u) || c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
            strURL += c;
        } else {
            strURL += '%';
            strURL += kHex[u >> 4];
            strURL += kHex[u & 0x0F];
        }
    }
    return strURL;
}

CURLcode CFTPClient::RunCommands(const std::vector<std::string>& vecCommands,
                                 std::string* pReplies) const {
    curl_easy_reset(m_pCurlSession);
    std::unique_ptr<struct curl_slist, decltype(&curl_slist_free_all)> pList(nullptr,
                                                                            &curl_slist_free_all);
    for (const std::string& strCommand : vecCommands) {
        struct curl_slist* pNew = curl_slist_append(pList.get(), strCommand.c_str());
        if (pNew == nullptr) return CURLE_OUT_OF_MEMORY;
        pList.release();
        pList.reset(pNew);
    }
    const std::string strURL = PathURL("/");
    curl_easy_setopt(m_pCurlSession, CURLOPT_URL, strURL.c_str());
    curl_easy_setopt(m_pCurlSession, CURLOPT_QUOTE, pList.get());
    curl_easy_setopt(m_pCurlSession, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(m_pCurlSession, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
    if (pReplies != nullptr) {
        curl_easy_setopt(m_pCurlSession, CURLOPT_HEADERFUNCTION, &CFTPClient::WriteInStringCallback);
        curl_easy_setopt(m_pCurlSession, CURLOPT_HEADERDATA, static_cast<void*>(pReplies));
    }
    ApplyCredentialsAndSessionOptions();
    const CURLcode res = curl_easy_perform(m_pCurlSession);
    Finish(res);
    // The handle keeps the list pointer; clear it before the list goes.
    curl_easy_setopt(m_pCurlSession, CURLOPT_QUOTE, static_cast<struct curl_slist*>(nullptr));
    return res;
}

namespace {

// A path that would smuggle a second command into an FTP command line.
bool HasLineBreak(const std::string& strText) {
    return strText.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

// The number after "<code> " on the last reply line that starts so ("213 1234"), or after
// "size=" in the facts of an MLST reply; -1 when there is none.
std::int64_t ReplyNumber(const std::string& strReplies, const std::string& strKey) {
    const size_t uAt = strReplies.rfind(strKey);
    if (uAt == std::string::npos) return -1;
    size_t i = uAt + strKey.size();
    std::int64_t iValue = 0;
    bool bDigits = false;
    for (; i < strReplies.size() && std::isdigit(static_cast<unsigned char>(strReplies[i])); ++i) {
        if (iValue > (INT64_MAX - 9) / 10) return -1;
        iValue = iValue * 10 + (strReplies[i] - '0');
        bDigits = true;
    }
    return bDigits ? iValue : -1;
}

// An MLST reply's facts, lower-cased, so "Size=" and "size=" read alike.
std::string Lowered(std::string strText) {
    for (char& c : strText) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return strText;
}

}  // namespace

bool CFTPClient::GetFileSize(const std::string& strRemoteFile, bool& bPresent,
                             std::int64_t& iSize) const {
    BeginOperation(true);
    bPresent = false;
    iSize = 0;
    if (strRemoteFile.empty() || HasLineBreak(strRemoteFile)) {
        return Fail(CURLE_BAD_FUNCTION_ARGUMENT,
                    "[FTPClient][Error] Invalid remote file in CFTPClient::GetFileSize().");
    }
    if (!CheckSession()) return false;
    const std::string strPath = AbsolutePath(strRemoteFile);
    if (m_eFtpProtocol != SFTP) return FtpFileSize(strPath, bPresent, iSize);

    curl_easy_reset(m_pCurlSession);
    const std::string strURL = PathURL(strPath);
    curl_easy_setopt(m_pCurlSession, CURLOPT_URL, strURL.c_str());
    curl_easy_setopt(m_pCurlSession, CURLOPT_NOBODY, 1L);
    ApplyCredentialsAndSessionOptions();
    const CURLcode res = curl_easy_perform(m_pCurlSession);
    Finish(res);
    if (res == CURLE_REMOTE_FILE_NOT_FOUND) return true;
    curl_off_t iLength = -1;
    if (res == CURLE_OK &&
        curl_easy_getinfo(m_pCurlSession, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &iLength) == CURLE_OK &&
        iLength >= 0) {
        bPresent = true;
        iSize = static_cast<std::int64_t>(iLength);
        return true;
    }
    return Fail(res == CURLE_OK ? CURLE_GOT_NOTHING : res,
                StringFormat("[FTPClient][Error] Unable to get file %s's size (Error = %d | %s).",
                             strRemoteFile.c_str(), static_cast<int>(res), curl_easy_strerror(res)));
}

bool CFTPClient::FtpFileSize(const std::string& strPath, bool& bPresent, std::int64_t& iSize) const {
    // The question goes as a command of its own on the server's root: no CWD, no data
    // connection, and on a connection already in binary mode nothing but the SIZE.
    for (int iAttempt = 0; iAttempt < 2; ++iAttempt) {
        const bool bSetsMode = !m_bBinaryMode;
        std::vector<std::string> vecCommands;
        if (bSetsMode) vecCommands.push_back("TYPE I");
        vecCommands.push_back("*SIZE " + strPath);
        std::string strReplies;
        CURLcode res = RunCommands(vecCommands, &strReplies);
        long lConnects = 0;
        curl_easy_getinfo(m_pCurlSession, CURLINFO_NUM_CONNECTS, &lConnects);
        m_bBinaryMode = res == CURLE_OK && (bSetsMode || lConnects == 0);
        if (res == CURLE_OK && !bSetsMode && lConnects > 0) {
            continue;  // a new connection starts in ASCII mode: ask again in binary mode
        }
        long lCode = m_LastResult.lResponseCode;
        if (res == CURLE_OK && (lCode == 500 || lCode == 502 || lCode == 504)) {
            // No SIZE on this server: the MLST facts carry the size.
            strReplies.clear();
            res = RunCommands({"*MLST " + strPath}, &strReplies);
            lCode = m_LastResult.lResponseCode;
            if (res == CURLE_OK && lCode == 250) {
                iSize = ReplyNumber(Lowered(strReplies), "size=");
                bPresent = iSize >= 0;
                if (bPresent) return true;
                lCode = 0;
            }
        } else if (res == CURLE_OK && lCode == 213) {
            iSize = ReplyNumber(strReplies, "\n213 ");
            if (iSize < 0) iSize = ReplyNumber(strReplies, "213 ");
            bPresent = iSize >= 0;
            if (bPresent) return true;
            lCode = 0;
        }
        if (res == CURLE_OK && lCode == 550) {
            iSize = 0;
            return true;  // no such file
        }
        if (res == CURLE_OK) res = CURLE_QUOTE_ERROR;  // an answer that tells nothing
        iSize = 0;
        return Fail(res, StringFormat("[FTPClient][Error] Unable to get file %s's size (Error = %d | "
                                      "%s).",
                                      strPath.c_str(), static_cast<int>(res), curl_easy_strerror(res)));
    }
    return Fail(CURLE_QUOTE_ERROR, "[FTPClient][Error] Unable to get file " + strPath +
                                       "'s size: the server keeps opening new connections.");
}

CURLcode CFTPClient::SendFromFd(int iFd, std::int64_t iSize, std::int64_t iOffset,
                                const std::string& strURL, bool& bReadFailed) const {
    curl_easy_reset(m_pCurlSession);
    FdSource source{iFd, iOffset, iSize, false};
    curl_easy_setopt(m_pCurlSession, CURLOPT_URL, strURL.c_str());
    curl_easy_setopt(m_pCurlSession, CURLOPT_READFUNCTION, &CFTPClient::ReadFromFdCallback);
    curl_easy_setopt(m_pCurlSession, CURLOPT_READDATA, static_cast<void*>(&source));
    curl_easy_setopt(m_pCurlSession, CURLOPT_INFILESIZE_LARGE,
                     static_cast<curl_off_t>(iSize - iOffset));
    curl_easy_setopt(m_pCurlSession, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(m_pCurlSession, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
    if (iOffset > 0) curl_easy_setopt(m_pCurlSession, CURLOPT_APPEND, 1L);
    if (m_eFtpProtocol == SFTP) {
        // libcurl makes SFTP folders only after the file could not be opened.
        curl_easy_setopt(m_pCurlSession, CURLOPT_FTP_CREATE_MISSING_DIRS,
                         static_cast<long>(CURLFTP_CREATE_DIR));
    }
    ApplyCredentialsAndSessionOptions();
    CURLcode res = curl_easy_perform(m_pCurlSession);
    Finish(res);
    curl_off_t iSent = 0;
    curl_easy_getinfo(m_pCurlSession, CURLINFO_SIZE_UPLOAD_T, &iSent);
    m_LastResult.iBytesSent = static_cast<std::int64_t>(iSent);
    bReadFailed = source.bFailed;
    if (source.bFailed) {
        res = CURLE_READ_ERROR;
        m_LastResult.eCurlCode = res;
    }
    long lConnects = 0;
    curl_easy_getinfo(m_pCurlSession, CURLINFO_NUM_CONNECTS, &lConnects);
    // libcurl puts the connection in binary mode for the upload itself.
    m_bBinaryMode = res == CURLE_OK || (m_bBinaryMode && lConnects == 0);
    return res;
}

bool CFTPClient::UploadFromFd(int iFd, std::int64_t iSize, std::int64_t iOffset,
                              const std::string& strRemoteFile) const {
    BeginOperation(true);
    if (iFd < 0 || iSize < 0 || iOffset < 0 || iOffset > iSize || strRemoteFile.empty() ||
        HasLineBreak(strRemoteFile) || strRemoteFile.back() == '/') {
        return Fail(CURLE_BAD_FUNCTION_ARGUMENT,
                    "[FTPClient][Error] Invalid arguments in CFTPClient::UploadFromFd().");
    }
    if (!CheckSession()) return false;
    // Resuming a copy that is complete already sends nothing.
    if (iOffset == iSize && iSize > 0) return true;

    const std::string strPath = AbsolutePath(strRemoteFile);
    const std::string strURL = PathURL(strPath);
    bool bReadFailed = false;
    CURLcode res = SendFromFd(iFd, iSize, iOffset, strURL, bReadFailed);
    const long lCode = m_LastResult.lResponseCode;
    if (m_eFtpProtocol != SFTP && !bReadFailed && lCode >= 500 && lCode < 600 &&
        (res == CURLE_UPLOAD_FAILED || res == CURLE_REMOTE_ACCESS_DENIED)) {
        // Refused: perhaps for a missing folder. Make every level below the server string's
        // path (each may exist: "*" lets it fail) and try once more.
        const std::string strBase = AbsolutePath("");
        std::vector<std::string> vecCommands;
        for (size_t uSlash = strPath.find('/', strBase.size()); uSlash != std::string::npos;
             uSlash = strPath.find('/', uSlash + 1)) {
            vecCommands.push_back("*MKD " + strPath.substr(0, uSlash));
        }
        if (!vecCommands.empty() && RunCommands(vecCommands, nullptr) == CURLE_OK) {
            res = SendFromFd(iFd, iSize, iOffset, strURL, bReadFailed);
        } else {
            // The record tells of the refused upload, not of the folder attempt.
            m_LastResult.eCurlCode = res;
            m_LastResult.lResponseCode = lCode;
        }
    }
    if (m_eFtpProtocol == SFTP && res == CURLE_SSH) {
        // libcurl reports an SFTP server's generic "failure" to open the file (a folder under
        // its name, say) with the code of a broken SSH session. A session that still answers
        // about that path shows the refusal was the file's.
        curl_easy_reset(m_pCurlSession);
        curl_easy_setopt(m_pCurlSession, CURLOPT_URL, strURL.c_str());
        curl_easy_setopt(m_pCurlSession, CURLOPT_NOBODY, 1L);
        ApplyCredentialsAndSessionOptions();
        const CURLcode eProbe = curl_easy_perform(m_pCurlSession);
        if (eProbe == CURLE_OK || eProbe == CURLE_REMOTE_FILE_NOT_FOUND ||
            eProbe == CURLE_REMOTE_ACCESS_DENIED) {
            res = CURLE_UPLOAD_FAILED;
        }
        m_LastResult.eCurlCode = res;
    }
    if (res != CURLE_OK) {
        const CURLcode eCode = res;
        const long lLast = m_LastResult.lResponseCode;
        Log(StringFormat("[FTPClient][Error] Unable to upload file %s (Error = %d | %s).",
                         strRemoteFile.c_str(), static_cast<int>(eCode), curl_easy_strerror(eCode)));
        m_LastResult.eCurlCode = eCode;
        m_LastResult.lResponseCode = lLast;
        return false;
    }
    return true;
}

bool CFTPClient::Rename(const std::string& strFrom, const std::string& strTo) const {
    BeginOperation(true);
    if (strFrom.empty() || strTo.empty() || HasLineBreak(strFrom) || HasLineBreak(strTo)) {
        return Fail(CURLE_BAD_FUNCTION_ARGUMENT,
                    "[FTPClient][Error] Invalid remote names in CFTPClient::Rename().");
    }
    if (!CheckSession()) return false;
    const std::string strFromPath = AbsolutePath(strFrom);
    const std::string strToPath = AbsolutePath(strTo);
    std::vector<std::string> vecCommands;
    if (m_eFtpProtocol == SFTP) {
        vecCommands.push_back("rename " + QuoteSftpArgument(strFromPath) + " " +
                              QuoteSftpArgument(strToPath));
    } else {
        vecCommands.push_back("RNFR " + strFromPath);
        vecCommands.push_back("RNTO " + strToPath);
    }
    const CURLcode res = RunCommands(vecCommands, nullptr);
    long lConnects = 0;
    curl_easy_getinfo(m_pCurlSession, CURLINFO_NUM_CONNECTS, &lConnects);
    if (lConnects > 0) m_bBinaryMode = false;
    if (res != CURLE_OK) {
        return Fail(res, StringFormat("[FTPClient][Error] Unable to rename %s to %s (Error = %d | %s).",
                                      strFrom.c_str(), strTo.c_str(), static_cast<int>(res),
                                      curl_easy_strerror(res)));
    }
    return true;
}

bool CFTPClient::MakeFolder(const std::string& strRemoteFolder) const {
    return FolderCommand(strRemoteFolder, "MKD ", "mkdir ", "create");
}

bool CFTPClient::RemoveFolder(const std::string& strRemoteFolder) const {
    return FolderCommand(strRemoteFolder, "RMD ", "rmdir ", "remove");
}

bool CFTPClient::FolderExists(const std::string& strRemoteFolder, bool& bPresent) const {
    bPresent = false;
    if (m_eFtpProtocol == SFTP) {
        BeginOperation(true);
        return Fail(CURLE_UNSUPPORTED_PROTOCOL, "[FTPClient][Error] No folder check over SFTP.");
    }
    if (FolderCommand(strRemoteFolder, "CWD ", "", "enter")) {
        bPresent = true;
        return true;
    }
    // Absent: the server answered, the connection stays.
    return m_LastResult.eCurlCode == CURLE_QUOTE_ERROR && m_LastResult.lResponseCode == 550;
}

bool CFTPClient::FolderCommand(const std::string& strRemoteFolder, const char* szFtp, const char* szSftp,
                               const char* szWhat) const {
    BeginOperation(true);
    if (strRemoteFolder.empty() || HasLineBreak(strRemoteFolder)) {
        return Fail(CURLE_BAD_FUNCTION_ARGUMENT,
                    "[FTPClient][Error] Invalid remote folder in CFTPClient::FolderCommand().");
    }
    if (!CheckSession()) return false;
    const std::string strPath = AbsolutePath(strRemoteFolder);
    // FTP: "*" keeps libcurl from dropping the connection when the server says no (a claim
    // held by someone else is an everyday answer); the reply code tells.
    const std::string strCommand = m_eFtpProtocol == SFTP ? std::string(szSftp) + QuoteSftpArgument(strPath)
                                                          : "*" + std::string(szFtp) + strPath;
    CURLcode res = RunCommands({strCommand}, nullptr);
    if (res == CURLE_OK && m_eFtpProtocol != SFTP && m_LastResult.lResponseCode >= 400) res = CURLE_QUOTE_ERROR;
    long lConnects = 0;
    curl_easy_getinfo(m_pCurlSession, CURLINFO_NUM_CONNECTS, &lConnects);
    if (lConnects > 0) m_bBinaryMode = false;
    if (res != CURLE_OK) {
        return Fail(res, StringFormat("[FTPClient][Error] Unable to %s folder %s (Error = %d | %s).", szWhat,
                                      strRemoteFolder.c_str(), static_cast<int>(res), curl_easy_strerror(res)));
    }
    return true;
}

size_t CFTPClient::ReadFromFdCallback(char* pBuffer, size_t iSize, size_t iCount, void* pSource) {
    auto* pFrom = static_cast<FdSource*>(pSource);
    const std::int64_t iLeft = pFrom->iEnd - pFrom->iNext;
    if (iLeft <= 0) return 0;
    size_t uWant = iSize * iCount;
    if (static_cast<std::uint64_t>(iLeft) < uWant) uWant = static_cast<size_t>(iLeft);
    // A file offset beyond what off_t holds cannot be read here (32-bit off_t).
    if (pFrom->iNext > static_cast<std::int64_t>(std::numeric_limits<off_t>::max())) {
        pFrom->bFailed = true;
        return CURL_READFUNC_ABORT;
    }
    ssize_t iRead;
    do {
        iRead = ::pread(pFrom->iFd, pBuffer, uWant, static_cast<off_t>(pFrom->iNext));
    } while (iRead < 0 && errno == EINTR);
    // An error or a file shorter than announced must not end the upload as if complete.
    if (iRead <= 0) {
        pFrom->bFailed = true;
        return CURL_READFUNC_ABORT;
    }
    pFrom->iNext += iRead;
    return static_cast<size_t>(iRead);
}

size_t CFTPClient::ReadFromFileCallback(char* pBuffer, size_t iSize, size_t iCount,
                                        void* pStream) {
    auto* pInput = static_cast<std::ifstream*>(pStream);
    if (pInput == nullptr || !pInput->is_open()) return 0;
    pInput->read(pBuffer, static_cast<std::streamsize>(iSize * iCount));
    // A read error must not pass for the end of the file: that would store a cut copy.
    if (pInput->bad()) return CURL_READFUNC_ABORT;
    return static_cast<size_t>(pInput->gcount());
}

size_t CFTPClient::WriteToFileCallback(char* pBuffer, size_t iSize, size_t iCount,
                                       void* pStream) {
    auto* pOutput = static_cast<std::ofstream*>(pStream);
    if (iSize == 0 || iCount == 0 || pOutput == nullptr) return 0;
    // Bytes that do not reach the file end the transfer (libcurl reports a write error).
    if (!pOutput->is_open()) return 0;
    pOutput->write(pBuffer, static_cast<std::streamsize>(iSize * iCount));
    return pOutput->good() ? iSize * iCount : 0;
}

size_t CFTPClient::WriteToMemory(char* pBuffer, size_t iSize, size_t iCount, void* pData) {
    auto* pVector = static_cast<std::vector<char>*>(pData);
    if (iSize == 0 || iCount == 0 || pVector == nullptr) return 0;
    try {
        pVector->insert(pVector->end(), pBuffer, pBuffer + iSize * iCount);
    } catch (...) {
        return 0;  // out of memory: libcurl ends the transfer with a write error
    }
    return iSize * iCount;
}

size_t CFTPClient::WriteInStringCallback(char* pBuffer, size_t iSize, size_t iCount,
                                         void* pString) {
    auto* pText = static_cast<std::string*>(pString);
    if (pText == nullptr) return 0;
    try {
        pText->append(pBuffer, iSize * iCount);
    } catch (...) {
        return 0;
    }
    return iSize * iCount;
}

size_t CFTPClient::WriteItCallback(char* pBuffer, size_t iSize, size_t iCount, void* pData) {
    auto* pWildcard = static_cast<WildcardTransfersCallbackData*>(pData);
    if (pWildcard == nullptr || !pWildcard->ofsOutput.is_open()) return 0;
    pWildcard->ofsOutput.write(pBuffer, static_cast<std::streamsize>(iSize * iCount));
    return pWildcard->ofsOutput.good() ? iCount : 0;
}

size_t CFTPClient::ThrowAwayCallback(char* /*pBuffer*/, size_t iSize, size_t iCount,
                                     void* /*pData*/) {
    return iSize * iCount;
}

long CFTPClient::FileIsComingCallback(struct curl_fileinfo* pFileInfo,
                                      WildcardTransfersCallbackData* pData, int /*iRemains*/) {
    if (pFileInfo == nullptr || pData == nullptr || pFileInfo->filename == nullptr) {
        return CURL_CHUNK_BGN_FUNC_FAIL;
    }
    // Only the members before "time": the board's libcurl has a 32-bit time_t and this build
    // a 64-bit one, so the two disagree on where every later member lies.
    const std::string strName = pFileInfo->filename;
    const bool bFile = pFileInfo->filetype == CURLFILETYPE_FILE;
    const bool bDirectory = pFileInfo->filetype == CURLFILETYPE_DIRECTORY;
    if (!bFile && !bDirectory) return CURL_CHUNK_BGN_FUNC_OK;

    // A listing's own "." and ".." entries name directories that exist already.
    if (bDirectory && (strName == "." || strName == "..")) return CURL_CHUNK_BGN_FUNC_SKIP;
    // The server chooses these names: one that is not a plain name would make us write
    // outside the local directory.
    if (strName.empty() || strName == "." || strName == ".." ||
        strName.find('/') != std::string::npos) {
        if (pData->pLog != nullptr && *pData->pLog) {
            (*pData->pLog)(StringFormat("[FTPClient][Error] Skipping remote entry \"%s\" in "
                                        "CFTPClient::DownloadWildcard(): its name would lead "
                                        "outside %s.",
                                        strName.c_str(), pData->strOutputPath.c_str()));
        }
        return CURL_CHUNK_BGN_FUNC_SKIP;
    }

    const std::string strLocalPath = pData->strOutputPath + strName;
    if (bFile) {
        pData->strCurrentFile = strLocalPath;
        pData->ofsOutput.open(strLocalPath,
                              std::ofstream::out | std::ofstream::binary | std::ofstream::trunc);
        return pData->ofsOutput.is_open() ? CURL_CHUNK_BGN_FUNC_OK : CURL_CHUNK_BGN_FUNC_FAIL;
    }

    pData->vecDirList.push_back(strName);
    if (mkdir(strLocalPath.c_str(), 0777) != 0 && errno != EEXIST) {
        const int iError = errno;
        std::cerr << "Problem creating directory (errno=" << iError << "): " << strLocalPath
                  << std::endl;
        return CURL_CHUNK_BGN_FUNC_FAIL;
    }
    return CURL_CHUNK_BGN_FUNC_OK;
}

long CFTPClient::FileIsDownloadedCallback(WildcardTransfersCallbackData* pData) {
    if (pData != nullptr && pData->ofsOutput.is_open()) {
        pData->ofsOutput.close();
        // A file that did not reach the disk whole fails the transfer instead of passing.
        if (pData->ofsOutput.fail()) {
            pData->ofsOutput.clear();
            std::remove(pData->strCurrentFile.c_str());
            return CURL_CHUNK_END_FUNC_FAIL;
        }
    }
    return CURL_CHUNK_END_FUNC_OK;
}

}  // namespace tarnwick

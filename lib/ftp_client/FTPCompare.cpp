// Identity by content: whether a remote file holds the bytes of a local one, by the server's
// digest where it offers one, by a download otherwise.
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <sstream>

#include "FTPClient.h"

namespace tarnwick {

namespace {

bool HasControlCharacter(const std::string& strText) {
    for (const char c : strText) {
        if (c == '\r' || c == '\n' || c == '\0') return true;
    }
    return false;
}

std::string Upper(std::string strText) {
    for (char& c : strText) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return strText;
}

const EVP_MD* DigestNamed(const std::string& strAlgorithm) {
    const std::string strName = Upper(strAlgorithm);
    if (strName == "SHA-256") return EVP_sha256();
    if (strName == "SHA-512") return EVP_sha512();
    if (strName == "SHA-1") return EVP_sha1();
    if (strName == "MD5") return EVP_md5();
    return nullptr;
}

// The HASH algorithm of an X* command.
const char* AlgorithmOfCommand(const std::string& strCommand) {
    if (strCommand == "XSHA256") return "SHA-256";
    if (strCommand == "XSHA512") return "SHA-512";
    if (strCommand == "XSHA1") return "SHA-1";
    if (strCommand == "XMD5") return "MD5";
    return "";
}

// The blank-separated words of the final reply line ("213 SHA-256 0-99 ab12... name").
std::vector<std::string> FinalReplyWords(const std::string& strReplies) {
    std::string strLine;
    std::istringstream issReplies(strReplies);
    for (std::string strNext; std::getline(issReplies, strNext);) {
        if (!strNext.empty() && strNext.back() == '\r') strNext.pop_back();
        // A final reply line is three digits and a blank.
        if (strNext.size() >= 4 && std::isdigit(static_cast<unsigned char>(strNext[0])) &&
            std::isdigit(static_cast<unsigned char>(strNext[1])) &&
            std::isdigit(static_cast<unsigned char>(strNext[2])) && strNext[3] == ' ') {
            strLine = strNext;
        }
    }
    std::vector<std::string> vecWords;
    std::istringstream issLine(strLine);
    for (std::string strWord; issLine >> strWord;) vecWords.push_back(strWord);
    return vecWords;
}

bool IsHexOfLength(const std::string& strText, size_t uLength) {
    if (strText.size() != uLength) return false;
    for (const char c : strText) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

std::string Lower(std::string strText) {
    for (char& c : strText) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return strText;
}

}  // namespace

std::string CFTPClient::DigestOfFd(int iFd, std::int64_t iSize, const std::string& strAlgorithm) {
    const EVP_MD* pType = DigestNamed(strAlgorithm);
    if (pType == nullptr || iFd < 0 || iSize < 0 ||
        iSize > static_cast<std::int64_t>(std::numeric_limits<off_t>::max())) {
        return std::string();
    }
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> pContext(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!pContext || EVP_DigestInit_ex(pContext.get(), pType, nullptr) != 1) return std::string();
    std::vector<unsigned char> vecBuffer(64 * 1024);
    for (std::int64_t iAt = 0; iAt < iSize;) {
        const std::int64_t iLeft = iSize - iAt;
        const size_t uWant = iLeft < static_cast<std::int64_t>(vecBuffer.size()) ? static_cast<size_t>(iLeft)
                                                                                 : vecBuffer.size();
        ssize_t iRead;
        do {
            iRead = ::pread(iFd, vecBuffer.data(), uWant, static_cast<off_t>(iAt));
        } while (iRead < 0 && errno == EINTR);
        if (iRead <= 0) return std::string();
        if (EVP_DigestUpdate(pContext.get(), vecBuffer.data(), static_cast<size_t>(iRead)) != 1) {
            return std::string();
        }
        iAt += iRead;
    }
    unsigned char aDigest[EVP_MAX_MD_SIZE];
    unsigned int uLength = 0;
    if (EVP_DigestFinal_ex(pContext.get(), aDigest, &uLength) != 1) return std::string();
    static const char kHex[] = "0123456789abcdef";
    std::string strHex;
    for (unsigned int i = 0; i < uLength; ++i) {
        strHex += kHex[aDigest[i] >> 4];
        strHex += kHex[aDigest[i] & 0x0F];
    }
    return strHex;
}

bool CFTPClient::KnowDigestCommands() const {
    if (m_bFeaturesKnown) return true;
    std::string strReplies;
    // "*": a server without FEAT simply offers nothing.
    const CURLcode res = RunCommands({"*FEAT"}, &strReplies);
    long lConnects = 0;
    curl_easy_getinfo(m_pCurlSession, CURLINFO_NUM_CONNECTS, &lConnects);
    if (lConnects > 0) m_bBinaryMode = false;
    if (res != CURLE_OK) return false;
    const long lCode = m_LastResult.lResponseCode;
    if (lCode >= 400 && lCode < 500) {
        m_LastResult.eCurlCode = CURLE_QUOTE_ERROR;  // "try again later" tells nothing yet
        return false;
    }
    m_vecHashAlgorithms.clear();
    m_strHashCurrent.clear();
    m_vecDigestCommands.clear();
    if (lCode == 211) {
        // Feature lines start with a blank: " HASH SHA-1;SHA-256*;MD5", " XSHA256".
        std::istringstream issReplies(strReplies);
        for (std::string strLine; std::getline(issReplies, strLine);) {
            if (strLine.empty() || strLine[0] != ' ') continue;
            std::istringstream issLine(strLine);
            std::string strName;
            std::string strArgument;
            issLine >> strName >> strArgument;
            strName = Upper(strName);
            if (strName == "HASH") {
                std::istringstream issAlgorithms(Upper(strArgument));
                for (std::string strAlgorithm; std::getline(issAlgorithms, strAlgorithm, ';');) {
                    const bool bCurrent = !strAlgorithm.empty() && strAlgorithm.back() == '*';
                    if (bCurrent) strAlgorithm.pop_back();
                    if (strAlgorithm.empty()) continue;
                    if (bCurrent) m_strHashCurrent = strAlgorithm;
                    m_vecHashAlgorithms.push_back(strAlgorithm);
                }
            } else if (*AlgorithmOfCommand(strName) != '\0') {
                m_vecDigestCommands.push_back(strName);
            }
        }
    }
    m_bFeaturesKnown = true;
    return true;
}

bool CFTPClient::RemoteDigest(const std::string& strPath, std::string& strAlgorithm, std::string& strDigest,
                              std::string& strHow) const {
    strDigest.clear();
    std::string strHashAlgorithm;
    for (const char* szWanted : {"SHA-256", "SHA-512", "SHA-1", "MD5"}) {
        for (const std::string& strOffered : m_vecHashAlgorithms) {
            if (strHashAlgorithm.empty() && strOffered == szWanted) strHashAlgorithm = strOffered;
        }
    }
    std::string strCommand;
    for (const char* szWanted : {"XSHA256", "XSHA512", "XSHA1", "XMD5"}) {
        for (const std::string& strOffered : m_vecDigestCommands) {
            if (strCommand.empty() && strOffered == szWanted) strCommand = strOffered;
        }
    }
    if (!strHashAlgorithm.empty()) strCommand = "HASH";
    if (strCommand.empty()) return true;
    strHow = strCommand;

    std::vector<std::string> vecCommands;
    // The choice holds for the connection it was made on; the reply names the algorithm, so
    // a connection made anew without it still gives a digest that can be checked.
    if (strCommand == "HASH" && m_strHashCurrent != strHashAlgorithm) {
        vecCommands.push_back("*OPTS HASH " + strHashAlgorithm);
    }
    vecCommands.push_back("*" + strCommand + " " + strPath);
    std::string strReplies;
    const CURLcode res = RunCommands(vecCommands, &strReplies);
    long lConnects = 0;
    curl_easy_getinfo(m_pCurlSession, CURLINFO_NUM_CONNECTS, &lConnects);
    if (lConnects > 0) m_bBinaryMode = false;
    if (res != CURLE_OK) return false;
    const long lCode = m_LastResult.lResponseCode;
    const std::vector<std::string> vecWords = FinalReplyWords(strReplies);
    if (lCode == 550) {
        // No such file, or no digest of it for us (a folder, a file the server will not
        // read that way): the download's SIZE and RETR tell which, a file found is never
        // taken for absent.
        return true;
    }
    if (lCode >= 400 && lCode < 500) {
        m_LastResult.eCurlCode = CURLE_QUOTE_ERROR;
        return false;
    }
    if (lCode < 200 || lCode >= 300) {
        // Listed but refused after all (not implemented, a name it cannot take): download.
        if (strCommand == "HASH") {
            m_vecHashAlgorithms.clear();
        } else {
            m_vecDigestCommands.clear();
        }
        return true;
    }
    if (strCommand == "HASH") {
        // "213 <algorithm> <start>-<end> <digest> <name>"
        if (vecWords.size() < 4) return true;
        strAlgorithm = Upper(vecWords[1]);
        m_strHashCurrent = strAlgorithm;
        const EVP_MD* pType = DigestNamed(strAlgorithm);
        if (pType != nullptr && IsHexOfLength(vecWords[3], 2 * static_cast<size_t>(EVP_MD_size(pType)))) {
            strDigest = Lower(vecWords[3]);
        }
        return true;
    }
    // "250 <digest>" (some servers add the name, or use 213).
    strAlgorithm = AlgorithmOfCommand(strCommand);
    const size_t uLength = 2 * static_cast<size_t>(EVP_MD_size(DigestNamed(strAlgorithm)));
    for (size_t i = 1; i < vecWords.size() && strDigest.empty(); ++i) {
        if (IsHexOfLength(vecWords[i], uLength)) strDigest = Lower(vecWords[i]);
    }
    return true;
}

size_t CFTPClient::CompareWithFdCallback(char* pBuffer, size_t iSize, size_t iCount, void* pData) {
    auto* pCompare = static_cast<FdComparison*>(pData);
    const size_t uBytes = iSize * iCount;
    const std::int64_t iLeft = pCompare->iSize - pCompare->iAt;
    // Past the local size the remote file is longer: one byte more is enough to know.
    const size_t uMine = static_cast<std::uint64_t>(iLeft) < uBytes ? static_cast<size_t>(iLeft) : uBytes;
    size_t uDone = 0;
    while (uDone < uMine) {
        const size_t uWant = std::min(uMine - uDone, pCompare->vecLocal.size());
        ssize_t iRead;
        do {
            iRead =
                ::pread(pCompare->iFd, pCompare->vecLocal.data(), uWant, static_cast<off_t>(pCompare->iAt));
        } while (iRead < 0 && errno == EINTR);
        if (iRead <= 0) {
            pCompare->bReadFailed = true;
            return 0;
        }
        if (std::memcmp(pCompare->vecLocal.data(), pBuffer + uDone, static_cast<size_t>(iRead)) != 0) {
            pCompare->bDiffers = true;
            return 0;
        }
        uDone += static_cast<size_t>(iRead);
        pCompare->iAt += iRead;
    }
    if (uMine < uBytes) {
        pCompare->bDiffers = true;
        return 0;
    }
    return uBytes;
}

bool CFTPClient::DownloadCompare(const std::string& strPath, int iFd, std::int64_t iSize, bool& bPresent,
                                 bool& bSame) const {
    bPresent = true;
    bSame = false;
    curl_easy_reset(m_pCurlSession);
    FdComparison compare{iFd, iSize, 0, false, false, std::vector<char>(64 * 1024)};
    const std::string strURL = PathURL(strPath);
    curl_easy_setopt(m_pCurlSession, CURLOPT_URL, strURL.c_str());
    curl_easy_setopt(m_pCurlSession, CURLOPT_WRITEFUNCTION, &CFTPClient::CompareWithFdCallback);
    curl_easy_setopt(m_pCurlSession, CURLOPT_WRITEDATA, static_cast<void*>(&compare));
    curl_easy_setopt(m_pCurlSession, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
    // A remote file that says it is longer is not downloaded at all.
    curl_easy_setopt(m_pCurlSession, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(iSize));
    ApplyCredentialsAndSessionOptions();
    const CURLcode res = curl_easy_perform(m_pCurlSession);
    Finish(res);
    // A download left the connection in binary mode; one cut short is closed by libcurl.
    m_bBinaryMode = res == CURLE_OK;
    if (compare.bReadFailed)
        return Fail(CURLE_READ_ERROR,
                    "[FTPClient][Error] Unable to read the local file "
                    "to compare with " +
                        strPath + ".");
    if (compare.bDiffers || res == CURLE_FILESIZE_EXCEEDED) {
        m_LastResult.eCurlCode = CURLE_OK;  // the stop was ours
        return true;
    }
    if (res == CURLE_REMOTE_FILE_NOT_FOUND) {
        bPresent = false;
        return true;
    }
    if (res != CURLE_OK) {
        return Fail(res,
                    StringFormat("[FTPClient][Error] Unable to download %s to compare it (Error = %d | %s).",
                                 strPath.c_str(), static_cast<int>(res), curl_easy_strerror(res)));
    }
    bSame = compare.iAt == iSize;
    return true;
}

bool CFTPClient::CompareWithFd(const std::string& strRemoteFile, int iFd, std::int64_t iSize, bool& bPresent,
                               bool& bSame, std::string& strHow) const {
    BeginOperation(true);
    bPresent = false;
    bSame = false;
    strHow = "download";
    if (iFd < 0 || iSize < 0 || strRemoteFile.empty() || HasControlCharacter(strRemoteFile) ||
        strRemoteFile.back() == '/') {
        return Fail(CURLE_BAD_FUNCTION_ARGUMENT,
                    "[FTPClient][Error] Invalid arguments in CFTPClient::CompareWithFd().");
    }
    if (!CheckSession()) return false;
    const std::string strPath = AbsolutePath(strRemoteFile);
    if (m_eFtpProtocol != SFTP) {
        if (!KnowDigestCommands()) {
            const CURLcode eCode =
                m_LastResult.eCurlCode == CURLE_OK ? CURLE_QUOTE_ERROR : m_LastResult.eCurlCode;
            return Fail(eCode,
                        StringFormat("[FTPClient][Error] Unable to ask the server's features (Error = %d | %s).",
                                     static_cast<int>(eCode), curl_easy_strerror(eCode)));
        }
        std::string strAlgorithm;
        std::string strDigest;
        if (!RemoteDigest(strPath, strAlgorithm, strDigest, strHow)) {
            const CURLcode eCode =
                m_LastResult.eCurlCode == CURLE_OK ? CURLE_QUOTE_ERROR : m_LastResult.eCurlCode;
            return Fail(
                eCode,
                StringFormat("[FTPClient][Error] Unable to get the digest of %s (Error = %d | %s).",
                             strRemoteFile.c_str(), static_cast<int>(eCode), curl_easy_strerror(eCode)));
        }
        if (!strDigest.empty()) {
            bPresent = true;
            const std::string strLocal = DigestOfFd(iFd, iSize, strAlgorithm);
            if (strLocal.empty()) {
                return Fail(CURLE_READ_ERROR,
                            "[FTPClient][Error] Unable to read the local file to compare with " +
                                strRemoteFile + ".");
            }
            bSame = strLocal == strDigest;
            return true;
        }
        strHow = "download";
    }
    return DownloadCompare(strPath, iFd, iSize, bPresent, bSame);
}

}  // namespace tarnwick

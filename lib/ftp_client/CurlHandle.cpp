#include "CurlHandle.h"

#include <curl/curl.h>

#include <stdexcept>

namespace tarnwick {

CurlHandle& CurlHandle::instance() {
    // A throwing constructor leaves the static uninitialised, so a later call retries.
    static CurlHandle _instance;
    return _instance;
}

CurlHandle::CurlHandle() {
    if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) {
        throw std::runtime_error("Error initializing libCURL");
    }
}

CurlHandle::~CurlHandle() { curl_global_cleanup(); }

}  // namespace tarnwick

#pragma once

namespace tarnwick {

// Process-wide guard of libcurl's global state: curl_global_init on first use,
// curl_global_cleanup at process exit. Every CFTPClient obtains it before creating an
// easy handle, so the global initialisation always comes first.
// instance() may be called from any thread; concurrent first calls are safe.
class CurlHandle {
public:
    // Throws std::runtime_error("Error initializing libCURL") when the global
    // initialisation fails; the next call then tries again.
    static CurlHandle& instance();

    ~CurlHandle();

    CurlHandle(const CurlHandle&) = delete;
    CurlHandle& operator=(const CurlHandle&) = delete;
    CurlHandle(CurlHandle&&) = delete;
    CurlHandle& operator=(CurlHandle&&) = delete;

private:
    CurlHandle();
};

}  // namespace tarnwick

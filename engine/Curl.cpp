#include "engine/Curl.h"

#include <cstdlib>
#include <mutex>

void EnsureCurlInitialised() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

void ApplyCommonCurlOptions(CURL* handle, CurlSchemes schemes) {
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, kLowSpeedTimeSeconds);
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(handle, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR,
                     schemes == CurlSchemes::HttpsOnly ? "https" : "http,https");
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "https");
#if LIBCURL_VERSION_NUM >= 0x075700
    // A transfer given up while its name lookup still runs (a stop, a pause, a connect time-out)
    // would otherwise wait in curl_multi_remove_handle or curl_easy_cleanup for the resolver
    // thread, which a DNS server that drops packets keeps busy for many seconds. The thread is
    // left to finish on its own instead; it frees what it holds once the lookup returns.
    curl_easy_setopt(handle, CURLOPT_QUICK_EXIT, 1L);
#endif
    if (const char* caFile = std::getenv("VELKDOWNLOADER_CA_FILE"); caFile && *caFile) {
        // An extra authority, not a replacement: the system's store stays in use through its
        // folder, so a real server still verifies while the local store's CA is trusted too.
        curl_easy_setopt(handle, CURLOPT_CAINFO, caFile);
        const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
        curl_easy_setopt(handle, CURLOPT_CAPATH,
                         (info && info->capath) ? info->capath : "/etc/ssl/certs");
    }
}

CurlEasy MakeCurlEasy(CurlSchemes schemes) {
    EnsureCurlInitialised();
    CurlEasy handle(curl_easy_init());
    if (handle) {
        ApplyCommonCurlOptions(handle.get(), schemes);
    }
    return handle;
}

std::string CurlErrorText(CURLcode code, const char* errorBuffer) {
    std::string text = curl_easy_strerror(code);
    if (errorBuffer && *errorBuffer) {
        text += ": ";
        text += errorBuffer;
    }
    return text;
}

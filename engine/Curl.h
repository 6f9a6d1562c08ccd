#pragma once
// Owning handles for libcurl and the settings every connection of the program shares: verified
// TLS (the system's CA store plus the file named by VELKDOWNLOADER_CA_FILE, for a local store),
// a 5-second connect time-out, a low-speed limit instead of a whole-transfer time-out, redirects
// never followed, no signals (the handles are used on many threads), and a teardown that never
// waits for a name lookup still under way.
#include <curl/curl.h>

#include <memory>
#include <string>

// Initialises libcurl once per process; call before the first handle is made. Any thread.
void EnsureCurlInitialised();

struct CurlEasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct CurlMultiDeleter {
    void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};
struct CurlShareDeleter {
    void operator()(CURLSH* handle) const { curl_share_cleanup(handle); }
};
struct CurlSlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct CurlUrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;
using CurlMulti = std::unique_ptr<CURLM, CurlMultiDeleter>;
using CurlShare = std::unique_ptr<CURLSH, CurlShareDeleter>;
using CurlSlist = std::unique_ptr<curl_slist, CurlSlistDeleter>;
using CurlUrl = std::unique_ptr<CURLU, CurlUrlDeleter>;

// Which schemes a handle may speak. The API and the web site are HTTPS only; the content
// server may be plain HTTP when its link says so.
enum class CurlSchemes { HttpsOnly, HttpOrHttps };

inline constexpr long kConnectTimeoutMs = 5000;
// "No byte for 5 seconds" ends a transfer; a slow but moving one goes on.
inline constexpr long kLowSpeedTimeSeconds = 5;

// A new easy handle with the shared settings applied; null when libcurl can't make one.
CurlEasy MakeCurlEasy(CurlSchemes schemes);
// Applies the shared settings to an existing handle (after curl_easy_reset, for example).
void ApplyCommonCurlOptions(CURL* handle, CurlSchemes schemes);

// libcurl's text for a failure, with the detail of the handle's error buffer when it has one.
std::string CurlErrorText(CURLcode code, const char* errorBuffer = nullptr);

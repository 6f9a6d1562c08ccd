#pragma once
// HTTP helpers for the tests of the local test store: one request with curl, verifying the
// store's certificate, and an OAuth 1.0 HMAC-SHA1 signer written from RFC 5849 for these tests
// alone, so the store's check is proved against something other than the program's own signing.
#include <strings.h>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cctype>
#include <ctime>
#include <map>
#include <string>

#include "engine/Curl.h"
#include "support/TestStore.h"

namespace storetest {

struct Reply {
    CURLcode code = CURLE_OK;
    long status = 0;
    std::string body;
    std::string headers;
    curl_off_t contentLength = -1;

    // The value of the first header named `name` (compared without letter case), or "".
    std::string Header(const std::string& name) const {
        size_t start = 0;
        while (start < headers.size()) {
            const size_t end = headers.find("\r\n", start);
            const std::string line = headers.substr(start, end - start);
            if (line.size() > name.size() && line[name.size()] == ':' &&
                strncasecmp(line.c_str(), name.c_str(), name.size()) == 0) {
                return line.substr(line.find_first_not_of(' ', name.size() + 1));
            }
            if (end == std::string::npos) {
                break;
            }
            start = end + 2;
        }
        return {};
    }
};

inline size_t Append(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

struct FetchOptions {
    std::string range;
    bool head = false;
    long timeoutMs = 20000;
};

inline FetchOptions WithRange(std::string range) {
    FetchOptions options;
    options.range = std::move(range);
    return options;
}
inline FetchOptions HeadOnly() {
    FetchOptions options;
    options.head = true;
    return options;
}
inline FetchOptions GiveUpAfterMs(long timeoutMs) {
    FetchOptions options;
    options.timeoutMs = timeoutMs;
    return options;
}

// One request on `handle` (kept between calls, so its connection can be reused), verifying the
// peer against the store's CA.
inline Reply Fetch(CURL* handle, const TestStore& store, const std::string& url,
                   const FetchOptions& options = {}) {
    Reply reply;
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(handle, CURLOPT_CAINFO, store.CaFile().c_str());
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, options.timeoutMs);
    curl_easy_setopt(handle, CURLOPT_RANGE,
                     options.range.empty() ? nullptr : options.range.c_str());
    curl_easy_setopt(handle, CURLOPT_NOBODY, options.head ? 1L : 0L);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &Append);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &reply.body);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &Append);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &reply.headers);
    reply.code = curl_easy_perform(handle);
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_easy_getinfo(handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &reply.contentLength);
    return reply;
}

inline Reply Fetch(const TestStore& store, const std::string& url,
                   const FetchOptions& options = {}) {
    EnsureCurlInitialised();
    CurlEasy handle(curl_easy_init());
    return Fetch(handle.get(), store, url, options);
}

// The RFC 5849 signer: request values are percent-encoded once into the parameters, the whole
// parameter string once more into the base string.
inline std::string Pct(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

inline std::string SignedUrl(const std::string& base, const std::string& path,
                             const std::map<std::string, std::string>& params,
                             const std::string& nonce, const std::string& token = {},
                             const std::string& tokenSecret = {},
                             const std::string& verifier = {}) {
    std::map<std::string, std::string> all;
    for (const auto& [name, value] : params) {
        all[name] = Pct(value);
    }
    all["oauth_consumer_key"] = "7c0e59a2b4d81f36e9a05c7d2b8e41f60a3d9c57";
    all["oauth_nonce"] = nonce;
    all["oauth_signature_method"] = "HMAC-SHA1";
    all["oauth_timestamp"] = std::to_string(std::time(nullptr));
    all["oauth_version"] = "1.0";
    if (!token.empty()) {
        all["oauth_token"] = token;
    }
    if (!verifier.empty()) {
        all["oauth_verifier"] = verifier;
    }
    std::string normalized;
    for (const auto& [name, value] : all) {
        normalized += (normalized.empty() ? "" : "&") + name + "=" + value;
    }
    const std::string baseString = "GET&" + Pct(base + path) + "&" + Pct(normalized);
    const std::string key =
        Pct("b52e8d07f1c94a63e08d5b2c7f19a4e6d30c8b71") + "&" + Pct(tokenSecret);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char*>(baseString.data()), baseString.size(), digest,
         &digestLength);
    unsigned char base64[64] = {};
    EVP_EncodeBlock(base64, digest, static_cast<int>(digestLength));
    return base + path + "?" + normalized +
           "&oauth_signature=" + Pct(reinterpret_cast<const char*>(base64));
}

}  // namespace storetest

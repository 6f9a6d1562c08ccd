#include "api/ApiBaseUrl.h"

#include "core/DebugFlags.h"
#include "core/Deployment.h"
#include "core/TextUtil.h"
#include "engine/Curl.h"

namespace {

std::string GetUrlPart(CURLU* url, CURLUPart part) {
    char* value = nullptr;
    if (curl_url_get(url, part, &value, 0) != CURLUE_OK || value == nullptr) {
        return {};
    }
    std::string text(value);
    curl_free(value);
    return text;
}

bool IsPlainSegmentCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

// "" for a plain path, else what is wrong with it. `path` starts with "/".
std::u16string PathProblem(std::string_view path) {
    size_t start = 1;
    while (start < path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        const std::string_view segment = path.substr(start, end - start);
        // A trailing "/" ends the loop before an empty segment: this is a "//".
        if (segment.empty()) {
            return u"its path has an empty segment";
        }
        if (segment == "." || segment == "..") {
            return u"its path has a \".\" or \"..\" segment";
        }
        for (const char c : segment) {
            if (!IsPlainSegmentCharacter(c)) {
                return u"its path holds a character other than letters, digits, \"-\", \".\", "
                       u"\"_\" and \"~\"";
            }
        }
        start = end + 1;
    }
    return {};
}

}  // namespace

std::u16string ApiBaseUrl() {
    return (DebugFlags() & kDebugTestApi) ? TestApiBaseUrl() : ProductionApiBaseUrl();
}

std::variant<ApiBase, std::u16string> ParseApiBase(std::u16string_view url) {
    EnsureCurlInitialised();
    CurlUrl parsed(curl_url());
    if (!parsed) {
        return u"it could not be parsed";
    }
    const std::string text = WideToUtf8(url);
    // Dot segments are left for the check below to refuse, not folded away unseen.
    if (curl_url_set(parsed.get(), CURLUPART_URL, text.c_str(), CURLU_PATH_AS_IS) != CURLUE_OK) {
        return u"it is not an absolute address";
    }
    const std::string scheme = GetUrlPart(parsed.get(), CURLUPART_SCHEME);
    const std::string host = GetUrlPart(parsed.get(), CURLUPART_HOST);
    if (scheme.empty() || host.empty()) {
        return u"it names no scheme or no host";
    }
    // The API is spoken over TLS only (the executor allows nothing else).
    if (scheme != "https") {
        return u"it is not an https address";
    }
    if (!GetUrlPart(parsed.get(), CURLUPART_USER).empty() ||
        !GetUrlPart(parsed.get(), CURLUPART_PASSWORD).empty()) {
        return u"it holds a user name or password";
    }
    if (!GetUrlPart(parsed.get(), CURLUPART_QUERY).empty() || text.find('?') != std::string::npos) {
        return u"it has a query";
    }
    if (!GetUrlPart(parsed.get(), CURLUPART_FRAGMENT).empty() ||
        text.find('#') != std::string::npos) {
        return u"it has a fragment";
    }
    std::string path = GetUrlPart(parsed.get(), CURLUPART_PATH);
    if (path.empty()) {
        path.push_back('/');
    }
    if (const std::u16string problem = PathProblem(path); !problem.empty()) {
        return problem;
    }
    if (path.back() != '/') {
        path += '/';
    }
    ApiBase base;
    base.origin.append(scheme).append("://").append(host);
    if (const std::string port = GetUrlPart(parsed.get(), CURLUPART_PORT); !port.empty()) {
        base.origin.append(":").append(port);
    }
    base.basePath = Utf8ToWide(path);
    return base;
}

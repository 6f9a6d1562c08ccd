#include "api/ConnectionsManager.h"

#include <utility>

#include "api/ApiBaseUrl.h"
#include "api/CDownloaderException.h"
#include "api/ConnectionsTask.h"
#include "api/LogRedaction.h"
#include "core/DebugPrintf.h"
#include "core/TextUtil.h"
#include "platform/Event.h"

namespace {

// The start of a reply as the log shows it. Cut first, then cleaned: a secret cut in two by the
// limit is still recognised by its name.
std::u16string Excerpt(const std::u16string& reply) {
    return RedactSecrets(reply.substr(0, ConnectionsManager::kLogExcerptLength));
}

// The object name is sent as it was signed; only what may not stand in a URL at all is escaped
// (blanks, control characters, non-ASCII bytes) and "#", which would end the request target.
// The server decodes these back to the very characters that were signed.
std::string ToRequestTarget(const std::u16string& objectName) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (char c : WideToUtf8(objectName)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F || c == '#' || c == '"' || c == '<' || c == '>' ||
            c == '\\' || c == '^' || c == '`' || c == '{' || c == '|' || c == '}') {
            out.push_back('%');
            out.push_back(kDigits[byte >> 4]);
            out.push_back(kDigits[byte & 0x0F]);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

// A transport error's text up to its first line break.
std::u16string FirstLine(const std::string& text) {
    return Utf8ToWide(text.substr(0, text.find_first_of("\r\n")));
}

}  // namespace

ConnectionsManager::ConnectionsManager() : ConnectionsManager(MakeEngineSignals()) {}

ConnectionsManager::ConnectionsManager(EngineSignals shared)
    : signals_(std::move(shared)),
      internetProblemReported_(*signals_.connectivity.problemReported),
      userLoggedIn_(*signals_.loggedIn),
      noInternet_(*signals_.connectivity.noInternet),
      connectionEstablished_(*signals_.connectivity.connectionEstablished) {}

ConnectionsManager::~ConnectionsManager() {
    Stop();
}

OAuthCredentials ConnectionsManager::Credentials() const {
    std::lock_guard lock(credentialsLock_);
    return credentials_;
}

void ConnectionsManager::SetCredentials(const OAuthCredentials& credentials) {
    std::lock_guard lock(credentialsLock_);
    credentials_ = credentials;
}

void ConnectionsManager::SetToken(const std::u16string& token, const std::u16string& tokenSecret) {
    std::lock_guard lock(credentialsLock_);
    credentials_.token = token;
    credentials_.tokenSecret = tokenSecret;
}

void ConnectionsManager::SetVerifier(const std::u16string& verifier) {
    std::lock_guard lock(credentialsLock_);
    credentials_.verifier = verifier;
}

bool ConnectionsManager::Connect() {
    const std::u16string url = ApiBaseUrl();
    std::variant<ApiBase, std::u16string> parsed = ParseApiBase(url);
    if (const std::u16string* problem = std::get_if<std::u16string>(&parsed)) {
        Logger().Error(u"Cannot use the API address %s: %s", url, *problem);
        return false;
    }
    ApiBase& base = std::get<ApiBase>(parsed);
    origin_ = std::move(base.origin);
    basePath_ = std::move(base.basePath);
    return true;
}

bool ConnectionsManager::Fail(const std::u16string& requestPath, std::u16string& reply,
                              std::u16string text) {
    reply = std::move(text);
    Logger().Warning(u"Request failed for request %s. Response: %s", requestPath, Excerpt(reply));
    return false;
}

bool ConnectionsManager::ExecuteRequest(const std::u16string& path, const std::u16string& query,
                                        std::u16string& reply) {
    return ExecuteRequest(path, ParseQueryString(query), reply);
}

bool ConnectionsManager::ExecuteRequest(const std::u16string& path, const ParameterMap& parameters,
                                        std::u16string& reply) {
    // Signed over the very address the request goes to: the connection's origin, the base path
    // (with its own path segments, if any) and the path.
    const std::u16string url = Utf8ToWide(origin_) + basePath_ + path;
    // One copy of all three strings: the sign-in thread may replace them while we sign.
    const OAuthCredentials credentials = Credentials();
    const SignedRequest signedRequest =
        OAuth::SignRequest(parameters, url, u"GET", OAuth::ConsumerKey, credentials);
    const std::u16string requestPath = basePath_ + path;
    const std::u16string objectName = requestPath + u"?" + BuildQueryString(signedRequest.combined);
    // The request as the log names it: the signature, token and password are not for the log.
    const std::u16string loggedName = RedactSecrets(objectName);

    if (origin_.empty()) {
        return Fail(requestPath, reply, u"The API connection was not made.");
    }

    try {
        HttpResult result = executor_.Get(origin_ + ToRequestTarget(objectName), &stopRequests_);
        switch (result.outcome) {
            case HttpResult::Outcome::Stopped:
                // Shutting down: the network did nothing wrong.
                return Fail(requestPath, reply, u"The request was stopped.");
            case HttpResult::Outcome::TransportFailure: {
                internetProblemReported_.Set();
                std::u16string text = FirstLine(result.errorText);
                if (text.empty()) {
                    text = FormatWide(u"InternetException, %d", static_cast<int>(result.code));
                }
                return Fail(requestPath, reply, std::move(text));
            }
            case HttpResult::Outcome::TooLarge:
                // Not a network problem: the connectivity check has nothing to find.
                Logger().Warning(u"Reply to request %s exceeds %u bytes and was dropped.",
                                 loggedName, executor_.MaxReplyBytes());
                return Fail(requestPath, reply,
                            FormatWide(u"The reply exceeds %u bytes.", executor_.MaxReplyBytes()));
            case HttpResult::Outcome::Response:
                break;
        }

        const long status = result.status;
        if (status == 401) {
            Logger().Warning(u"Connection attempt denied for request %s", loggedName);
            // There is no dialog that could offer new credentials, so the request is not sent
            // again.
            throw CDownloaderException(CDownloaderException::kCredentialsRefused);
        }
        if (status == 301 || status == 302 || status == 303) {
            Logger().Warning(u"Connection attempt failed (redirected?) for request %s", loggedName);
        }
        reply = Utf8ToWide(result.body);
        if (status >= 400) {
            Logger().Warning(u"Request failed (error: %d) for %s. Response: %s",
                             static_cast<int>(status), loggedName, Excerpt(reply));
            return false;
        }
        Logger().Log(u"Request succeeded for %s. Response: %s", loggedName, Excerpt(reply));
        return true;
    } catch (const CDownloaderException& exception) {
        std::u16string text(CDownloaderException::kClassName);
        text += u"\n";
        text += exception.ErrorMessage().value_or(u"No error message is available.");
        return Fail(requestPath, reply, std::move(text));
    }
}

void ConnectionsManager::SetDataFolder(const std::u16string& folder) {
    std::lock_guard lock(dataFolderLock_);
    dataFolder_ = folder;
}

std::u16string ConnectionsManager::DataFolder() const {
    std::lock_guard lock(dataFolderLock_);
    return dataFolder_;
}

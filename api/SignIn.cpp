// Sign-in: the sign-in thread, one attempt (stored token, or the three-step password flow), the
// user-details call with its avatars, and the calls by which the user-interface thread asks for
// an attempt.
#include <filesystem>
#include <memory>
#include <string>

#include "api/ApiReplies.h"
#include "api/ConnectionsManager.h"
#include "api/WholeFileFetch.h"
#include "core/AppEvent.h"
#include "core/DebugPrintf.h"
#include "core/NormalisePath.h"
#include "core/TextUtil.h"
#include "core/UserDetails.h"

namespace {

// Raised when the manager is found shutting down between two steps of the password flow.
class ShutdownRequestException {};

std::u16string CutAtLineFeed(std::u16string text) {
    if (const size_t lineFeed = text.find(u'\n'); lineFeed != std::u16string::npos) {
        text.erase(lineFeed);
    }
    return text;
}

std::u16string ValueOf(const ParameterMap& parameters, const std::u16string& name) {
    const auto found = parameters.find(name);
    return found == parameters.end() ? std::u16string() : found->second;
}

}  // namespace

void ConnectionsManager::RequestLogin(const std::u16string& email, const std::u16string& password) {
    {
        std::lock_guard lock(accountLock_);
        email_ = email;
        password_ = password;
    }
    loginRequested_.Set();
}

void ConnectionsManager::Logout() {
    {
        std::lock_guard lock(accountLock_);
        email_.clear();
        password_.clear();
    }
    SetToken(u"", u"");
    loginRequested_.Set();
}

bool ConnectionsManager::AuthenticateUser(UserDetails& user) {
    bool result = false;
    try {
        const OAuthCredentials credentials = Credentials();
        if (!credentials.token.empty() && !credentials.tokenSecret.empty()) {
            // A token kept from an earlier run is proved; e-mail and password wait.
            result = FetchUserDetails(user);
        } else {
            std::u16string email;
            std::u16string password;
            {
                std::lock_guard lock(accountLock_);
                email = email_;
                password = password_;
            }
            if (!email.empty() && !password.empty()) {
                result = PasswordSignIn(email, password) && FetchUserDetails(user);
            }
        }
    } catch (const ShutdownRequestException&) {
        result = false;
    }
    if (!result) {
        SetToken(u"", u"");
    }
    return result;
}

bool ConnectionsManager::PasswordSignIn(const std::u16string& email,
                                        const std::u16string& password) {
    std::u16string reply;
    // Signed with whatever the manager holds now: normally nothing, or the verifier of an earlier
    // sign-in of this run.
    if (!ExecuteRequest(u"en/oauth/initialize/", ParameterMap{}, reply)) {
        return false;
    }
    if (IsTerminating()) {
        throw ShutdownRequestException();
    }
    ParameterMap answer = ParseQueryString(reply);
    SetToken(ValueOf(answer, u"oauth_token"), ValueOf(answer, u"oauth_token_secret"));

    // The two values go as parameters, never through a query text: a password may hold "&" or "=".
    const ParameterMap login{{u"username", email}, {u"password", password}};
    if (!ExecuteRequest(u"en/oauth/login/", login, reply)) {
        return false;
    }
    if (IsTerminating()) {
        throw ShutdownRequestException();
    }
    answer = ParseQueryString(reply);
    SetVerifier(CutAtLineFeed(ValueOf(answer, u"oauth_verifier")));

    if (!ExecuteRequest(u"en/oauth/token/", ParameterMap{}, reply)) {
        return false;
    }
    if (IsTerminating()) {
        throw ShutdownRequestException();
    }
    answer = ParseQueryString(reply);
    SetToken(ValueOf(answer, u"oauth_token"),
             CutAtLineFeed(ValueOf(answer, u"oauth_token_secret")));
    return true;
}

bool ConnectionsManager::FetchUserDetails(UserDetails& user) {
    std::u16string reply;
    if (!ExecuteRequest(u"en/downloader/userDetails/", ParameterMap{}, reply)) {
        return false;
    }
    std::optional<UserDetailsReply> parsed = ParseUserDetailsReply(reply);
    if (!parsed) {
        return false;
    }
    user.userName = std::move(parsed->userName);
    user.email = std::move(parsed->email);
    std::optional<std::u16string> smallName;
    std::optional<std::u16string> bigName;
    if (parsed->smallAvatarUrl) {
        smallName = AvatarNamePart(*parsed->smallAvatarUrl);
    }
    if (parsed->bigAvatarUrl) {
        bigName = AvatarNamePart(*parsed->bigAvatarUrl);
    }
    // The two sizes are often named alike in two folders (".../64/avatar.jpg",
    // ".../184/avatar.jpg"): each gets a file of its own, or the big one would replace the small
    // one under both references.
    if (smallName && bigName && *smallName == *bigName) {
        bigName = u"/big-" + bigName->substr(1);
    }
    if (smallName) {
        user.smallAvatar = FetchAvatar(*parsed->smallAvatarUrl, *smallName);
    }
    if (bigName) {
        user.bigAvatar = FetchAvatar(*parsed->bigAvatarUrl, *bigName);
    }
    return true;
}

std::u16string ConnectionsManager::FetchAvatar(const std::u16string& url,
                                               const std::u16string& namePart) {
    const std::u16string localPath = NormalisePath(DataFolder() + u".data/" + namePart);
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(WideToUtf8(localPath)).parent_path(),
                                        error);
    // Fetched whole at every sign-in: the picture behind an address may change while its name
    // stays, and nothing of an older file is kept in front of it. A fetch that fails leaves the
    // older picture as it was.
    switch (ReplaceWithWholeFile(localPath, url, kMaxImageBytes, &StopEvent(),
                                 &internetProblemReported_)) {
        case WholeFileFetch::Fetched:
            return u".data/" + namePart;
        case WholeFileFetch::TooLarge:
            Logger().Warning(u"Avatar '%s' is larger than %I64u bytes; it is not stored.",
                             PrintableForLog(std::u16string_view(url)), kMaxImageBytes);
            break;
        case WholeFileFetch::Failed:
        case WholeFileFetch::Stopped:
            break;
    }
    return {};
}

void ConnectionsManager::authThread(Event& stop) {
    const auto loginOrStop = [&] { return WaitAny({&loginRequested_, &stop}) == 0; };
    // One attempt at start, with the token the owner handed to Start.
    loginRequested_.Set();
    if (!loginOrStop()) {
        return;
    }
    for (;;) {
        if (stop.IsSet()) {
            return;
        }
        if (noInternet_.IsSet()) {
            // The request stays pending: once the store is reachable the next wait returns at
            // once and the attempt is made.
            WaitAny({&connectionEstablished_, &stop});
            if (stop.IsSet()) {
                return;
            }
        } else {
            auto user = std::make_unique<UserDetails>();
            Post(AuthStarted{});
            const bool signedIn = AuthenticateUser(*user);
            // A request made during the attempt was absorbed by it. Reset before the outcome is
            // posted: a request made by whoever reacts to the outcome must start a new attempt.
            loginRequested_.Reset();
            if (signedIn) {
                userLoggedIn_.Set();
                const OAuthCredentials credentials = Credentials();
                Post(UserAuthenticated{.token = credentials.token,
                                       .tokenSecret = credentials.tokenSecret,
                                       .user = std::move(*user)});
            } else {
                userLoggedIn_.Reset();
                Post(AuthFailed{});
            }
        }
        if (!loginOrStop()) {
            return;
        }
    }
}

// Sign-in: the sign-in thread's attempts and what it posts, the stored-token proof, the
// three-step password flow, sign-out, the user-details reply and its avatars. First against a
// scripted fake of the request executor (exact control of every reply), then end to end
// against the local test store.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "api/ConnectionsManager.h"
#include "core/AppEvent.h"
#include "core/MessageQueue.h"
#include "core/TextUtil.h"
#include "core/UserDetails.h"
#include "engine/ConnectivityCheck.h"
#include "engine/EngineSignals.h"
#include "support/ExpectEvent.h"
#include "support/FileFixtures.h"
#include "support/LogCapture.h"
#include "support/TempHome.h"
#include "support/TestStore.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kMessageLimit = 20s;

// The manager with its executor replaced: every request is recorded (with the credentials it
// would have been signed with) and answered by `answer`.
class FakeManager final : public ConnectionsManager {
public:
    struct Sent {
        std::u16string path;
        ParameterMap parameters;
        OAuthCredentials credentials;
    };
    using Answer = std::function<bool(const Sent&, std::u16string& reply)>;

    FakeManager(EngineSignals shared, Answer answer)
        : ConnectionsManager(std::move(shared)), answer_(std::move(answer)) {}
    ~FakeManager() override { Stop(); }

    using ConnectionsManager::ExecuteRequest;
    bool ExecuteRequest(const std::u16string& path, const ParameterMap& parameters,
                        std::u16string& reply) override {
        Sent sent{path, parameters, Credentials()};
        {
            std::lock_guard lock(lock_);
            sent_.push_back(sent);
        }
        return answer_(sent, reply);
    }

    std::vector<Sent> SentRequests() const {
        std::lock_guard lock(lock_);
        return sent_;
    }
    std::vector<std::u16string> SentPaths() const {
        std::vector<std::u16string> paths;
        for (const Sent& sent : SentRequests()) {
            paths.push_back(sent.path);
        }
        return paths;
    }
    void BeginTerminating() { terminating_.store(true); }

private:
    Answer answer_;
    mutable std::mutex lock_;
    std::vector<Sent> sent_;
};

std::u16string Repeat(const std::u16string& text, size_t times) {
    std::u16string out;
    for (size_t i = 0; i < times; ++i) {
        out += text;
    }
    return out;
}

std::u16string Value(const ParameterMap& map, const std::u16string& name) {
    const auto found = map.find(name);
    return found == map.end() ? u"<absent>" : found->second;
}

// A store in a few lines: one account, the temporary token "temp", the access tokens "stored"
// (kept from an earlier run) and "access" (from the token exchange).
struct ScriptedStore {
    std::u16string email = u"player@example.test";
    std::u16string password = u"secret";
    std::u16string userDetails =
        u"<?xml version=\"1.0\"?><user><xywka>Player &amp; Co</xywka>"
        u"<email>player@example.test</email></user>";

    bool Answer(const FakeManager::Sent& sent, std::u16string& reply) const {
        const std::u16string& token = sent.credentials.token;
        if (sent.path == u"en/oauth/initialize/") {
            reply = u"oauth_token=temp&oauth_token_secret=temp-secret";
            return true;
        }
        if (sent.path == u"en/oauth/login/" && token == u"temp") {
            if (Value(sent.parameters, u"username") != email ||
                Value(sent.parameters, u"password") != password) {
                reply = u"401 Unauthorized: wrong e-mail or password";
                return false;
            }
            reply = u"oauth_verifier=abc\nignored";
            return true;
        }
        if (sent.path == u"en/oauth/token/" && token == u"temp" &&
            sent.credentials.verifier == u"abc") {
            reply = u"oauth_token=access&oauth_token_secret=access-secret\nignored";
            return true;
        }
        if (sent.path == u"en/downloader/userDetails/" &&
            (token == u"stored" || token == u"access")) {
            reply = userDetails;
            return true;
        }
        reply = u"refused";
        return false;
    }
};

class SignInTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The connectivity check would have found the store reachable.
        events_.noInternet->Reset();
        events_.connectionEstablished->Set();
    }

    std::u16string DataFolder() const { return Utf8ToWide(data_.Path().string() + "/"); }

    bool Start(const std::u16string& token = u"", const std::u16string& secret = u"") {
        return manager_.Start(DataFolder(), queue_, token, secret);
    }

    // The next posted event, which must be an `Event`; a default one when it is not.
    template <class Event>
    Event Expect() {
        return ExpectEvent<Event>(queue_, kMessageLimit);
    }

    // Shared with the manager as the download engine would share them.
    EngineSignals signals_ = MakeEngineSignals();
    const ConnectivityEvents& events_ = signals_.connectivity;
    TempDir data_;
    ScriptedStore store_;
    MessageQueue queue_;
    FakeManager manager_{signals_, [this](const FakeManager::Sent& sent, std::u16string& reply) {
                             return store_.Answer(sent, reply);
                         }};
};

TEST_F(SignInTest, StoredTokenIsProvedByOneUserDetailsRequest) {
    ASSERT_TRUE(Start(u"stored", u"stored-secret"));
    Expect<AuthStarted>();
    UserAuthenticated done = Expect<UserAuthenticated>();
    const UserAuthenticated* result = &done;
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->token, u"stored");
    EXPECT_EQ(result->tokenSecret, u"stored-secret");
    EXPECT_EQ(result->user.userName, u"Player & Co");
    EXPECT_EQ(result->user.email, u"player@example.test");
    EXPECT_EQ(result->user.smallAvatar, u"");
    EXPECT_TRUE(manager_.IsUserLoggedIn());
    EXPECT_EQ(manager_.SentPaths(), std::vector<std::u16string>{u"en/downloader/userDetails/"});
    // The download engine made with the same signals sees it; a manager with signals of its own
    // does not.
    EXPECT_TRUE(signals_.loggedIn->IsSet());
    const ConnectionsManager bystander;
    EXPECT_FALSE(bystander.IsUserLoggedIn());
}

TEST_F(SignInTest, WithoutTokenOrPasswordNothingIsSent) {
    ASSERT_TRUE(Start());
    Expect<AuthStarted>();
    Expect<AuthFailed>();
    EXPECT_FALSE(manager_.IsUserLoggedIn());
    EXPECT_TRUE(manager_.SentRequests().empty());
}

TEST_F(SignInTest, PasswordFlowSendsItsThreeStepsThenUserDetails) {
    // "&" and "=" in the values: they must reach the server whole.
    store_.email = u"a&b=c@example.test";
    store_.password = u"p&ss=w rd";
    ASSERT_TRUE(Start());
    Expect<AuthStarted>();
    Expect<AuthFailed>();

    manager_.RequestLogin(store_.email, store_.password);
    Expect<AuthStarted>();
    UserAuthenticated done = Expect<UserAuthenticated>();
    const std::vector<FakeManager::Sent> sent = manager_.SentRequests();
    ASSERT_EQ(manager_.SentPaths(),
              (std::vector<std::u16string>{u"en/oauth/initialize/", u"en/oauth/login/",
                                           u"en/oauth/token/", u"en/downloader/userDetails/"}));
    EXPECT_TRUE(sent[0].parameters.empty());
    EXPECT_EQ(sent[1].parameters,
              (ParameterMap{{u"username", store_.email}, {u"password", store_.password}}));
    // Login is signed with the temporary token; the exchange also with the verifier, cut at its
    // line feed.
    EXPECT_EQ(sent[1].credentials.token, u"temp");
    EXPECT_EQ(sent[1].credentials.tokenSecret, u"temp-secret");
    EXPECT_EQ(sent[2].credentials.verifier, u"abc");
    EXPECT_TRUE(sent[2].parameters.empty());

    const UserAuthenticated* result = &done;
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->token, u"access");
    EXPECT_EQ(result->tokenSecret, u"access-secret");
    EXPECT_EQ(manager_.Credentials().verifier, u"abc");
    EXPECT_TRUE(manager_.IsUserLoggedIn());
}

TEST_F(SignInTest, RefusedTokenIsDroppedAndThePasswordFlowFollows) {
    ASSERT_TRUE(Start(u"revoked", u"revoked-secret"));
    Expect<AuthStarted>();
    Expect<AuthFailed>();
    EXPECT_EQ(manager_.Credentials().token, u"");
    EXPECT_EQ(manager_.Credentials().tokenSecret, u"");
    EXPECT_FALSE(manager_.IsUserLoggedIn());

    manager_.RequestLogin(store_.email, store_.password);
    Expect<AuthStarted>();
    Expect<UserAuthenticated>();
    EXPECT_EQ(manager_.SentPaths(),
              (std::vector<std::u16string>{u"en/downloader/userDetails/", u"en/oauth/initialize/",
                                           u"en/oauth/login/", u"en/oauth/token/",
                                           u"en/downloader/userDetails/"}));

    // A wrong password fails at the login step; the flow stops there.
    manager_.Logout();
    Expect<AuthStarted>();
    Expect<AuthFailed>();
    const size_t before = manager_.SentRequests().size();
    manager_.RequestLogin(store_.email, u"wrong");
    Expect<AuthStarted>();
    Expect<AuthFailed>();
    const std::vector<std::u16string> paths = manager_.SentPaths();
    EXPECT_EQ(
        std::vector<std::u16string>(paths.begin() + static_cast<ptrdiff_t>(before), paths.end()),
        (std::vector<std::u16string>{u"en/oauth/initialize/", u"en/oauth/login/"}));
    EXPECT_EQ(manager_.Credentials().token, u"");
}

TEST_F(SignInTest, LogoutSignsOutWithoutARequest) {
    ASSERT_TRUE(Start());
    Expect<AuthStarted>();
    Expect<AuthFailed>();
    manager_.RequestLogin(store_.email, store_.password);
    Expect<AuthStarted>();
    Expect<UserAuthenticated>();
    ASSERT_TRUE(manager_.IsUserLoggedIn());
    const size_t sent = manager_.SentRequests().size();

    manager_.Logout();
    Expect<AuthStarted>();
    Expect<AuthFailed>();
    EXPECT_FALSE(manager_.IsUserLoggedIn());
    EXPECT_EQ(manager_.SentRequests().size(), sent);
    const OAuthCredentials credentials = manager_.Credentials();
    EXPECT_EQ(credentials.token, u"");
    EXPECT_EQ(credentials.tokenSecret, u"");
    EXPECT_EQ(credentials.verifier, u"abc");  // kept for the rest of the run
}

TEST_F(SignInTest, AttemptWaitsForTheConnectionAndStopEndsTheWait) {
    events_.connectionEstablished->Reset();
    events_.noInternet->Set();
    ASSERT_TRUE(Start(u"stored", u"stored-secret"));
    events_.noInternet->Reset();
    events_.connectionEstablished->Set();
    Expect<AuthStarted>();
    Expect<UserAuthenticated>();

    // Offline again: a requested attempt waits, and Stop still returns at once.
    events_.connectionEstablished->Reset();
    events_.noInternet->Set();
    manager_.RequestLogin(u"x", u"y");
    manager_.Stop();
    EXPECT_EQ(queue_.Size(), 0u);
    EXPECT_EQ(manager_.SentRequests().size(), 1u);
}

TEST_F(SignInTest, RepliesThatDoNotDescribeAUserFailTheAttempt) {
    const struct {
        const char* what;
        std::u16string reply;
        bool proves;
    } cases[] = {
        {"well-formed", u"<user><xywka>n</xywka><email>e</email></user>", true},
        {"empty texts", u"<user><xywka/><email/></user>", true},
        {"not XML", u"<user><xywka>n</xywka", false},
        {"empty", u"", false},
        {"a redirect page", u"<html><body>Moved</body></html>", false},
        {"no e-mail", u"<user><xywka>n</xywka></user>", false},
        {"no name", u"<user><email>e</email></user>", false},
        {"absurdly deep", Repeat(u"<user>", 100000) + Repeat(u"</user>", 100000), false},
    };
    for (const auto& c : cases) {
        FakeManager manager(signals_, [&](const FakeManager::Sent&, std::u16string& reply) {
            reply = c.reply;
            return true;
        });
        manager.SetToken(u"stored", u"stored-secret");
        UserDetails user;
        EXPECT_EQ(manager.AuthenticateUser(user), c.proves) << c.what;
        EXPECT_EQ(manager.Credentials().token.empty(), !c.proves) << c.what;
    }
}

TEST_F(SignInTest, ShutdownBetweenStepsEndsTheFlow) {
    FakeManager* self = nullptr;
    FakeManager stopping(signals_, [&](const FakeManager::Sent& sent, std::u16string& reply) {
        self->BeginTerminating();  // the quit arrives while the first step is under way
        return store_.Answer(sent, reply);
    });
    self = &stopping;
    stopping.RequestLogin(store_.email, store_.password);
    UserDetails user;
    EXPECT_FALSE(stopping.AuthenticateUser(user));
    EXPECT_EQ(stopping.SentPaths(), std::vector<std::u16string>{u"en/oauth/initialize/"});
    EXPECT_EQ(stopping.Credentials().token, u"");
}

TEST_F(SignInTest, AvatarNamesThatCouldLeaveTheFolderAreNotFetched) {
    // Nothing listens on port 1: a fetch that was tried fails fast; these must not be tried.
    store_.userDetails =
        u"<user><xywka>n</xywka><email>e</email><avatar>"
        u"<small>https://127.0.0.1:1/pics/..</small><big>https://127.0.0.1:1/</big>"
        u"</avatar></user>";
    manager_.SetDataFolder(DataFolder());
    manager_.SetToken(u"stored", u"stored-secret");
    UserDetails user;
    EXPECT_TRUE(manager_.AuthenticateUser(user));
    EXPECT_EQ(user.smallAvatar, u"");
    EXPECT_EQ(user.bigAvatar, u"");
    EXPECT_FALSE(std::filesystem::exists(data_.Path() / ".data"));

    // An avatar that can't be fetched leaves its reference empty; the attempt still succeeds.
    store_.userDetails =
        u"<user><xywka>n</xywka><email>e</email><avatar>"
        u"<small>https://127.0.0.1:1/pics/u1.jpg</small></avatar></user>";
    EXPECT_TRUE(manager_.AuthenticateUser(user));
    EXPECT_EQ(user.smallAvatar, u"");
}

// --- End to end against the local test store. ---

class SignInStoreTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        try {
            store_ = std::make_unique<TestStore>();
        } catch (const std::exception& error) {
            storeError_ = error.what();
        }
    }
    static void TearDownTestSuite() { store_.reset(); }

    void SetUp() override {
        ASSERT_TRUE(store_) << "the test store did not start: " << storeError_;
        Use(*store_);
        events_.noInternet->Reset();
        events_.connectionEstablished->Set();
    }

    void Use(TestStore& store) {
        current_ = &store;
        store.UseInEnvironment();
        store.ClearFaults();
        store.ClearRequests();
    }

    TestStore& Store() { return *current_; }
    std::u16string DataFolder() const { return Utf8ToWide(data_.Path().string() + "/"); }

    std::vector<std::string> ApiPaths() {
        std::vector<std::string> paths;
        for (const StoreRequest& request : Store().Requests()) {
            if (request.server == "api") {
                paths.push_back(request.path);
            }
        }
        return paths;
    }

    // The next posted event, which must be an `Event`; a default one when it is not.
    template <class Event>
    Event Expect() {
        return ExpectEvent<Event>(queue_, kMessageLimit);
    }

    static inline std::unique_ptr<TestStore> store_;
    static inline std::string storeError_;

    TestStore* current_ = nullptr;
    EngineSignals signals_ = MakeEngineSignals();
    const ConnectivityEvents& events_ = signals_.connectivity;
    TempDir data_;
    MessageQueue queue_;
};

TEST_F(SignInStoreTest, StoredTokenSendsOneRequestAndStoresTheAvatars) {
    Store().AddToken("kept-token", "kept-secret");
    ConnectionsManager manager(signals_);
    ASSERT_TRUE(manager.Start(DataFolder(), queue_, u"kept-token", u"kept-secret"));
    Expect<AuthStarted>();
    UserAuthenticated done = Expect<UserAuthenticated>();
    manager.Stop();

    EXPECT_EQ(ApiPaths(), std::vector<std::string>{"/en/downloader/userDetails/"});
    const UserAuthenticated* result = &done;
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->user.userName, Utf8ToWide(TestStore::DemoUserName()));
    EXPECT_EQ(result->user.email, Utf8ToWide(TestStore::DemoEmail()));
    EXPECT_EQ(result->user.smallAvatar, u".data//small.png");
    EXPECT_EQ(result->user.bigAvatar, u".data//big.png");
    EXPECT_GT(std::filesystem::file_size(data_.Path() / ".data/small.png"), 0u);
    EXPECT_GT(std::filesystem::file_size(data_.Path() / ".data/big.png"), 0u);
}

TEST_F(SignInStoreTest, NothingToSignInWithSendsNothing) {
    ConnectionsManager manager(signals_);
    ASSERT_TRUE(manager.Start(DataFolder(), queue_, u"", u""));
    Expect<AuthStarted>();
    Expect<AuthFailed>();
    manager.Stop();
    EXPECT_TRUE(Store().Requests().empty());
}

TEST_F(SignInStoreTest, RevokedTokenThenPasswordThenLogout) {
    Store().AddToken("old-token", "old-secret");
    Store().RevokeToken("old-token");
    ConnectionsManager manager(signals_);
    ASSERT_TRUE(manager.Start(DataFolder(), queue_, u"old-token", u"old-secret"));
    Expect<AuthStarted>();
    Expect<AuthFailed>();
    EXPECT_EQ(ApiPaths(), std::vector<std::string>{"/en/downloader/userDetails/"});
    Store().ClearRequests();

    manager.RequestLogin(Utf8ToWide(TestStore::DemoEmail()), Utf8ToWide(TestStore::DemoPassword()));
    Expect<AuthStarted>();
    UserAuthenticated done = Expect<UserAuthenticated>();
    EXPECT_TRUE(manager.IsUserLoggedIn());

    std::vector<StoreRequest> api;
    for (const StoreRequest& request : Store().Requests()) {
        if (request.server == "api") {
            api.push_back(request);
        }
    }
    ASSERT_EQ(api.size(), 4u);
    EXPECT_EQ(api[0].path, "/en/oauth/initialize/");
    EXPECT_EQ(api[1].path, "/en/oauth/login/");
    EXPECT_NE(api[1].query.find("username="), std::string::npos);
    EXPECT_NE(api[1].query.find("password="), std::string::npos);
    EXPECT_EQ(api[2].path, "/en/oauth/token/");
    EXPECT_NE(api[2].query.find("oauth_verifier="), std::string::npos);
    EXPECT_EQ(api[3].path, "/en/downloader/userDetails/");
    for (const StoreRequest& request : api) {
        EXPECT_TRUE(request.signatureValid) << request.path;
        EXPECT_EQ(request.status, 200) << request.path;
    }
    const UserAuthenticated* result = &done;
    ASSERT_NE(result, nullptr);
    bool issued = false;
    for (const StoreToken& token : Store().Tokens()) {
        issued |= token.kind == "access" && Utf8ToWide(token.token) == result->token &&
                  Utf8ToWide(token.secret) == result->tokenSecret;
    }
    EXPECT_TRUE(issued) << "the token handed over is not one the store issued";

    Store().ClearRequests();
    manager.Logout();
    Expect<AuthStarted>();
    Expect<AuthFailed>();
    EXPECT_FALSE(manager.IsUserLoggedIn());
    manager.Stop();
    EXPECT_TRUE(Store().Requests().empty());
}

TEST_F(SignInStoreTest, TheLogNeverHoldsTheCredentials) {
    LogCapture log;
    ConnectionsManager manager(signals_);
    ASSERT_TRUE(manager.Start(DataFolder(), queue_, u"", u""));
    Expect<AuthStarted>();
    Expect<AuthFailed>();
    manager.RequestLogin(Utf8ToWide(TestStore::DemoEmail()), Utf8ToWide(TestStore::DemoPassword()));
    Expect<AuthStarted>();
    Expect<UserAuthenticated>();
    manager.Stop();

    // Every token and secret the store issued (the temporary pair too), every signature and
    // verifier that went out, and the password.
    std::vector<std::string> secrets = {TestStore::DemoPassword()};
    for (const StoreToken& token : Store().Tokens()) {
        secrets.push_back(token.token);
        secrets.push_back(token.secret);
    }
    for (const StoreRequest& request : Store().Requests()) {
        for (const std::u16string& pair : SplitString(Utf8ToWide(request.query), u'&', false)) {
            for (const char16_t* name : {u"oauth_signature=", u"oauth_verifier="}) {
                if (pair.rfind(name, 0) == 0 && pair.size() > std::u16string(name).size()) {
                    secrets.push_back(WideToUtf8(pair.substr(std::u16string(name).size())));
                }
            }
        }
    }
    ASSERT_GE(secrets.size(), 6u);
    const std::vector<LogCapture::Line> lines = log.Lines();
    ASSERT_FALSE(lines.empty());
    for (const LogCapture::Line& line : lines) {
        const std::string text = WideToUtf8(line.message);
        for (const std::string& secret : secrets) {
            EXPECT_EQ(text.find(secret), std::string::npos) << "\"" << secret << "\" in: " << text;
        }
    }
}

TEST_F(SignInStoreTest, BadCertificatesAreRefusedBeforeAnyCredentialLeaves) {
    int tried = 0;
    for (const char* kind : {"wrong-host", "expired", "self-signed"}) {
        SCOPED_TRACE(kind);
        std::unique_ptr<TestStore> own;
        try {
            own = std::make_unique<TestStore>(TestStore::Options{{}, {"--certificate", kind}});
        } catch (const std::exception& error) {
            FAIL() << "the test store did not start: " << error.what();
        }
        Use(*own);
        own->AddToken("kept-token", "kept-secret");
        ConnectionsManager manager(signals_);
        ASSERT_TRUE(manager.Start(DataFolder(), queue_, u"kept-token", u"kept-secret"));
        Expect<AuthStarted>();
        Expect<AuthFailed>();
        manager.RequestLogin(Utf8ToWide(TestStore::DemoEmail()),
                             Utf8ToWide(TestStore::DemoPassword()));
        Expect<AuthStarted>();
        Expect<AuthFailed>();
        manager.Stop();
        // Every handshake failed: not one request, with its token or password, reached the store.
        EXPECT_TRUE(own->Requests().empty());
        EXPECT_FALSE(manager.IsUserLoggedIn());
        ++tried;
    }
    std::printf("tls: %d bad certificates tried, 0 requests reached the store\n", tried);
}

TEST_F(SignInStoreTest, PasswordWithAmpersandAndEqualsSignsIn) {
    const std::filesystem::path games = data_.Path() / "account.json";
    std::ofstream(games) << R"({"account": {"email": "a&b=c@velkora.test",)"
                         << R"( "password": "p&ss=w\u00f6rd x", "user_name": "Amp"}, "games": []})";
    std::unique_ptr<TestStore> own;
    try {
        own = std::make_unique<TestStore>(TestStore::Options{games, {}});
    } catch (const std::exception& error) {
        FAIL() << "the test store did not start: " << error.what();
    }
    Use(*own);
    ConnectionsManager manager(signals_);
    ASSERT_TRUE(manager.Start(DataFolder(), queue_, u"", u""));
    Expect<AuthStarted>();
    Expect<AuthFailed>();
    manager.RequestLogin(u"a&b=c@velkora.test", u"p&ss=w\u00f6rd x");
    Expect<AuthStarted>();
    UserAuthenticated done = Expect<UserAuthenticated>();
    manager.Stop();
    const UserAuthenticated* result = &done;
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->user.userName, u"Amp");
    EXPECT_EQ(result->user.email, u"a&b=c@velkora.test");
}

// Avatars are fetched whole at every sign-in: a picture changed behind the same address replaces
// the older file (never kept stale after a shorter one, never appended to after a longer one); a
// fetch that fails or breaks off leaves the older whole picture and no litter; and a small and a
// big picture named alike get a file each.
TEST_F(SignInStoreTest, AvatarsAreFetchedWholeEachTimeIntoFilesOfTheirOwn) {
    Store().AddToken("avatar-token", "avatar-secret");
    const std::string cdn = Store().CdnUrl();
    Store().SetFault(
        R"({"server":"api","path":"/en/downloader/userDetails/","fail_next":-1,"status":200,)"
        R"("body":"<user><xywka>n</xywka><email>e</email><avatar><small>)" +
        cdn + "/pics/64/face.png</small><big>" + cdn +
        R"(/pics/184/face.png</big></avatar></user>"})");
    ConnectionsManager manager(signals_);
    ASSERT_TRUE(manager.Connect());
    manager.SetDataFolder(DataFolder());
    const std::filesystem::path pictures = data_.Path() / ".data";
    const auto signIn = [&] {
        manager.SetToken(u"avatar-token", u"avatar-secret");
        UserDetails user;
        EXPECT_TRUE(manager.AuthenticateUser(user));
        return user;
    };
    const auto files = [&] {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(pictures)) {
            names.insert(entry.path().filename().string());
        }
        return names;
    };

    Store().PutResource("/pics/64/face.png", "small picture, first version");
    Store().PutResource("/pics/184/face.png", "big picture");
    UserDetails user = signIn();
    EXPECT_EQ(user.smallAvatar, u".data//face.png");
    EXPECT_EQ(user.bigAvatar, u".data//big-face.png");
    EXPECT_EQ(ReadFile(pictures / "face.png"), "small picture, first version");
    EXPECT_EQ(ReadFile(pictures / "big-face.png"), "big picture");

    for (const std::string picture : {"small, 2nd", "small picture, a longer third version"}) {
        Store().PutResource("/pics/64/face.png", picture);
        user = signIn();
        EXPECT_EQ(user.smallAvatar, u".data//face.png");
        EXPECT_EQ(ReadFile(pictures / "face.png"), picture);
    }

    Store().PutResource("/pics/64/face.png", "a new picture that never arrives whole");
    for (const std::string fault : {R"("status":500)", R"("cut_after":5)"}) {
        SCOPED_TRACE(fault);
        Store().SetFault(R"({"server":"cdn","path":"/pics/64/face.png",)" + fault + "}");
        user = signIn();
        EXPECT_EQ(user.smallAvatar, u"");
        EXPECT_EQ(user.bigAvatar, u".data//big-face.png");
        EXPECT_EQ(ReadFile(pictures / "face.png"), "small picture, a longer third version");
        EXPECT_EQ(files(), (std::set<std::string>{"big-face.png", "face.png"}));
    }
}

}  // namespace

#pragma once
// Starts the local test store (teststore/teststore.py) for one test or fixture and drives it:
// its URLs, the CA file to trust, resources and tokens put in place by the test, the game
// catalogue, fault switches, and the log of the requests it received. Loopback only; stops the
// store on destruction. Used from one test thread at a time.
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/UniqueFd.h"

struct StoreRequest {
    std::string server;           // "api", "site", "cdn" or "cdn_http"
    std::string method;           // "GET"
    std::string path;             // without the query
    std::string query;            // raw query string as received (may be empty)
    std::string range;            // the Range header, empty when none was sent
    int status = 0;               // status the store answered (0 if it cut the connection first)
    uint64_t bytesSent = 0;       // body bytes written
    int connection = 0;           // same number = same TCP connection (keep-alive reuse)
    bool signatureValid = false;  // api only: the OAuth signature checked out
    // When the request arrived, seconds on the store's monotonic clock: compare entries only.
    double time = 0;
};

// One installer file of the store's catalogue, as the store describes it (GET /file).
struct StoreGameFile {
    std::string path;  // relative, "/"-separated, e.g. "setup/demo.bin"
    uint64_t size = 0;
    std::string seed;  // content = TestStore::GeneratedContent(seed, ...)
    uint64_t chunkSize = 0;
    std::string timestamp;
    bool available = true;
    std::string notAvailableMessage;
    std::string md5;       // the store's own whole-file digest (lower-case hex), if asked for
    std::string url;       // <cdn>/secure/<game>/<path>, as the file link gives it
    std::string indexUrl;  // url + ".crc": the chunk index
};

struct StoreToken {
    std::string token;
    std::string secret;
    std::string kind;  // "temporary" (first sign-in step) or "access"
};

class TestStore {
public:
    struct Options {
        // Defaults to teststore/games.json of the source tree.
        std::filesystem::path gamesFile;
        std::vector<std::string> extraArgs;
    };

    TestStore();                          // default options
    explicit TestStore(Options options);  // starts the store; throws std::runtime_error on failure
    ~TestStore();
    TestStore(const TestStore&) = delete;
    TestStore& operator=(const TestStore&) = delete;

    const std::string& ApiUrl() const { return apiUrl_; }          // https://127.0.0.1:<port>
    const std::string& SiteUrl() const { return siteUrl_; }        // https://127.0.0.1:<port>
    const std::string& CdnUrl() const { return cdnUrl_; }          // https://127.0.0.1:<port>
    const std::string& CdnHttpUrl() const { return cdnHttpUrl_; }  // http://127.0.0.1:<port>
    const std::string& CaFile() const { return caFile_; }

    // Points VELKDOWNLOADER_API_URL, _SITE_URL and _CA_FILE at this store (for this process).
    void UseInEnvironment() const;

    // Serves `content` at `path` on both CDN listeners (e.g. "/files/a.bin").
    void PutResource(const std::string& path, const std::string& content);
    // Serves `size` bytes made from `seed` at `path` (see GeneratedContent); nothing is sent or
    // stored, so a resource may be as large as a test needs.
    void PutGeneratedResource(const std::string& path, const std::string& seed, uint64_t size);
    // The bytes [offset, offset + length) of the content the store makes from `seed`:
    // block i of 4096 bytes is SHAKE-256(seed || i as 8-byte big-endian).
    static std::string GeneratedContent(const std::string& seed, uint64_t offset, size_t length);
    // Makes an access token the API accepts, with its secret.
    void AddToken(const std::string& token, const std::string& secret);
    // The API forgets the token: requests signed with it are refused with 401 from now on.
    void RevokeToken(const std::string& token);
    // Every token the API accepts now, in issue order.
    std::vector<StoreToken> Tokens() const;

    // The account of the default teststore/games.json.
    static std::string DemoEmail() { return "demo@velkora.test"; }
    static std::string DemoPassword() { return "demo-password"; }
    static std::string DemoUserName() { return "Demo Player"; }

    // The catalogue's file `fileId` of `game`; throws std::runtime_error if there is none.
    // `withStoreMd5` has the store hash the file now (slow for a large file) to fill md5.
    StoreGameFile GameFile(const std::string& game, uint32_t fileId,
                           bool withStoreMd5 = false) const;
    // Bytes [offset, offset + length) of that file (clipped to its size), and digests of the
    // file and of one chunk, made here from its seed (not asked of the store), so a test can
    // check both the store and the program against them.
    std::string ExpectedFileContent(const std::string& game, uint32_t fileId, uint64_t offset,
                                    uint64_t length) const;
    std::string ExpectedFileMd5(const std::string& game, uint32_t fileId) const;
    std::string ExpectedChunkMd5(const std::string& game, uint32_t fileId, uint32_t chunk) const;
    // Changes a file on the server; names as in games.json: "timestamp", "seed", "size",
    // "chunk_size", "available" ("0"/"1"), "notavailablemsg". A new seed changes the content.
    void ChangeFile(const std::string& game, uint32_t fileId,
                    const std::map<std::string, std::string>& changes);
    // Whether the account owns `game` (a game it does not own answers details with 403).
    void SetOwned(const std::string& game, bool owned);
    // Adds (or replaces) a game, given as a games.json game object; removes one by name.
    void AddGame(const std::string& gameJson);
    void RemoveGame(const std::string& game);

    // Arms a fault, given as a JSON object; see teststore/README.md for the switches. Example:
    // {"server":"cdn","path":"/files/a.bin","fail_next":2,"status":500}
    void SetFault(const std::string& faultJson);
    void ClearFaults();
    // The faults still armed, one JSON object a line, with the uses each has left; a fault armed
    // for a number of requests is gone once that many took it.
    std::string ArmedFaults() const;
    // Site status page: answering (true) or unreachable (false: the connection closes unanswered).
    void SetSiteUp(bool up);

    std::vector<StoreRequest> Requests() const;
    void ClearRequests();

private:
    std::string Control(const std::string& method, const std::string& path,
                        const std::string& body = {}) const;
    void Stop();  // ends the store and reaps it; safe to call twice

    int pid_ = -1;
    UniqueFd stdinFd_;  // the store's standard input: closing it stops the store
    std::string apiUrl_, siteUrl_, cdnUrl_, cdnHttpUrl_, controlUrl_, caFile_;
};

#pragma once
// Starts the local test store (teststore/teststore.py) for one test or fixture and drives it:
// its URLs, the CA file to trust, resources and tokens put in place by the test, fault switches,
// and the log of the requests it received. Loopback only; stops the store on destruction.
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

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
    // Makes a token the API accepts, with its secret.
    void AddToken(const std::string& token, const std::string& secret);

    // Arms a fault, given as a JSON object; see teststore/README.md for the switches. Example:
    // {"server":"cdn","path":"/files/a.bin","fail_next":2,"status":500}
    void SetFault(const std::string& faultJson);
    void ClearFaults();
    // Site status page: answering (true) or refusing with 503 (false).
    void SetSiteUp(bool up);

    std::vector<StoreRequest> Requests() const;
    void ClearRequests();

private:
    std::string Control(const std::string& method, const std::string& path,
                        const std::string& body = {}) const;
    void Stop();  // ends the store and reaps it; safe to call twice

    int pid_ = -1;
    int stdinFd_ = -1;  // the store's standard input: closing it stops the store
    std::string apiUrl_, siteUrl_, cdnUrl_, cdnHttpUrl_, controlUrl_, caFile_;
};

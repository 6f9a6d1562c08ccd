#include "support/TestStore.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>

#include "engine/Curl.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr auto kStartLimit = std::chrono::seconds(30);
constexpr auto kStopLimit = std::chrono::seconds(5);
constexpr size_t kGeneratedBlock = 4096;

// The repository root, found from this file's own path so that a fresh clone works without any
// configuration: <root>/tests/support/TestStore.cpp.
fs::path SourceRoot() {
    const fs::path self(__FILE__);
    if (!self.is_absolute()) {
        throw std::runtime_error("TestStore: source path is not absolute: " + self.string());
    }
    return self.parent_path().parent_path().parent_path();
}

void CloseFd(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

// The string value of `key` in the store's one-line JSON greeting. The greeting holds only
// string values without escapes other than \" \\ and \/, so a full parser is not needed.
std::string JsonString(const std::string& json, const std::string& key) {
    const std::string quoted = "\"" + key + "\"";
    size_t pos = json.find(quoted);
    if (pos == std::string::npos) {
        throw std::runtime_error("TestStore: no \"" + key + "\" in " + json);
    }
    pos = json.find(':', pos + quoted.size());
    pos = json.find('"', pos == std::string::npos ? pos : pos + 1);
    if (pos == std::string::npos) {
        throw std::runtime_error("TestStore: bad value of \"" + key + "\" in " + json);
    }
    std::string value;
    for (++pos; pos < json.size() && json[pos] != '"'; ++pos) {
        if (json[pos] == '\\' && pos + 1 < json.size()) {
            ++pos;
        }
        value += json[pos];
    }
    return value;
}

std::string PercentDecode(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const std::string hex = text.substr(i + 1, 2);
            char* end = nullptr;
            const long value = std::strtol(hex.c_str(), &end, 16);
            if (end == hex.c_str() + 2) {
                out += static_cast<char>(value);
                i += 2;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab - start));
        if (tab == std::string::npos) {
            return fields;
        }
        start = tab + 1;
    }
}

std::string Escape(const std::string& text) {
    std::string out;
    static const char kHex[] = "0123456789ABCDEF";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

size_t AppendToString(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

// Reads the store's first line of standard output, within kStartLimit.
std::string ReadGreeting(int fd) {
    const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
    std::string text;
    while (text.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            throw std::runtime_error("TestStore: the store did not start within 30 s");
        }
        pollfd entry{fd, POLLIN, 0};
        const int ready = poll(&entry, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            continue;
        }
        char buffer[1024];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw std::runtime_error("TestStore: the store ended before it was ready: " + text);
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    return text.substr(0, text.find('\n'));
}

}  // namespace

TestStore::TestStore() : TestStore(Options{}) {}

TestStore::TestStore(Options options) {
    const fs::path root = SourceRoot();
    const fs::path script = root / "teststore" / "teststore.py";
    if (options.gamesFile.empty()) {
        options.gamesFile = root / "teststore" / "games.json";
    }
    std::vector<std::string> args = {
        "/usr/bin/python3", "-B", script.string(), "--games", options.gamesFile.string(),
        "--port",           "0"};
    args.insert(args.end(), options.extraArgs.begin(), options.extraArgs.end());
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    // Both pipes are close-on-exec on our side, so no other child the tests start keeps the
    // store's standard input open (which would keep the store alive).
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
        CloseFd(in[0]);
        CloseFd(in[1]);
        throw std::runtime_error("TestStore: pipe2 failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    CloseFd(in[0]);
    CloseFd(out[1]);
    if (spawned != 0) {
        CloseFd(in[1]);
        CloseFd(out[0]);
        throw std::runtime_error(std::string("TestStore: cannot start python3: ") +
                                 std::strerror(spawned));
    }
    pid_ = pid;
    stdinFd_ = in[1];
    try {
        const std::string greeting = ReadGreeting(out[0]);
        CloseFd(out[0]);
        apiUrl_ = JsonString(greeting, "api");
        siteUrl_ = JsonString(greeting, "site");
        cdnUrl_ = JsonString(greeting, "cdn");
        cdnHttpUrl_ = JsonString(greeting, "cdn_http");
        controlUrl_ = JsonString(greeting, "control");
        caFile_ = JsonString(greeting, "ca_file");
    } catch (...) {
        CloseFd(out[0]);
        Stop();  // no destructor runs for a constructor that throws
        throw;
    }
}

TestStore::~TestStore() {
    Stop();
}

void TestStore::Stop() {
    if (pid_ <= 0) {
        return;
    }
    CloseFd(stdinFd_);
    kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + kStopLimit;
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_ || (done < 0 && errno != EINTR)) {
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid_, SIGKILL);
            while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
}

void TestStore::UseInEnvironment() const {
    setenv("VELKDOWNLOADER_API_URL", apiUrl_.c_str(), 1);
    setenv("VELKDOWNLOADER_SITE_URL", siteUrl_.c_str(), 1);
    setenv("VELKDOWNLOADER_CA_FILE", caFile_.c_str(), 1);
}

void TestStore::PutResource(const std::string& path, const std::string& content) {
    Control("POST", "/resource?path=" + Escape(path), content);
}

void TestStore::PutGeneratedResource(const std::string& path, const std::string& seed,
                                     uint64_t size) {
    Control("POST", "/resource?path=" + Escape(path) + "&seed=" + Escape(seed) +
                        "&size=" + std::to_string(size));
}

std::string TestStore::GeneratedContent(const std::string& seed, uint64_t offset, size_t length) {
    std::string out;
    out.reserve(length);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    &EVP_MD_CTX_free);
    unsigned char block[kGeneratedBlock];
    uint64_t index = offset / kGeneratedBlock;
    size_t skip = static_cast<size_t>(offset % kGeneratedBlock);
    while (out.size() < length) {
        unsigned char counter[8];
        for (int i = 0; i < 8; ++i) {
            counter[i] = static_cast<unsigned char>(index >> (56 - 8 * i));
        }
        if (!context || EVP_DigestInit_ex(context.get(), EVP_shake256(), nullptr) != 1 ||
            EVP_DigestUpdate(context.get(), seed.data(), seed.size()) != 1 ||
            EVP_DigestUpdate(context.get(), counter, sizeof counter) != 1 ||
            EVP_DigestFinalXOF(context.get(), block, sizeof block) != 1) {
            throw std::runtime_error("TestStore: SHAKE-256 failed");
        }
        const size_t take = std::min(kGeneratedBlock - skip, length - out.size());
        out.append(reinterpret_cast<const char*>(block) + skip, take);
        skip = 0;
        ++index;
    }
    return out;
}

void TestStore::AddToken(const std::string& token, const std::string& secret) {
    Control("POST", "/token", "token=" + Escape(token) + "&secret=" + Escape(secret));
}

void TestStore::SetFault(const std::string& faultJson) {
    Control("POST", "/fault", faultJson);
}

void TestStore::ClearFaults() {
    Control("DELETE", "/faults");
}

void TestStore::SetSiteUp(bool up) {
    Control("POST", up ? "/site?up=1" : "/site?up=0");
}

std::vector<StoreRequest> TestStore::Requests() const {
    std::vector<StoreRequest> requests;
    const std::string text = Control("GET", "/requests");
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::vector<std::string> f = SplitTabs(text.substr(start, end - start));
        start = end + 1;
        if (f.size() < 9) {
            throw std::runtime_error("TestStore: bad request log line");
        }
        StoreRequest r;
        r.server = f[0];
        r.method = f[1];
        r.path = PercentDecode(f[2]);
        r.query = PercentDecode(f[3]);
        r.range = PercentDecode(f[4]);
        r.status = std::stoi(f[5]);
        r.bytesSent = std::stoull(f[6]);
        r.connection = std::stoi(f[7]);
        r.signatureValid = f[8] == "1";
        requests.push_back(std::move(r));
    }
    return requests;
}

void TestStore::ClearRequests() {
    Control("DELETE", "/requests");
}

std::string TestStore::Control(const std::string& method, const std::string& path,
                               const std::string& body) const {
    EnsureCurlInitialised();
    CurlEasy curl(curl_easy_init());
    if (!curl) {
        throw std::runtime_error("TestStore: curl_easy_init failed");
    }
    std::string reply;
    const std::string url = controlUrl_ + path;
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, 30L);
    curl_easy_setopt(curl.get(), CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl.get(), CURLOPT_CUSTOMREQUEST, method.c_str());
    // No "Expect: 100-continue" round trip before a large resource.
    CurlSlist headers(curl_slist_append(nullptr, "Expect:"));
    curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
    if (method == "POST") {
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, body.data());
    }
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, &AppendToString);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &reply);
    const CURLcode code = curl_easy_perform(curl.get());
    if (code != CURLE_OK) {
        throw std::runtime_error("TestStore: " + method + " " + path + ": " +
                                 curl_easy_strerror(code));
    }
    long status = 0;
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) {
        throw std::runtime_error("TestStore: " + method + " " + path + " answered " +
                                 std::to_string(status) + ": " + reply);
    }
    return reply;
}

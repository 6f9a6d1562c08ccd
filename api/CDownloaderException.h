#pragma once
// The request executor's own failure: raised when the API refuses the request's credentials and
// caught within the same call, which turns it into the reply text. Carries only a code (1 when
// the executor raises it) and has no message of its own.
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

class CDownloaderException : public std::exception {
public:
    static constexpr int32_t kCredentialsRefused = 1;
    static constexpr std::u16string_view kClassName = u"CDownloaderException";

    explicit CDownloaderException(int32_t code = 0) : code_(code) {}

    int32_t Code() const { return code_; }
    // None: the reply then says that no error message is available.
    std::optional<std::u16string> ErrorMessage() const { return std::nullopt; }
    const char* what() const noexcept override { return "CDownloaderException"; }

private:
    int32_t code_;
};

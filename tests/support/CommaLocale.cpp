#include "support/CommaLocale.h"

#include <clocale>
#include <cstdlib>
#include <cstring>

namespace {
constexpr const char* kName = "de_DE.UTF-8";
}  // namespace

CommaLocale::CommaLocale() {
    if (const char* locpath = std::getenv("LOCPATH")) {
        savedLocpath_ = locpath;
    }
    if (std::setlocale(LC_ALL, kName) == nullptr) {
        // localedef writes a folder per locale under the path given; LOCPATH then points the C
        // library at it.
        const std::filesystem::path target = folder_.Path() / kName;
        const std::string command =
            "localedef -i de_DE -f UTF-8 '" + target.string() + "' >/dev/null 2>&1";
        const int status = std::system(command.c_str());
        ::setenv("LOCPATH", folder_.Path().c_str(), 1);
        if (std::setlocale(LC_ALL, kName) == nullptr) {
            error_ = "cannot set up " + std::string(kName) + " (localedef exit status " +
                     std::to_string(status) + ")";
            return;
        }
    }
    const std::lconv* numbers = std::localeconv();
    if (numbers == nullptr || std::strcmp(numbers->decimal_point, ",") != 0) {
        error_ = std::string(kName) + " is in force but its decimal separator is not a comma";
    }
}

CommaLocale::~CommaLocale() {
    std::setlocale(LC_ALL, "C");
    if (savedLocpath_) {
        ::setenv("LOCPATH", savedLocpath_->c_str(), 1);
    } else {
        ::unsetenv("LOCPATH");
    }
}

#pragma once
// Puts the whole process under a German locale (de_DE.UTF-8, whose decimal separator is a comma)
// for the life of the object, as a Qt front end does on a German desktop, so that tests can show
// our texts are not written with the desktop's separator. Where the machine has no such locale,
// it is made with localedef into a private folder named by LOCPATH; the machine's settings are
// not touched. The process goes back to the "C" locale afterwards. Main thread only.
#include <filesystem>
#include <optional>
#include <string>

#include "support/TempHome.h"

class CommaLocale {
public:
    CommaLocale();
    ~CommaLocale();
    CommaLocale(const CommaLocale&) = delete;
    CommaLocale& operator=(const CommaLocale&) = delete;

    // Whether the locale is in force; the reason it is not otherwise.
    bool Active() const { return error_.empty(); }
    const std::string& Error() const { return error_; }

private:
    TempDir folder_;
    std::optional<std::string> savedLocpath_;
    std::string error_;
};

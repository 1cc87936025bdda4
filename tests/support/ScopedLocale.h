#pragma once
// Sets LC_ALL (the station's language and code page) for one test and puts the previous
// value back however the test ends.
#include <cstdlib>
#include <string>

namespace testsupport {

class ScopedLocale {
public:
    explicit ScopedLocale(const char* locale)
    {
        const char* value = std::getenv("LC_ALL");
        had_ = value != nullptr;
        if (had_)
            saved_ = value;
        set(locale);
    }
    ~ScopedLocale()
    {
        if (had_)
            setenv("LC_ALL", saved_.c_str(), 1);
        else
            unsetenv("LC_ALL");
    }
    ScopedLocale(const ScopedLocale&) = delete;
    ScopedLocale& operator=(const ScopedLocale&) = delete;
    void set(const char* locale) { setenv("LC_ALL", locale, 1); }

private:
    std::string saved_;
    bool had_ = false;
};

} // namespace testsupport

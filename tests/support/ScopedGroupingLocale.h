#pragma once

#include <locale>
#include <string>

namespace tarn {
namespace test {

// Installs a global locale that groups thousands with a comma, as a host's national locale may,
// for the object's lifetime, and restores the previous one.
class ScopedGroupingLocale {
public:
    ScopedGroupingLocale()
        : previous(std::locale::global(std::locale(std::locale::classic(), new Thousands))) {}
    ~ScopedGroupingLocale() { std::locale::global(previous); }
    ScopedGroupingLocale(const ScopedGroupingLocale&) = delete;
    ScopedGroupingLocale& operator=(const ScopedGroupingLocale&) = delete;

private:
    struct Thousands : std::numpunct<char> {
        char do_thousands_sep() const override { return ','; }
        std::string do_grouping() const override { return "\3"; }
    };

    std::locale previous;
};

}  // namespace test
}  // namespace tarn

#include "tarn/client/impl/Log.h"

#include <locale>
#include <string>

#include <gtest/gtest.h>

using tarn::client::impl::Log;

namespace {

// Groups thousands with a comma, as some national locales do.
struct Grouping : std::numpunct<char> {
    char do_thousands_sep() const override { return ','; }
    std::string do_grouping() const override { return "\3"; }
};

// Installs a global locale for one test and restores the previous one.
class GlobalLocale {
public:
    explicit GlobalLocale(const std::locale& locale) : previous(std::locale::global(locale)) {}
    ~GlobalLocale() { std::locale::global(previous); }

private:
    std::locale previous;
};

}  // namespace

TEST(Log, FormatFillsPlaceholdersByPositionAndToleratesMismatches) {
    EXPECT_EQ(Log::format("%2%/%1%", "a", 7), "7/a");
    EXPECT_EQ(Log::format("only %1%", 1, 2), "only 1");
    EXPECT_EQ(Log::format("%1% and %2%", "one"), "one and ");
}

TEST(Log, NumbersIgnoreTheHostsGlobalLocale) {
    GlobalLocale grouping(std::locale(std::locale::classic(), new Grouping));
    EXPECT_EQ(Log::format("port %1%, id %2%", 13434, -1234567L), "port 13434, id -1234567");
}

#include "ui/controls.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

using namespace Qt::StringLiterals;

// What the list paints for a title or an address: one line, where every
// invisible character shows as its code.
TEST(SingleLineDelegate, ShowsOneLineWithInvisibleCharactersAsTheirCode)
{
    const std::tuple<const char *, QString, QString> rows[] = {
        {"right-to-left override among invisible ones", u"song\u202E\u00AD3pm.hs"_s,
         u"song<U+202E><U+00AD>3pm.hs"_s},
        {"beyond the first plane, separators, noncharacters",
         u"a\U000E0001b\u2028\uFFFE\U0010FFFF"_s, u"a<U+E0001>b<U+2028><U+FFFE><U+10FFFF>"_s},
        {"line breaks and tabs become blanks, letters of every plane stay",
         u"노래\r\n\t\U00020000"_s, u"노래   \U00020000"_s},
    };
    const plimo::SingleLineDelegate delegate;
    for (const auto &[name, text, shown] : rows)
        EXPECT_EQ(delegate.displayText(text, QLocale::c()).toStdU16String(), shown.toStdU16String())
            << name;
}

}  // namespace

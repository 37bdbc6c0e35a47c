#include "ui/controls.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

using namespace Qt::StringLiterals;

TEST(SingleLineDelegate, ShowsInvisibleCharactersAsTheirCode)
{
    const std::tuple<const char *, QString, QString> rows[] = {
        {"right-to-left override", u"song\u202E3pm.hs"_s, u"song<U+202E>3pm.hs"_s},
        {"invisible ones side by side", u"\u200B\u200F\uFEFF"_s, u"<U+200B><U+200F><U+FEFF>"_s},
        {"beyond the first plane", u"a\U000E0001b"_s, u"a<U+E0001>b"_s},
        {"line and paragraph separators", u"a\u2028b\u2029c"_s, u"a<U+2028>b<U+2029>c"_s},
        {"noncharacters", u"\uFDD0\uFDEF\uFFFE\U0001FFFF\U0010FFFF"_s,
         u"<U+FDD0><U+FDEF><U+FFFE><U+1FFFF><U+10FFFF>"_s},
        {"letters of every plane stay", u"노래 \U00020000"_s, u"노래 \U00020000"_s},
    };
    const plimo::SingleLineDelegate delegate;
    for (const auto &[name, text, shown] : rows)
        EXPECT_EQ(delegate.displayText(text, QLocale::c()).toStdU16String(), shown.toStdU16String())
            << name;
}

}  // namespace

#pragma once

// The pages of the search benchmark's portal, shared by the benchmark and the
// server that plays the portal for it.

#include <QString>

#include <string>

namespace benchpages {

inline const QString Blog = QStringLiteral("http://blog.naver.com/");
inline const QString File = QStringLiteral("http://blogattach.naver.com");

// size code units of markup and mixed Korean and English text.
QString filler(qsizetype size);

// The body the portal serves for a request target (absolute, as through a
// proxy): ten posts on each result page, a file on every post; "" for any
// other address.
std::string portalPage(const std::string &requestTarget);

}  // namespace benchpages

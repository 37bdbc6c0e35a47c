#pragma once

#include <QByteArray>
#include <QString>

namespace plimo {

// Turns a page's bytes into text. The charset comes from the Content-Type
// header, else from a <meta> charset near the top of the page, else UTF-8 when
// the bytes are valid UTF-8, else CP949 (the portal's older pages are
// EUC-KR, of which CP949 is the superset browsers use). A label that is not
// known falls through to the next rule. A UTF-8 byte-order mark wins over
// everything and is dropped.
QString decodePageText(const QByteArray &body, const QByteArray &contentType);

}  // namespace plimo

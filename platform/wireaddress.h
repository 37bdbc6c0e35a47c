#pragma once

#include <QByteArray>
#include <QString>

namespace plimo {

// An address exactly as it goes on the wire: as typed, except for the
// characters a URL cannot carry (blanks, controls, non-ASCII as UTF-8, and
// " < > # ` { } | \ ^), which are percent-encoded. The extraction checks a
// file address in this form, so what it checks is what the download sends.
QByteArray wireAddress(const QString &address);

}  // namespace plimo

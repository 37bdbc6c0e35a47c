#pragma once

// The string operations that every rule of the program is written in.
//
// Strings are QString: sequences of UTF-16 code units. Lengths and positions
// count code units (a character outside the BMP counts two). Positions are
// 1-based; 0 means "not found". All comparisons are binary and case-sensitive
// unless LowerCase is applied explicitly.
//
// Operations that are called outside their range throw plimo::Error with the
// number the program relies on: 5 for a start, position or length below its
// range, 6 for a value that does not fit its variable, 9 for an array element
// that does not exist, 13 for text that is not a number.

#include "platform/error.h"

#include <QString>

#include <cstdint>
#include <optional>

namespace plimo::text {

// Position of the first occurrence of pattern at or after start; 0 if none,
// if start is past the end of text, or if text is empty. An empty pattern
// yields start (when text is not empty and start is within it). start < 1: error 5.
qsizetype InStr(qsizetype start, const QString &text, const QString &pattern);

// Position of the last occurrence of pattern; 0 if none.
qsizetype InStrRev(const QString &text, const QString &pattern);

// At most length code units from start; without length, everything from start.
// A start past the end yields "". start < 1 or length < 0: error 5.
QString Mid(const QString &text, qsizetype start);
QString Mid(const QString &text, qsizetype start, qsizetype length);

// Upper-case letters to lower case; everything else unchanged.
QString LowerCase(const QString &text);

// Element index of the pieces of text between the delimiters, without
// building the array of pieces, so cutting one piece out of a large page
// costs one pass and one copy. Empty text has no pieces at all; text without
// the delimiter, or an empty delimiter, has text itself as its only piece.
// nullopt where the piece does not exist (an array element would fail with
// error 9).
std::optional<QString> SplitElement(const QString &text, const QString &delimiter, qsizetype index);

// Every non-overlapping occurrence of find, left to right, replaced.
// An empty find leaves text unchanged.
QString Replace(const QString &text, const QString &find, const QString &replacement);

// Pattern match where "*" stands for any run of code units (also none) and
// every other character stands for itself.
bool Like(const QString &text, const QString &pattern);

// count blanks. count < 0: error 5.
QString Space(qsizetype count);

// value with exactly `digits` fraction digits, rounded half away from zero, in
// the Korean locale's form (comma grouping, point, leading zero) whatever the
// machine's locale is.
QString FormatNumber(double value, int digits);

// Decimal digits, "-" before negatives. A Single without fraction is written
// without a decimal point.
QString NumberToText(std::int64_t value);
QString NumberToText(float value);

// The number that text spells, blanks around it allowed; 64-bit, as the
// download needs sizes beyond 2 GiB. Error 13 when text is empty or not a
// number, error 6 when the value does not fit.
std::int64_t TextToLongLong(const QString &text);

// Whether c changes how a line of text looks while showing no glyph of its
// own: a format character (U+202E makes "song\u202E3pm.hs" read as
// "songsh.mp3"), a line or paragraph separator (a break inside one line), or a
// noncharacter (U+FDD0..U+FDEF, U+xFFFE and U+xFFFF: no character at all).
bool IsInvisibleCharacter(char32_t c);

}  // namespace plimo::text

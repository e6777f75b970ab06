#pragma once
// The simulator's photographs: a real JPEG per record with its number and date drawn on it.
#include <QByteArray>
#include <QDate>

namespace brtxsim {

// A JPEG of record n, padded with comment segments to exactly `bytes` bytes when the image
// itself is smaller (it is never cut). bytes <= 0 gives an empty picture. Deterministic:
// the same arguments give the same bytes. Safe on any thread (no fonts are used).
QByteArray MakePhoto(int n, const QDate& date, int bytes);

} // namespace brtxsim

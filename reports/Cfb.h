#pragma once
// A compound file (the container of .xls workbooks) with one stream: writing, and reading
// one named stream back. Version 3 files with 512-byte sectors are written; the FAT grows
// into DIFAT sectors when the stream is larger than the header's 109 FAT slots cover.
#include <QByteArray>
#include <QString>

namespace Cfb {

// The bytes of a compound file holding one stream `name` (at most 31 characters) under the
// root storage. A stream shorter than 4096 bytes is padded with zero bytes to 4096 so that
// it lives in regular sectors (no mini stream).
QByteArray WriteSingleStream(const QString& name, const QByteArray& stream);

// The stream `name` (compared without regard to case) of the compound file `file`.
// Returns false with a reason in *error when the bytes are not a readable compound file
// or hold no such stream. Streams in the mini stream are read as well.
bool ReadStream(const QByteArray& file, const QString& name, QByteArray* stream,
                QString* error = nullptr);

} // namespace Cfb

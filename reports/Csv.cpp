#include "reports/Csv.h"

#include <QRegularExpression>

namespace Csv {

bool IsPlainNumber(const QString& text) {
    static const QRegularExpression number(
        QStringLiteral("^[+-]?(?:[0-9]+(?:\\.[0-9]*)?|\\.[0-9]+)(?:[eE][+-]?[0-9]+)?$"));
    return number.match(text).hasMatch();
}

QByteArray Field(const QString& text) {
    QString value = text;
    if (!value.isEmpty()) {
        const QChar first = value.front();
        const bool risky = first == u'=' || first == u'+' || first == u'-' || first == u'@' ||
                           first == u'\t' || first == u'\r';
        if (risky && !IsPlainNumber(value))
            value.prepend(u'\'');
    }
    QByteArray bytes = value.toUtf8();
    if (bytes.contains(',') || bytes.contains('"') || bytes.contains('\r') ||
        bytes.contains('\n')) {
        bytes.replace("\"", "\"\"");
        bytes.prepend('"');
        bytes.append('"');
    }
    return bytes;
}

QByteArray Line(const QStringList& fields) {
    QByteArray line;
    for (int i = 0; i < fields.size(); ++i) {
        if (i > 0)
            line += ',';
        line += Field(fields[i]);
    }
    line += "\r\n";
    return line;
}

} // namespace Csv

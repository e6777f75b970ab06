#include "reports/ExcelExport.h"

#include "reports/ExcelCtrl.h"

#include <QFile>
#include <QFileInfo>

QString XlsExportPath(const QString& chosenPath) {
    if (chosenPath.isEmpty())
        return QString();
    const QString name = QFileInfo(chosenPath).fileName();
    if (name.isEmpty())
        return QString();
    if (!name.contains(QLatin1Char('.')))
        return chosenPath + QStringLiteral(".xls");
    const QString ext = name.right(4);
    if (ext == QLatin1String(".xls") || ext == QLatin1String(".XLS"))
        return chosenPath;
    return QString();
}

bool ExportListToXls(const QString& path, const QStringList& headings,
                     const QVector<QStringList>& rows, QString* error) {
    if (QFileInfo::exists(path))
        QFile::remove(path);

    CExcelCtrl sheet(path, QStringLiteral("Value"), true);
    sheet.BeginTransaction();

    QStringList names;
    for (const QString& heading : headings) {
        QString text = heading.left(kXlsCellChars);
        if (text.isEmpty())
            continue;
        text.remove(QLatin1Char('.'));
        // Two equal headings (two fields with the same title) would make the writer refuse
        // the header row and with it every row: number the repeats instead.
        if (names.contains(text)) {
            int n = 2;
            while (names.contains(QStringLiteral("%1 (%2)").arg(text).arg(n)))
                ++n;
            text = QStringLiteral("%1 (%2)").arg(text).arg(n);
        }
        names.append(text);
    }
    bool ok = sheet.AddHeaders(names);
    QString firstError = ok ? QString() : sheet.LastError();

    QStringList values;
    for (const QStringList& row : rows) {
        values.clear();
        for (qsizetype c = 0; c < headings.size(); ++c)
            values.append(row.value(c).left(kXlsCellChars));
        if (!sheet.AddRow(values, 0, false) && firstError.isEmpty())
            firstError = sheet.LastError();
    }
    ok = sheet.Commit();
    if (!ok && firstError.isEmpty())
        firstError = sheet.LastError();
    if (error)
        *error = firstError;
    return ok && firstError.isEmpty();
}

#include "app/cli/CentralArgs.h"

#include "base/Language.h"
#include "central/CentralConfig.h"
#include "central/CentralRecordSource.h"
#include "history/core/LocalRecordSource.h"

bool TakeCentralArg(const CLanguage& texts, QStringList& args, bool& given, QString& conninfo,
                    QString& error) {
    given = false;
    QString value;
    bool haveValue = false;
    QString file;
    bool haveFile = false;
    QStringList rest;
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--central-file") ||
            a.startsWith(QLatin1String("--central-file="))) {
            given = true;
            haveFile = true;
            if (a.size() > 14)
                file = a.mid(15);
            else if (i + 1 < args.size())
                file = args[++i];
            if (file.isEmpty()) {
                error = QStringLiteral("--central-file needs a file: --central-file FILE");
                return false;
            }
        } else if (a == QLatin1String("--central")) {
            given = true;
            if (i + 1 < args.size() && !args[i + 1].startsWith(QLatin1Char('-'))) {
                value = args[++i];
                haveValue = true;
            }
        } else if (a.startsWith(QLatin1String("--central="))) {
            given = true;
            value = a.mid(10);
            haveValue = !value.trimmed().isEmpty();
        } else {
            rest << a;
        }
    }
    args = rest;
    if (haveFile && haveValue) {
        error = QStringLiteral("--central CONNINFO and --central-file FILE name two stores: "
                               "give one");
        return false;
    }
    QString problem;
    if (haveFile) {
        if (!Central::ReadConnectionFile(file, conninfo, &problem)) {
            error = QStringLiteral("--central-file: %1").arg(problem);
            return false;
        }
        if (conninfo.isEmpty()) {
            error = QStringLiteral("--central-file: %1 holds no connection line").arg(file);
            return false;
        }
        return true;
    }
    conninfo = haveValue ? value.trimmed() : Central::CentralUrl(texts, &problem);
    if (given && conninfo.isEmpty()) {
        error = problem.isEmpty()
                    ? QStringLiteral("--central: no connection string given and none in %1 or "
                                     "CentralUrl of Language.ini")
                          .arg(Central::CentralConfPath())
                    : QStringLiteral("--central: %1").arg(problem);
        return false;
    }
    return true;
}

std::unique_ptr<IRecordSource> ListSource(const CLanguage& texts, bool central,
                                          const QString& conninfo) {
    if (central)
        return std::make_unique<CCentralRecordSource>(conninfo, QString(), texts);
    return std::make_unique<CLocalRecordSource>(QString(), texts);
}

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
    QStringList rest;
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--central")) {
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
    conninfo = haveValue ? value.trimmed() : Central::CentralUrl(texts);
    if (given && conninfo.isEmpty()) {
        error = QStringLiteral("--central: no connection string given and no CentralUrl in "
                               "Language.ini");
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

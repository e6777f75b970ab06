#include "central/CentralConfig.h"

#include "base/Language.h"

#include <QSysInfo>

namespace Central {

QString CentralUrl(const CLanguage& texts) {
    return texts.ReadGlobal(QStringLiteral("CentralUrl")).trimmed();
}

bool HasCentral(const CLanguage& texts) {
    return !CentralUrl(texts).isEmpty();
}

QString StationName(const CLanguage& texts) {
    const QString station = texts.ReadGlobal(QStringLiteral("Station")).trimmed();
    if (!station.isEmpty())
        return station;
    const QString host = QSysInfo::machineHostName();
    return host.isEmpty() ? QStringLiteral("desk") : host;
}

} // namespace Central

#include "central/CentralConfig.h"

#include "base/Language.h"

#include <QMutex>
#include <QSysInfo>

namespace Central {

namespace {
QMutex g_mutex;
QString g_override;
bool g_hasOverride = false;
} // namespace

QString CentralUrl() {
    {
        QMutexLocker lock(&g_mutex);
        if (g_hasOverride)
            return g_override;
    }
    return Language().ReadGlobal(QStringLiteral("CentralUrl")).trimmed();
}

void SetCentralUrlOverride(const QString& conninfo) {
    QMutexLocker lock(&g_mutex);
    g_override = conninfo.trimmed();
    g_hasOverride = true;
}

bool HasCentral() {
    return !CentralUrl().isEmpty();
}

QString StationName() {
    const QString station = Language().ReadGlobal(QStringLiteral("Station")).trimmed();
    if (!station.isEmpty())
        return station;
    const QString host = QSysInfo::machineHostName();
    return host.isEmpty() ? QStringLiteral("desk") : host;
}

} // namespace Central

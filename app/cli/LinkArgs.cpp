#include "app/cli/LinkArgs.h"

namespace {
bool IsOption(const QString& arg) {
    return arg.startsWith(QLatin1Char('-'));
}
} // namespace

bool TakeLinkArgs(QStringList& args, LinkTarget& target, QString& error) {
    return TakeLinkArgs(args, target, error, 0);
}

bool TakeLinkArgs(QStringList& args, LinkTarget& target, QString& error, int trailing) {
    target = LinkTarget();
    QStringList rest;
    int usbAt = -1;       // index in rest just behind which a --usb serial was taken
    QString usbCandidate; // the word after a bare --usb
    int routes = 0;
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--wifi")) {
            if (i + 1 >= args.size() || IsOption(args[i + 1])) {
                error = QStringLiteral("--wifi needs an address");
                return false;
            }
            target.route = LinkRoute::Wifi;
            target.address = args[++i];
            ++routes;
        } else if (a.startsWith(QLatin1String("--wifi="))) {
            target.route = LinkRoute::Wifi;
            target.address = a.mid(7);
            ++routes;
        } else if (a == QLatin1String("--usb")) {
            target.route = LinkRoute::Usb;
            ++routes;
            if (i + 1 < args.size() && !IsOption(args[i + 1])) {
                usbCandidate = args[++i];
                usbAt = rest.size();
            }
        } else if (a.startsWith(QLatin1String("--usb="))) {
            target.route = LinkRoute::Usb;
            target.serial = a.mid(6);
            ++routes;
        } else {
            rest.append(a);
        }
    }
    if (routes == 0) {
        error = QStringLiteral("give --wifi ADDRESS or --usb [SERIAL]");
        return false;
    }
    if (routes > 1) {
        error = QStringLiteral("give only one of --wifi and --usb");
        return false;
    }
    if (usbAt >= 0) {
        // The word after --usb is its serial unless the command needs it as one of its own
        // trailing words ("set-id --usb 123456789012").
        int words = 0;
        for (const QString& r : rest)
            if (!IsOption(r))
                ++words;
        if (words >= trailing)
            target.serial = usbCandidate;
        else
            rest.insert(usbAt, usbCandidate);
    }
    args = rest;
    return true;
}

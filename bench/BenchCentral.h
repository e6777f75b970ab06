#pragma once
// The central-store benchmarks against a PostgreSQL server over loopback: sync of a desk's
// records without and with photographs, verify --central of as many sealed records, and the
// first screen of the central history list
// over a large table. Each run works in a database of its own, dropped afterwards.
#include <QString>

namespace bench {

struct CentralSettings {
    QString conninfo;          // the server (a database the role may create databases from)
    QString programDir;        // for the desk's Language.ini
    int syncRecords = 100000;  // records of the sync without photographs
    int pictureRecords = 2000; // records of the sync with photographs
    int photoBytes = 60000;
    int queryRecords = 1000000; // records of the central history list
    int runs = 3;
};

struct CentralFigures {
    bool ok = false;
    QString problem;
    QString server;    // version and the settings that matter for writing
    double syncMs = 0; // the sync without photographs
    double pictureSyncMs = 0;
    double resyncMs = 0;      // the same records again: nothing new
    double fillMs = 0;        // the large table written on the server
    double firstScreenMs = 0; // one device: columns, count and the first 50 rows (median)
    double allDevicesMs = 0;  // every device, same (median)
    double sortedMs = 0;      // one device sorted by result (median)
    double sealedSyncMs = 0;  // syncRecords sealed and signed records, with their seals
    double verifyMs = 0;      // verify --central of those records (rows and seals)
    qint64 verified = 0;      // of them, verified
};

CentralFigures RunCentralBench(const CentralSettings& settings);

} // namespace bench

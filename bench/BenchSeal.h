#pragma once
// The integrity benchmark: what sealing adds to storing a downloaded record, and how fast
// `verify` checks a large database with its pictures.
#include <QString>

namespace bench {

struct SealCostFigures {
    bool ok = false;
    QString problem;
    int records = 0;
    // Processor time per record (a commit's flush to disk is the same in both and is left out:
    // it is waiting, not work): row insert and picture file, then the same as a download does
    // it now, one transaction with the row, the picture and the seal.
    double plainMsPerRecord = 0;
    double sealedMsPerRecord = 0;
};

// Stores `records` records with pictures of photoBytes bytes twice in temporary folders: once
// without seals, once with them, exactly as a download stores a record.
SealCostFigures RunSealCost(int records, int photoBytes);

struct VerifyFigures {
    bool ok = false;
    QString problem;
    int records = 0;
    double fillMs = 0;    // making the database, pictures and seals
    double rowsMs = 0;    // verify of rows and chains alone
    double rowsCpuMs = 0; // its processor time (all threads)
    double markMs = 0;    // the history list's first mark of the device (its whole check)
    double fullCpuMs = 0; // the same for the full verify
    double fullMs = 0;    // verify with every picture read and hashed (cold cache)
    double readMs = 0;    // reading the same pictures without hashing (cold cache)
    qint64 pictureBytes = 0;
    bool coldCache = false; // pictures dropped from the page cache before each read
    double FullMBps() const { return fullMs > 0 ? pictureBytes / 1e3 / fullMs : 0; }
    double ReadMBps() const { return readMs > 0 ? pictureBytes / 1e3 / readMs : 0; }
};

// A database of `records` sealed records of one device with distinct pictures of photoBytes
// bytes; verify run on it (rows only, then in full) and the pictures read plainly for the
// disk's own speed.
VerifyFigures RunVerifyBench(int records, int photoBytes);

} // namespace bench

#pragma once
// SHA-256 through OpenSSL's libcrypto (EVP), which uses the processor's SHA instructions
// where it has them. Used for every hash the store writes or checks.
#include <QByteArray>
#include <QByteArrayView>
#include <QString>

struct evp_md_ctx_st;

class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void reset();
    void addData(QByteArrayView bytes);
    // The 32-byte digest of what was added; the object is reset afterwards.
    QByteArray result();

    static QByteArray hash(QByteArrayView bytes);
    // 64 lower-case hex digits of the SHA-256 of bytes.
    static QString hex(QByteArrayView bytes);

private:
    evp_md_ctx_st* m_ctx = nullptr;
};

#include "store/Sha256.h"

#include <openssl/evp.h>

#include <cstdlib>

Sha256::Sha256() : m_ctx(EVP_MD_CTX_new()) {
    if (!m_ctx)
        std::abort(); // out of memory: nothing can be hashed
    reset();
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(m_ctx);
}

void Sha256::reset() {
    EVP_DigestInit_ex(m_ctx, EVP_sha256(), nullptr);
}

void Sha256::addData(QByteArrayView bytes) {
    if (!bytes.isEmpty())
        EVP_DigestUpdate(m_ctx, bytes.data(), size_t(bytes.size()));
}

QByteArray Sha256::result() {
    QByteArray digest(32, Qt::Uninitialized);
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_ctx, reinterpret_cast<unsigned char*>(digest.data()), &length);
    reset();
    return digest;
}

QByteArray Sha256::hash(QByteArrayView bytes) {
    QByteArray digest(32, Qt::Uninitialized);
    unsigned int length = 0;
    EVP_Digest(bytes.data(), size_t(bytes.size()), reinterpret_cast<unsigned char*>(digest.data()),
               &length, EVP_sha256(), nullptr);
    return digest;
}

QString Sha256::hex(QByteArrayView bytes) {
    return QString::fromLatin1(hash(bytes).toHex());
}

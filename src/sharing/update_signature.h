#pragma once
#include <QByteArray>
#include <QString>

#include "util/result.h"

namespace nimbo::UpdateSignature {

// Whether `signature` (64 raw bytes) is the Ed25519 signature of the whole
// file at `path` under `publicKey` (32 raw bytes). An error says why not
// (unreadable file, bad key, a signature that does not verify).
Result<bool> verifyFile(const QString& path, const QByteArray& publicKey, const QByteArray& signature);
Result<bool> verify(QByteArrayView message, const QByteArray& publicKey, const QByteArray& signature);

}  // namespace nimbo::UpdateSignature

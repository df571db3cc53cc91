#include "sharing/update_signature.h"

#include <QFile>

#include <openssl/evp.h>

#include <memory>

namespace nimbo::UpdateSignature {

namespace {

Error signatureError(const QString& why) { return Error{why, QStringLiteral("Nimbo.Updates"), -2}; }

}  // namespace

Result<bool> verify(QByteArrayView message, const QByteArray& publicKey, const QByteArray& signature) {
  if (publicKey.size() != 32) return signatureError(QStringLiteral("no valid update key is built in"));
  if (signature.size() != 64) return signatureError(QStringLiteral("the signature is not 64 bytes"));
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char*>(publicKey.data()),
                                  size_t(publicKey.size())),
      &EVP_PKEY_free);
  if (!key) return signatureError(QStringLiteral("the update key is not an Ed25519 key"));
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1)
    return signatureError(QStringLiteral("cannot set up signature checking"));
  // Ed25519 signs the message itself, in one piece.
  const int rc = EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                                  size_t(signature.size()), reinterpret_cast<const unsigned char*>(message.data()),
                                  size_t(message.size()));
  if (rc != 1) return signatureError(QStringLiteral("the signature does not match the archive"));
  return true;
}

Result<bool> verifyFile(const QString& path, const QByteArray& publicKey, const QByteArray& signature) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return signatureError(QStringLiteral("cannot read ") + path + QStringLiteral(": ") + f.errorString());
  if (f.size() == 0) return verify({}, publicKey, signature);
  uchar* data = f.map(0, f.size());
  if (!data) return signatureError(QStringLiteral("cannot map ") + path + QStringLiteral(": ") + f.errorString());
  Result<bool> r = verify(QByteArrayView(reinterpret_cast<const char*>(data), f.size()), publicKey, signature);
  f.unmap(data);
  return r;
}

}  // namespace nimbo::UpdateSignature

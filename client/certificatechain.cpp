#include "client/certificatechain.h"

#include <QByteArray>
#include <QCryptographicHash>

#include <algorithm>

namespace velmora::certificatechain {
namespace {

// Attribute by attribute, each value list in order: Qt exposes no encoded name to compare.
bool issuerIsSubjectOf(const QSslCertificate &issued, const QSslCertificate &issuer)
{
    const QList<QByteArray> attributes = issued.issuerInfoAttributes();
    if (attributes != issuer.subjectInfoAttributes())
        return false;
    return std::all_of(attributes.cbegin(), attributes.cend(), [&](const QByteArray &attribute) {
        return issued.issuerInfo(attribute) == issuer.subjectInfo(attribute);
    });
}

} // namespace

bool leadsToAuthority(const QList<QSslCertificate> &chain,
                      const QList<QSslCertificate> &authorities)
{
    if (chain.isEmpty())
        return false;
    QList<QByteArray> digests;
    for (const QSslCertificate &authority : authorities)
        digests.append(authority.digest(QCryptographicHash::Sha256));
    bool rooted = false;
    for (const QSslCertificate &certificate : chain) {
        if (digests.contains(certificate.digest(QCryptographicHash::Sha256)))
            return true;
        rooted = rooted || issuerIsSubjectOf(certificate, certificate);
    }
    if (rooted)
        return false;
    return std::any_of(authorities.cbegin(), authorities.cend(),
                       [&](const QSslCertificate &authority) {
                           return issuerIsSubjectOf(chain.last(), authority);
                       });
}

} // namespace velmora::certificatechain

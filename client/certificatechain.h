// Whether a verified certificate chain leads to one of a given set of CAs.
#pragma once

#include <QList>
#include <QSslCertificate>

namespace velmora::certificatechain {

/// True when `chain` (the peer's, leaf first, as the TLS library verified it) leads to one of
/// `authorities`: one of its certificates is one of them byte for byte (compared by SHA-256
/// digest), or, when the chain holds no self-issued certificate (a server need not send its
/// root), its last certificate names one of them as its issuer. A chain that ends in a root
/// (Windows' chain engine always ends it in one) must therefore end in, or pass through, one of
/// `authorities` exactly. False for an empty chain or no authorities.
///
/// Only meaningful after the TLS library has verified `chain`: names are compared, signatures
/// are not checked again.
bool leadsToAuthority(const QList<QSslCertificate> &chain,
                      const QList<QSslCertificate> &authorities);

} // namespace velmora::certificatechain

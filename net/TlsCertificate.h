// Plain-words descriptions of a certificate, for the texts that say why a
// server's certificate was refused. Every text is cut to printable ASCII: a
// certificate is the server's input and ends up in the log.
#pragma once

#include <openssl/x509.h>

#include <string>

namespace pw {

// "CN=Parcelwing Test CA,O=Example" (RFC 2253 order).
std::string CertificateNameText(const X509_NAME* name);
// The names the certificate is made out for: its subjectAltName DNS names
// and IP addresses, or its common name when it has none; "no name" when it
// has neither. Joined with ", ".
std::string CertificateHostNames(X509* certificate);
// "2020-01-02 00:00:00 UTC".
std::string CertificateTimeText(const ASN1_TIME* time);
// Bytes outside printable ASCII become '?'; at most limit characters.
std::string PrintableText(const std::string& text, std::size_t limit = 200);

}  // namespace pw

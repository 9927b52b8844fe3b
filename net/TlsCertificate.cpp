#include "net/TlsCertificate.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/x509v3.h>

#include <ctime>

namespace pw {

std::string PrintableText(const std::string& text, std::size_t limit) {
    std::string out;
    for (char c : text) {
        if (out.size() >= limit) {
            out += "...";
            break;
        }
        unsigned char u = static_cast<unsigned char>(c);
        out += (u >= 0x20 && u < 0x7f) ? c : '?';
    }
    return out;
}

std::string CertificateNameText(const X509_NAME* name) {
    if (name == nullptr) return "no name";
    BIO* bio = BIO_new(BIO_s_mem());
    if (bio == nullptr) return "no name";
    X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253);
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    std::string text = length > 0 ? std::string(data, static_cast<std::size_t>(length)) : "no name";
    BIO_free(bio);
    return PrintableText(text);
}

namespace {

std::string AddressText(const ASN1_OCTET_STRING* address) {
    const unsigned char* bytes = ASN1_STRING_get0_data(address);
    int length = ASN1_STRING_length(address);
    char text[INET6_ADDRSTRLEN] = "";
    if (length == 4) inet_ntop(AF_INET, bytes, text, sizeof text);
    if (length == 16) inet_ntop(AF_INET6, bytes, text, sizeof text);
    return text[0] != 0 ? text : "an address of " + std::to_string(length) + " bytes";
}

std::string StringText(const ASN1_STRING* s) {
    return PrintableText(std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                                     static_cast<std::size_t>(ASN1_STRING_length(s))),
                         100);
}

}  // namespace

std::string CertificateHostNames(X509* certificate) {
    std::string names;
    auto add = [&names](const std::string& name) {
        if (names.size() > 300) return;
        if (!names.empty()) names += ", ";
        names += name;
    };
    auto* list = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
    if (list != nullptr) {
        for (int i = 0; i < sk_GENERAL_NAME_num(list); ++i) {
            const GENERAL_NAME* name = sk_GENERAL_NAME_value(list, i);
            if (name->type == GEN_DNS) add(StringText(name->d.dNSName));
            if (name->type == GEN_IPADD) add(AddressText(name->d.iPAddress));
        }
        GENERAL_NAMES_free(list);
    }
    if (!names.empty()) return names;
    // RFC 6125 section 6.4.4: the common name counts only without DNS names.
    const X509_NAME* subject = X509_get_subject_name(certificate);
    int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (index >= 0) return StringText(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
    return "no name";
}

std::string CertificateTimeText(const ASN1_TIME* time) {
    std::tm tm{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1) return "an unreadable date";
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return text;
}

}  // namespace pw

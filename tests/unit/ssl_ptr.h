// Owning pointers for the OpenSSL objects the tests make, freed by the library's own calls,
// and what the tests' certificates are made with.
#pragma once

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <gtest/gtest.h>

#include <memory>

struct pkey_free {
    void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
struct x509_free {
    void operator()(X509 *x) const { X509_free(x); }
};
struct ctx_free {
    void operator()(SSL_CTX *c) const { SSL_CTX_free(c); }
};
struct session_free {
    void operator()(SSL_SESSION *s) const { SSL_SESSION_free(s); }
};
using pkey_ptr = std::unique_ptr<EVP_PKEY, pkey_free>;
using x509_ptr = std::unique_ptr<X509, x509_free>;
using ctx_ptr = std::unique_ptr<SSL_CTX, ctx_free>;
using session_ptr = std::unique_ptr<SSL_SESSION, session_free>;

// Adds extension nid with its configuration text, as the openssl command does.
inline void add_ext(X509 *cert, X509 *issuer, int nid, const char *value)
{
    X509V3_CTX v3;
    X509V3_set_ctx_nodb(&v3);
    X509V3_set_ctx(&v3, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &v3, nid, value);
    ASSERT_NE(ext, nullptr);
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

// Owning pointers for the OpenSSL objects the tests make, freed by the library's own calls.
#pragma once

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

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

// Deterministic randomness goes through the library's legacy method hook, the one place that
// reaches every random number of the 3.0 library, key generation and the providers included.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "tls_peer.h"

#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "setup-ssl-context.h"

namespace fz
{

// ---- deterministic randomness ----

namespace
{

constexpr uint64_t STREAM_SEEDS[] = {0x5e7u, 0xc11e47u, 0x5e77e4u};
uint64_t stream_state[3];
rand_stream current = RAND_SETUP;

// splitmix64: plenty for keys nobody attacks, and the same on every run.
uint64_t next64()
{
    uint64_t z = (stream_state[current] += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

int rand_bytes(unsigned char *buf, int num)
{
    for (int i = 0; i < num; i += 8) {
        uint64_t v = next64();
        for (int j = 0; j < 8 && i + j < num; j++)
            buf[i + j] = static_cast<unsigned char>(v >> (8 * j));
    }
    return 1;
}

// Seeding, such as the context's RAND_load_file, is accepted and ignored.
int rand_seed(const void *, int)
{
    return 1;
}
int rand_add(const void *, int, double)
{
    return 1;
}
int rand_status()
{
    return 1;
}

const RAND_METHOD METHOD = {
    rand_seed, rand_bytes, nullptr, rand_add, rand_bytes, rand_status,
};

} // namespace

void rand_install()
{
    for (int s = 0; s < 3; s++)
        stream_state[s] = STREAM_SEEDS[s];
    RAND_set_rand_method(&METHOD);
}

void rand_use(rand_stream s)
{
    current = s;
}

void rand_restart(rand_stream s)
{
    stream_state[s] = STREAM_SEEDS[s];
}

// ---- the CA and the servers ----

namespace
{

bool add_ext(X509 *cert, X509 *issuer, int nid, const char *value)
{
    X509V3_CTX v3;
    X509V3_set_ctx_nodb(&v3);
    X509V3_set_ctx(&v3, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &v3, nid, value);
    if (ext == nullptr)
        return false;
    bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

// Fixed serials and validity make the certificates, and with them the transcripts, the same
// on every run, so that committed seeds stay valid answers.
X509 *make_cert(const char *cn, long serial, EVP_PKEY *key, X509 *issuer, EVP_PKEY *issuer_key)
{
    X509 *cert = X509_new();
    bool ok = cert != nullptr && X509_set_version(cert, 2) == 1 &&
              ASN1_INTEGER_set(X509_get_serialNumber(cert), serial) == 1 &&
              ASN1_TIME_set_string_X509(X509_getm_notBefore(cert), "20000101000000Z") == 1 &&
              ASN1_TIME_set_string_X509(X509_getm_notAfter(cert), "20991231235959Z") == 1 &&
              X509_set_pubkey(cert, key) == 1;
    X509_NAME *name = X509_get_subject_name(cert);
    ok = ok &&
         X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                    reinterpret_cast<const unsigned char *>(cn), -1, -1, 0) == 1;
    X509 *signer = issuer != nullptr ? issuer : cert;
    ok = ok && X509_set_issuer_name(cert, X509_get_subject_name(signer)) == 1;
    if (issuer == nullptr) {
        ok = ok && add_ext(cert, signer, NID_basic_constraints, "critical,CA:TRUE") &&
             add_ext(cert, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        std::string san = std::string("DNS:") + cn;
        ok = ok && add_ext(cert, signer, NID_subject_alt_name, san.c_str());
    }
    ok = ok && X509_sign(cert, issuer_key != nullptr ? issuer_key : key, EVP_sha256()) > 0;
    if (!ok) {
        X509_free(cert);
        return nullptr;
    }
    return cert;
}

SSL_CTX *server_ctx(X509 *cert, EVP_PKEY *key, bool tls12_only)
{
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    bool ok = ctx != nullptr && SSL_CTX_use_certificate(ctx, cert) == 1 &&
              SSL_CTX_use_PrivateKey(ctx, key) == 1;
    if (ok && tls12_only)
        ok = SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION) == 1 &&
             SSL_CTX_set_cipher_list(ctx, CIPHER_LIST) == 1;
    if (!ok) {
        SSL_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

bool write_bundle(const std::string &path, X509 *ca)
{
    FILE *f = fopen(path.c_str(), "w");
    if (f == nullptr)
        return false;
    bool ok = PEM_write_X509(f, ca) == 1;
    return fclose(f) == 0 && ok;
}

} // namespace

bool tls_peer_create(tls_peer *peer)
{
    rand_use(RAND_SETUP);
    char tmpl[] = "/tmp/zd-fuzz-tls-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        perror("mkdtemp");
        return false;
    }
    peer->dir = tmpl;
    peer->ca_file = peer->dir + "/ca.pem";
    // The CA signs with a P-256 key, which is quick to make; the servers need RSA for the
    // daemon's ECDHE-RSA suite.
    EVP_PKEY *ca_key = EVP_EC_gen("P-256");
    EVP_PKEY *server_key = EVP_RSA_gen(2048);
    X509 *ca = ca_key != nullptr ? make_cert("ZD Fuzz CA", 1, ca_key, nullptr, nullptr) : nullptr;
    X509 *good = nullptr, *wrong = nullptr;
    if (ca != nullptr && server_key != nullptr) {
        good = make_cert(SERVER_NAME, 2, server_key, ca, ca_key);
        wrong = make_cert(WRONG_NAME, 3, server_key, ca, ca_key);
    }
    bool ok = good != nullptr && wrong != nullptr && write_bundle(peer->ca_file, ca);
    if (ok) {
        peer->tls13 = server_ctx(good, server_key, false);
        peer->tls12 = server_ctx(good, server_key, true);
        peer->wrong_name = server_ctx(wrong, server_key, false);
        ok = peer->tls13 != nullptr && peer->tls12 != nullptr && peer->wrong_name != nullptr;
    }
    X509_free(ca);
    X509_free(good);
    X509_free(wrong);
    EVP_PKEY_free(ca_key);
    EVP_PKEY_free(server_key);
    if (!ok)
        fprintf(stderr, "tls_peer_create: cannot build the test PKI\n");
    return ok;
}

void tls_peer_destroy(tls_peer *peer)
{
    SSL_CTX_free(peer->tls13);
    SSL_CTX_free(peer->tls12);
    SSL_CTX_free(peer->wrong_name);
    std::error_code ec;
    std::filesystem::remove_all(peer->dir, ec);
}

// ---- recording ----

namespace
{

// Moves what one side wrote to the other side's input; returns the bytes moved.
std::string move_bytes(BIO *from, BIO *to)
{
    std::string moved;
    char buf[4096];
    int n;
    while ((n = BIO_read(from, buf, sizeof(buf))) > 0) {
        BIO_write(to, buf, n);
        moved.append(buf, static_cast<size_t>(n));
    }
    return moved;
}

bool fatal(SSL *ssl, int rc)
{
    int e = SSL_get_error(ssl, rc);
    return e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE;
}

struct side {
    SSL *ssl;
    BIO *in;
    BIO *out;
};

side make_side(SSL_CTX *ctx, bool server)
{
    side s{SSL_new(ctx), BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem())};
    SSL_set_bio(s.ssl, s.in, s.out);
    if (server) {
        SSL_set_accept_state(s.ssl);
    } else {
        SSL_set_connect_state(s.ssl);
        // As the loop sets a client session up: the server name goes into the ClientHello.
        ssl_offer_session(s.ssl);
    }
    return s;
}

} // namespace

std::string record_transcript(SSL_CTX *server_ctx, const std::string &reply, bool close_notify)
{
    constexpr int MAX_ROUNDS = 32;
    rand_restart(RAND_CLIENT);
    rand_restart(RAND_SERVER);
    // The client is driven the way the pump drives it: its first call is the write of the
    // request, which starts the handshake.
    rand_use(RAND_CLIENT);
    side client = make_side(ssl_ctx, false);
    rand_use(RAND_SERVER);
    side server = make_side(server_ctx, true);
    std::string transcript;
    bool request_sent = false, replied = false;
    char buf[4096];
    for (int round = 0; round < MAX_ROUNDS && !replied; round++) {
        rand_use(RAND_CLIENT);
        if (!request_sent) {
            int rc = SSL_write(client.ssl, REQUEST, sizeof(REQUEST) - 1);
            if (rc > 0)
                request_sent = true;
            else if (fatal(client.ssl, rc))
                break;
        }
        move_bytes(client.out, server.in);
        rand_use(RAND_SERVER);
        int rc = SSL_read(server.ssl, buf, sizeof(buf));
        if (rc > 0) {
            SSL_write(server.ssl, reply.data(), static_cast<int>(reply.size()));
            if (close_notify)
                SSL_shutdown(server.ssl);
            replied = true;
        } else if (fatal(server.ssl, rc)) {
            break;
        }
        transcript += move_bytes(server.out, client.in);
    }
    ERR_clear_error();
    SSL_free(client.ssl);
    SSL_free(server.ssl);
    rand_use(RAND_SETUP);
    return transcript;
}

} // namespace fz

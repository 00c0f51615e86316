#include "setup-ssl-context.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/provider.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "report.h"
#include "util.h"

static constexpr char THIS_FILE[] = "src/setup-ssl-context";

SSL_CTX *ssl_ctx = nullptr;
const char *accepted_names_path = ACCEPTED_NAMES_FILE;

static constexpr int SEED_BYTES = 16;
static constexpr int RSA_BITS = 2048;
static constexpr unsigned long RSA_EXPONENT = 65537;
static constexpr long CERT_LIFETIME_S = 315360000; // 3650 days
static constexpr int CERT_NAME_SZ = 256;
static constexpr int EXPIRY_WARN_DAYS = 14;
static constexpr uint64_t EXPIRY_WARN_INTERVAL_NS = 3600ull * 1000000000ull;
static constexpr size_t FAULT_TEXT_SZ = 512;

// Ciphers, digests and the error string tables are loaded up front so that the verification
// lines and the fatal errors name what went wrong instead of printing bare codes.
static void init_openssl_library()
{
    OPENSSL_init_ssl(0, nullptr);
    OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
    OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
}

// Opening a FIFO or a socket for reading blocks until a writer turns up, which would hang the
// start-up for good; such a seed source counts as one that gave nothing.
static int load_seed(const char *path)
{
    struct stat st;
    if (stat(path, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)))
        return 0;
    return RAND_load_file(path, SEED_BYTES);
}

// The generator is seeded from a file an operator can name, so that hosts without a good
// entropy source at boot can be given one.
static void init_ssl_ctx()
{
    const char *random_src = getenv("RANDFILE");
    if (random_src == nullptr)
        random_src = "/dev/urandom";
    char shown[report_escape_size(NAMES_TEXT_SZ)];
    REPORT(LVL_INFO, "RAND_load_file %s\n",
           report_escape(random_src, strnlen(random_src, NAMES_TEXT_SZ), shown, sizeof(shown)));
    ZD_ASSERT_T(load_seed(random_src) == SEED_BYTES, "RAND_load_file(random_src, 16) == 16");
    ssl_ctx = SSL_CTX_new(TLS_method());
    ZD_ASSERT_T(ssl_ctx != nullptr, "*ssl_ctx");
}

// The key is generated through the EVP interface because the RSA-level calls are deprecated
// in this library; 1 is success, as for the call it replaces.
static int generate_rsa_key(BIGNUM *bne, EVP_PKEY **pkey)
{
    EVP_PKEY_CTX *kctx = EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr);
    int ok = kctx != nullptr && EVP_PKEY_keygen_init(kctx) > 0 &&
             EVP_PKEY_CTX_set_rsa_keygen_bits(kctx, RSA_BITS) > 0 &&
             EVP_PKEY_CTX_set1_rsa_keygen_pubexp(kctx, bne) > 0 && EVP_PKEY_keygen(kctx, pkey) == 1;
    EVP_PKEY_CTX_free(kctx);
    return ok;
}

static void add_name_entry(X509_NAME *name, const char *field, const char *text)
{
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(text);
    ZD_ASSERT(X509_NAME_add_entry_by_txt(name, field, MBSTRING_ASC, bytes, -1, -1, 0) == 1);
}

// Serial, validity, key and names; the version stays the library's default and no extension
// is added, so the certificate is exactly what a peer that does not verify it needs.
static void fill_self_signed_cert(X509 *x509, EVP_PKEY *pkey)
{
    ZD_ASSERT(ASN1_INTEGER_set(X509_get_serialNumber(x509), 1) == 1);
    ZD_ASSERT(X509_gmtime_adj(X509_getm_notBefore(x509), 0) != nullptr);
    ZD_ASSERT(X509_gmtime_adj(X509_getm_notAfter(x509), CERT_LIFETIME_S) != nullptr);
    ZD_ASSERT(X509_set_pubkey(x509, pkey) == 1);
    X509_NAME *name = X509_get_subject_name(x509);
    add_name_entry(name, "C", "US");
    add_name_entry(name, "O", "ZARN");
    add_name_entry(name, "CN", "localhost");
    ZD_ASSERT(X509_set_issuer_name(x509, name) == 1);
}

// Server mode gives secure listeners an identity made on the spot, enough for peers that do
// not verify it. The assertion texts name the calls operators know from older builds.
static void Test_generate_cert_and_key()
{
    BIGNUM *bne = BN_new();
    ZD_ASSERT(bne != nullptr);
    ZD_ASSERT(BN_set_word(bne, RSA_EXPONENT) == 1);
    EVP_PKEY *pkey = nullptr;
    ZD_ASSERT_T(generate_rsa_key(bne, &pkey) == 1,
                "RSA_generate_key_ex(rsa, 2048, bne, NULL) == 1");
    ZD_ASSERT_T(pkey != nullptr, "EVP_PKEY_assign_RSA(pkey, rsa) == 1");
    X509 *x509 = X509_new();
    ZD_ASSERT(x509 != nullptr);
    fill_self_signed_cert(x509, pkey);
    ZD_ASSERT_T(X509_sign(x509, pkey, EVP_sha512()) != 0,
                "X509_sign(x509, pkey, EVP_sha512()) != 0");
    ZD_ASSERT(SSL_CTX_use_certificate(ssl_ctx, x509) == 1);
    ZD_ASSERT(SSL_CTX_use_PrivateKey(ssl_ctx, pkey) == 1);
    // The context holds its own references; these are the local ones.
    X509_free(x509);
    EVP_PKEY_free(pkey);
    BN_free(bne);
}

// Appends ", item" (or the first item) when it fits whole; returns false when it did not.
static bool append_item(char *list, size_t size, const char *item)
{
    size_t used = strlen(list);
    int n = snprintf(list + used, size - used, "%s%s", used > 0 ? ", " : "", item);
    if (n < 0 || static_cast<size_t>(n) >= size - used) {
        list[used] = '\0';
        return false;
    }
    return true;
}

// Why a file the daemon needs could not be used, in terms an operator can act on: the system's
// reason when the file cannot even be opened (without waiting for a writer, should it be a
// FIFO), else the TLS library's reason, else "see the line before" (the reader said why).
static void file_fault(const char *path, char *text, size_t size)
{
    unsigned long library = ERR_peek_last_error();
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st;
    if (fd < 0)
        snprintf(text, size, "%s: %s", path, strerror(errno));
    else if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode))
        snprintf(text, size, "%s: %s", path, strerror(EISDIR));
    else if (library != 0)
        snprintf(text, size, "%s: %s", path, ERR_reason_error_string(library));
    else
        snprintf(text, size, "%s: see the line before", path);
    if (fd >= 0)
        close(fd);
    ERR_clear_error();
}

[[noreturn]] static void names_file_fault(const char *path)
{
    // The reader's faults are not the TLS library's, whatever its queue holds.
    ERR_clear_error();
    char cause[FAULT_TEXT_SZ];
    file_fault(path, cause, sizeof(cause));
    REPORT_FATAL(EXIT_CONFIGURATION,
                 "No accepted server names (cnames): the accepted-names file cannot be used\n"
                 "  %s; give the server name with -O, or make the file a JSON object whose "
                 "\"wildcards\" array lists the names\n",
                 cause);
}

static bool is_address_literal(const char *name)
{
    address a;
    return parse_address(name, &a) == 0;
}

// The server name sent in the handshake, for a target behind a front end that routes by it:
// RFC 6066 allows neither an address nor a wildcard there.
static bool fits_server_name(const char *name)
{
    return name[0] != '\0' && !is_address_literal(name) && strchr(name, '*') == nullptr;
}

// Names are taken literally, as the library's checks take them: an address is compared with the
// certificate's IP addresses, anything else with its DNS names, and "*.example.test" matches
// only a certificate that carries that same wildcard. The library checks one address at most,
// and an address beside host names would have to match as well as one of them, so only a name
// that stands alone is checked as an address.
struct trust_record;
static void expect_name(trust_record *t, const char *name);
static void offer_server_name(trust_record *t, const char *name);

// An accepted name or a path comes from a file or the command line: it is logged escaped.
static const char *escaped(const char *text, char (&shown)[report_escape_size(NAMES_TEXT_SZ)])
{
    return report_escape(text, strlen(text), shown, sizeof(shown));
}

// Read by the status file's renderer on the worker.
static std::atomic<bool> host_name_checked{false};

bool ssl_checks_host_name()
{
    return host_name_checked.load();
}

static void accept_name(X509_VERIFY_PARAM *param, const char *name, bool alone, trust_record *t)
{
    char shown[report_escape_size(NAMES_TEXT_SZ)];
    expect_name(t, escaped(name, shown));
    if (is_address_literal(name) && alone) {
        ZD_ASSERT(X509_VERIFY_PARAM_set1_ip_asc(param, name) == 1);
        return;
    }
    if (is_address_literal(name))
        REPORT(LVL_WARN,
               "Accepted name %s is an IP address beside other names: it is checked against "
               "the certificate's DNS names only\n",
               shown);
    ZD_ASSERT(X509_VERIFY_PARAM_add1_host(param, name, 0) == 1);
    if (fits_server_name(name))
        offer_server_name(t, name);
}

// What a context verifies against, kept with the context (ex_data) so that every session
// sends the name and describes a refusal by the names of the very context it was made with,
// whatever a reload has put in force since.
struct trust_record {
    char sni[CERT_NAME_SZ];
    // The first names that fit, then how many more; and the CA bundle.
    char expected_names[NAMES_TEXT_SZ];
    int expected_more;
    char ca_bundle[NAMES_TEXT_SZ];
    // Counts reloads: a session is kept for resumption only under the trust it was made with.
    uint64_t generation;
};

static void expect_name(trust_record *t, const char *name)
{
    if (t->expected_more > 0 || !append_item(t->expected_names, sizeof(t->expected_names), name))
        t->expected_more++;
}

static void offer_server_name(trust_record *t, const char *name)
{
    if (t->sni[0] == '\0')
        snprintf(t->sni, sizeof(t->sni), "%s", name);
}

static int trust_index = -1;
static pthread_once_t trust_once = PTHREAD_ONCE_INIT;

static void free_trust(void *, void *record, CRYPTO_EX_DATA *, int, long, void *)
{
    free(record);
}

static void make_trust_index()
{
    trust_index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, free_trust);
    ZD_ASSERT(trust_index >= 0);
}

static trust_record *trust_of(const SSL_CTX *ctx)
{
    pthread_once(&trust_once, make_trust_index);
    return static_cast<trust_record *>(SSL_CTX_get_ex_data(ctx, trust_index));
}

static trust_record *new_trust(SSL_CTX *ctx, const char *ca_file, uint64_t generation)
{
    pthread_once(&trust_once, make_trust_index);
    auto *t = static_cast<trust_record *>(zmalloc(sizeof(trust_record)));
    report_escape(ca_file, strlen(ca_file), t->ca_bundle, sizeof(t->ca_bundle));
    t->generation = generation;
    free(SSL_CTX_get_ex_data(ctx, trust_index));
    SSL_CTX_set_ex_data(ctx, trust_index, t);
    return t;
}

// The names to accept: the common name, or every name of the list (the names file's). Each is
// logged; the list's strings are freed, not the list.
static void accept_names(SSL_CTX *ctx, trust_record *t, const char *common_name, char **names)
{
    X509_VERIFY_PARAM *param = X509_VERIFY_PARAM_new();
    ZD_ASSERT(param != nullptr);
    bool alone = common_name[0] != '\0' || (names[0] != nullptr && names[1] == nullptr);
    const char *one[] = {common_name, nullptr};
    char shown[report_escape_size(NAMES_TEXT_SZ)];
    int accepted = 0;
    for (const char *const *p = common_name[0] != '\0' ? one : names; *p != nullptr; p++) {
        // The line operators know from start-up, by the name they know it, also on a reload.
        report(LVL_INFO, "absorb_cert", THIS_FILE, __LINE__,
               "Verifying against openssl server cert name %s\n", escaped(*p, shown));
        accept_name(param, *p, alone, t);
        accepted++;
    }
    host_name_checked.store(accepted > 0);
    // An empty list is valid, but the library then checks no name at all: said loudly.
    if (accepted == 0)
        report(LVL_WARN, "absorb_cert", THIS_FILE, __LINE__,
               "No accepted server names in %s: no host name is checked, any certificate that "
               "chains to the CA bundle %s is accepted\n",
               accepted_names_path, t->ca_bundle);
    for (char **p = names; p != nullptr && *p != nullptr; p++)
        free(*p);
    ZD_ASSERT(SSL_CTX_set1_param(ctx, param) == 1);
    X509_VERIFY_PARAM_free(param);
}

static void require_verified_peer(SSL_CTX *ctx)
{
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, verify_callback);
    ZD_ASSERT_T(SSL_CTX_set_cipher_list(ctx, CIPHER_LIST) == 1,
                "SSL_CTX_set_cipher_list(ssl_ctx, CIPHER_LIST) == 1");
}

// The bundle is checked here first, without waiting, so that a FIFO (which would block the
// library's open for good, with the terminating signals already blocked), a device or a
// directory ends the start-up at once with a line that says what it is. The library then reads
// the file that was checked, through its descriptor, not whatever the path names by then.
static int load_ca_bundle(const char *ca_file, const char **kind)
{
    int fd = open_regular_file(ca_file, kind);
    if (fd < 0 && errno == EINVAL)
        return -1;
    char by_fd[64];
    if (fd >= 0)
        snprintf(by_fd, sizeof(by_fd), "/proc/self/fd/%d", fd);
    int rc = SSL_CTX_load_verify_locations(ssl_ctx, fd >= 0 ? by_fd : ca_file, nullptr);
    if (fd >= 0)
        close(fd);
    return rc == 1 ? 0 : -2;
}

// Without a common name every name of the accepted-names file is accepted, and without the
// file nothing could be verified, so the daemon does not start.
static void absorb_cert(const char *ca_file, const char *common_name)
{
    trust_record *t = new_trust(ssl_ctx, ca_file, 0);
    char *none[] = {nullptr};
    char **cnames = none;
    if (common_name[0] == '\0') {
        cnames = read_json(accepted_names_path);
        if (cnames == nullptr)
            names_file_fault(accepted_names_path);
    }
    accept_names(ssl_ctx, t, common_name, cnames);
    if (cnames != none)
        free(cnames);
    const char *kind = "";
    int rc = load_ca_bundle(ca_file, &kind);
    if (rc == -1)
        REPORT_FATAL(EXIT_CONFIGURATION,
                     "CA bundle %s is a %s, not a regular file\n"
                     "  the file must be a regular file of PEM certificates\n",
                     t->ca_bundle, kind);
    if (rc != 0) {
        char cause[FAULT_TEXT_SZ];
        file_fault(ca_file, cause, sizeof(cause));
        REPORT_FATAL(EXIT_CONFIGURATION,
                     "Failed to load root CA bundle %s, aborting...\n"
                     "  %s; the file must exist, be readable by the daemon's user (and lie "
                     "outside /home and /root under systemd) and hold PEM certificates\n",
                     t->ca_bundle, cause);
    }
    REPORT(LVL_INFO, "Verifying openssl server certs using %s\n", t->ca_bundle);
    require_verified_peer(ssl_ctx);
}

// ---- session resumption ----
//
// The slot holds a copy that no connection uses, and each connection is offered a copy of its
// own: the library marks the session of a connection that ends without a close_notify (a reset,
// any abortive close) as not resumable, and a shared object would take the slot down with it.

static pthread_mutex_t session_mx = PTHREAD_MUTEX_INITIALIZER;
// The slot: a session with one reference of its own, or null.
static SSL_SESSION *kept_session = nullptr;
// Counts every change of the slot. A connection notes the count at which it was offered the
// session, so that its failed handshake drops only what it was offered, never a session that
// another handshake has kept since.
static uintptr_t kept_generation = 0;
static bool resume_on = false;
// The generation of the trust in force (trust_record.generation), changed by a reload.
static uint64_t trust_generation = 0;
// Per connection (SSL ex_data): the count at the offer, 0 for none; and the copy it was offered,
// only compared, never dereferenced.
static int offered_generation_index = -1;
static int offered_copy_index = -1;
static pthread_once_t offered_once = PTHREAD_ONCE_INIT;

static void make_offered_indexes()
{
    offered_generation_index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    offered_copy_index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    ZD_ASSERT(offered_generation_index >= 0 && offered_copy_index >= 0);
}

// session_mx held. Keeps a copy of sess; null empties the slot.
static void keep_session_locked(SSL_SESSION *sess)
{
    SSL_SESSION *copy = sess != nullptr ? SSL_SESSION_dup(sess) : nullptr;
    if (sess != nullptr && copy == nullptr)
        return;
    SSL_SESSION_free(kept_session);
    kept_session = copy;
    kept_generation++;
}

// session_mx held. A session verified under trust that a reload has replaced since is good for
// nothing later.
static bool in_force_locked(SSL *ssl)
{
    const trust_record *t = trust_of(SSL_get_SSL_CTX(ssl));
    return t == nullptr || t->generation == trust_generation;
}

// The library calls this on the worker when a full TLS 1.2 handshake has made a session, and
// for every TLS 1.3 ticket that arrives after a handshake. A failed verification ends the
// handshake before either, and a session is only kept if its handshake verified all the same.
static int keep_new_session(SSL *ssl, SSL_SESSION *sess)
{
    if (SSL_get_verify_result(ssl) != X509_V_OK || SSL_get0_peer_certificate(ssl) == nullptr ||
        !SSL_SESSION_is_resumable(sess))
        return 0;
    pthread_mutex_lock(&session_mx);
    if (resume_on && in_force_locked(ssl))
        keep_session_locked(sess);
    pthread_mutex_unlock(&session_mx);
    // The library's reference for the call goes back to it.
    return 0;
}

// The library keeps no sessions of its own: the slot is the whole client cache.
static void enable_resumption(SSL_CTX *ctx)
{
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(ctx, keep_new_session);
}

static void setup_resumption(bool client_mode)
{
    pthread_once(&offered_once, make_offered_indexes);
    const char *setting = getenv(TLS_RESUME_ENV);
    bool on = client_mode && (setting == nullptr || strcmp(setting, "0") != 0);
    pthread_mutex_lock(&session_mx);
    keep_session_locked(nullptr);
    resume_on = on;
    trust_generation = 0;
    pthread_mutex_unlock(&session_mx);
    if (!client_mode)
        return;
    if (!on) {
        REPORT(LVL_INFO, "TLS session resumption off (%s=0)\n", TLS_RESUME_ENV);
        return;
    }
    enable_resumption(ssl_ctx);
}

void ssl_offer_session(SSL *ssl)
{
    const trust_record *t = trust_of(SSL_get_SSL_CTX(ssl));
    if (t != nullptr && t->sni[0] != '\0')
        (void)SSL_set_tlsext_host_name(ssl, t->sni);
    pthread_once(&offered_once, make_offered_indexes);
    pthread_mutex_lock(&session_mx);
    SSL_SESSION *copy =
        resume_on && kept_session != nullptr ? SSL_SESSION_dup(kept_session) : nullptr;
    uintptr_t generation = kept_generation;
    pthread_mutex_unlock(&session_mx);
    if (copy == nullptr)
        return;
    if (SSL_set_session(ssl, copy) == 1) {
        SSL_set_ex_data(ssl, offered_generation_index, reinterpret_cast<void *>(generation));
        SSL_set_ex_data(ssl, offered_copy_index, copy);
    }
    SSL_SESSION_free(copy);
}

// A resumed session was verified when it was made, against the same CA bundle and names, so
// the library does not verify it again; its stored verdict is checked all the same.
static void warn_if_expiring(X509 *cert);
static void note_verified(X509 *cert);

int ssl_session_done(SSL *ssl, bool ok)
{
    if (SSL_is_server(ssl))
        return 0;
    pthread_once(&offered_once, make_offered_indexes);
    auto offered = reinterpret_cast<uintptr_t>(SSL_get_ex_data(ssl, offered_generation_index));
    void *offered_copy = SSL_get_ex_data(ssl, offered_copy_index);
    // Once per handshake: a later failure of the connection says nothing about its session.
    SSL_set_ex_data(ssl, offered_generation_index, nullptr);
    SSL_set_ex_data(ssl, offered_copy_index, nullptr);
    bool resumed = ok && SSL_session_reused(ssl);
    long verdict = SSL_get_verify_result(ssl);
    bool refused = resumed && verdict != X509_V_OK;
    SSL_SESSION *now = SSL_get_session(ssl);
    pthread_mutex_lock(&session_mx);
    if (!ok || refused) {
        if (offered != 0 && offered == kept_generation)
            keep_session_locked(nullptr);
    } else if (resumed && resume_on && now != offered_copy && SSL_SESSION_is_resumable(now) &&
               in_force_locked(ssl)) {
        // The server renewed the ticket of a resumed TLS 1.2 session: the library made a new
        // session for it, which it does not announce.
        keep_session_locked(now);
    }
    pthread_mutex_unlock(&session_mx);
    if (refused) {
        REPORT(LVL_ERROR, "Resumed TLS session was not verified: err %ld:%s\n", verdict,
               X509_verify_cert_error_string(verdict));
        return -1;
    }
    // A resumed session skips the verification callback, which gives the expiry warning.
    X509 *cert = resumed ? SSL_get0_peer_certificate(ssl) : nullptr;
    if (cert != nullptr) {
        note_verified(cert);
        warn_if_expiring(cert);
    }
    return resumed ? 1 : 0;
}

void setup_ssl_ctx(bool client_mode, const char *ca_file, const char *common_name)
{
    REPORT(LVL_INFO, "openssl version %s\n", OpenSSL_version(OPENSSL_VERSION));
    init_openssl_library();
    ZD_ASSERT_T(ssl_ctx == nullptr, "ssl_ctx == NULL");
    init_ssl_ctx();
    if (!client_mode) {
        setup_resumption(false);
        Test_generate_cert_and_key();
        return;
    }
    absorb_cert(ca_file, common_name);
    setup_resumption(true);
}

// ---- reload ----
//
// The worker makes sessions while the main thread may put a new context in force: the pointer
// is read and replaced under ctx_mx, and the old context lives on in the sessions made with it
// (each holds a reference of its own) until the last of them is freed.

static pthread_mutex_t ctx_mx = PTHREAD_MUTEX_INITIALIZER;

void ssl_expected_names(char *text, size_t size)
{
    pthread_mutex_lock(&ctx_mx);
    const trust_record *t = ssl_ctx != nullptr ? trust_of(ssl_ctx) : nullptr;
    if (t == nullptr)
        snprintf(text, size, "%s", "");
    else if (t->expected_more > 0)
        snprintf(text, size, "%s and %d more", t->expected_names, t->expected_more);
    else
        snprintf(text, size, "%s", t->expected_names);
    pthread_mutex_unlock(&ctx_mx);
}

SSL *ssl_new_session()
{
    pthread_mutex_lock(&ctx_mx);
    SSL *ssl = SSL_new(ssl_ctx);
    pthread_mutex_unlock(&ctx_mx);
    return ssl;
}

// What PEM reading does with a file, done with the bytes the file reader sent: every
// certificate and CRL goes into the store. The number of certificates, or -1 when the text
// holds none.
static int load_ca_text(SSL_CTX *ctx, const char *text, size_t len)
{
    BIO *bio = BIO_new_mem_buf(text, static_cast<int>(len));
    STACK_OF(X509_INFO) *infos =
        bio != nullptr ? PEM_X509_INFO_read_bio(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    X509_STORE *store = SSL_CTX_get_cert_store(ctx);
    int certs = 0, items = 0;
    for (int i = 0; i < sk_X509_INFO_num(infos); i++) {
        X509_INFO *info = sk_X509_INFO_value(infos, i);
        if (info->x509 != nullptr && X509_STORE_add_cert(store, info->x509) == 1) {
            certs++;
            items++;
        }
        if (info->crl != nullptr && X509_STORE_add_crl(store, info->crl) == 1)
            items++;
    }
    sk_X509_INFO_pop_free(infos, X509_INFO_free);
    return items > 0 ? certs : -1;
}

static const char *library_reason(const char *otherwise)
{
    unsigned long e = ERR_peek_last_error();
    const char *reason = e != 0 ? ERR_reason_error_string(e) : nullptr;
    return reason != nullptr ? reason : otherwise;
}

int ssl_reload(const char *ca_file, const char *ca_text, size_t ca_len, const char *common_name,
               char **names, char *why, size_t why_size)
{
    ERR_clear_error();
    SSL_CTX *ctx = SSL_CTX_new(TLS_method());
    if (ctx == nullptr) {
        snprintf(why, why_size, "no TLS context: %s", library_reason("out of memory"));
        for (char **p = names; p != nullptr && *p != nullptr; p++)
            free(*p);
        return -1;
    }
    int certs = load_ca_text(ctx, ca_text, ca_len);
    if (certs < 0) {
        snprintf(why, why_size, "CA bundle %s: %s", ca_file,
                 library_reason("no certificate or crl found"));
        ERR_clear_error();
        for (char **p = names; p != nullptr && *p != nullptr; p++)
            free(*p);
        SSL_CTX_free(ctx);
        return -1;
    }
    pthread_mutex_lock(&session_mx);
    uint64_t generation = trust_generation + 1;
    bool resume = resume_on;
    pthread_mutex_unlock(&session_mx);
    accept_names(ctx, new_trust(ctx, ca_file, generation), common_name, names);
    require_verified_peer(ctx);
    if (resume)
        enable_resumption(ctx);
    REPORT(LVL_INFO, "Verifying openssl server certs using %s (%d certificates)\n", ca_file, certs);

    pthread_mutex_lock(&ctx_mx);
    SSL_CTX *old = ssl_ctx;
    ssl_ctx = ctx;
    pthread_mutex_unlock(&ctx_mx);
    // Trust may have changed: the kept session was verified under the old one.
    pthread_mutex_lock(&session_mx);
    trust_generation = generation;
    keep_session_locked(nullptr);
    pthread_mutex_unlock(&session_mx);
    SSL_CTX_free(old);
    return 0;
}

void exit_ssl_setup()
{
    pthread_mutex_lock(&session_mx);
    keep_session_locked(nullptr);
    resume_on = false;
    pthread_mutex_unlock(&session_mx);
    SSL_CTX_free(ssl_ctx);
    ssl_ctx = nullptr;
}

int convert_ASN1TIME(const ASN1_TIME *time, char *buffer)
{
    BIO *bio = BIO_new(BIO_s_mem());
    // A missing time prints as nothing rather than as the library's idea of "now".
    if (bio == nullptr || time == nullptr || ASN1_TIME_print(bio, time) <= 0 ||
        BIO_gets(bio, buffer, ASN1TIME_TEXT_SZ) <= 0) {
        buffer[0] = '\0';
        BIO_free(bio);
        return -1;
    }
    BIO_free(bio);
    return 0;
}

void spew_cert_details(int level, X509 *cert)
{
    // The library can report a failure before it has a certificate in hand; its one-line
    // printer then says so instead of the name.
    X509_NAME *issuer = cert != nullptr ? X509_get_issuer_name(cert) : nullptr;
    X509_NAME *subject = cert != nullptr ? X509_get_subject_name(cert) : nullptr;
    const ASN1_TIME *not_before = cert != nullptr ? X509_get0_notBefore(cert) : nullptr;
    const ASN1_TIME *not_after = cert != nullptr ? X509_get0_notAfter(cert) : nullptr;
    char name[CERT_NAME_SZ];
    char when[ASN1TIME_TEXT_SZ];
    REPORT(level, "  issuer:     %s\n", X509_NAME_oneline(issuer, name, sizeof(name)));
    REPORT(level, "  subject:    %s\n", X509_NAME_oneline(subject, name, sizeof(name)));
    convert_ASN1TIME(not_before, when);
    REPORT(level, "  not before: %s\n", when);
    convert_ASN1TIME(not_after, when);
    REPORT(level, "  not after:  %s\n", when);
}

static std::atomic<int64_t> last_not_after{0};

int64_t ssl_last_not_after()
{
    return last_not_after.load(std::memory_order_relaxed);
}

static void note_verified(X509 *cert)
{
    struct tm tm = {};
    if (ASN1_TIME_to_tm(X509_get0_notAfter(cert), &tm) == 1)
        last_not_after.store(static_cast<int64_t>(timegm(&tm)), std::memory_order_relaxed);
}

// A certificate about to expire still verifies, and every mount fails the day it does; the
// warning comes early enough to renew it, and once an hour so that it is seen, not flooded.
static void warn_if_expiring(X509 *cert)
{
    static report_limit limit;
    int days = 0, seconds = 0;
    const ASN1_TIME *not_after = X509_get0_notAfter(cert);
    if (!ASN1_TIME_diff(&days, &seconds, nullptr, not_after) || days >= EXPIRY_WARN_DAYS ||
        (days <= 0 && seconds <= 0))
        return;
    uint64_t held;
    if (!report_limit_pass(&limit, static_cast<uint64_t>(tick()), EXPIRY_WARN_INTERVAL_NS, &held))
        return;
    char subject[CERT_NAME_SZ], when[ASN1TIME_TEXT_SZ];
    X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof(subject));
    convert_ASN1TIME(not_after, when);
    REPORT(LVL_WARN, "Mount target certificate %s expires in %d days (not after %s)\n", subject,
           days, when);
}

// The verdict stays the library's; this only leaves a trace of every certificate checked.
int verify_callback(int preverify_ok, X509_STORE_CTX *store_ctx)
{
    X509 *cert = X509_STORE_CTX_get_current_cert(store_ctx);
    if (preverify_ok) {
        REPORT(LVL_INFO, "Verified cert\n");
        spew_cert_details(LVL_INFO, cert);
        if (cert != nullptr && X509_STORE_CTX_get_error_depth(store_ctx) == 0) {
            note_verified(cert);
            warn_if_expiring(cert);
        }
        return preverify_ok;
    }
    REPORT(LVL_ERROR, "failed to verify the cert\n");
    int depth = X509_STORE_CTX_get_error_depth(store_ctx);
    int err = X509_STORE_CTX_get_error(store_ctx);
    spew_cert_details(LVL_ERROR, cert);
    REPORT(LVL_ERROR, "  at depth: %d\n", depth);
    REPORT(LVL_ERROR, "  err %i:%s\n", err, X509_verify_cert_error_string(err));
    return preverify_ok;
}

// FIPS mode is the FIPS provider plus the default property "fips=yes"; the property alone
// would leave every fetch failing when no provider can satisfy it, so the provider is loaded
// first and a missing provider is a refused switch. The base provider carries the encoders
// and decoders that certificate loading needs once the default provider is out of reach.
static int switch_fips_on()
{
    if (OSSL_PROVIDER_load(nullptr, "fips") == nullptr)
        return -1;
    if (OSSL_PROVIDER_load(nullptr, "base") == nullptr)
        return -1;
    if (EVP_default_properties_enable_fips(nullptr, 1) != 1)
        return -1;
    return 0;
}

void set_fips_mode()
{
    // A system configuration that enables FIPS by default takes effect only once loaded.
    OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CONFIG, nullptr);
    if (EVP_default_properties_is_fips_enabled(nullptr)) {
        REPORT(LVL_INFO, "openssl operating in FIPS mode by default\n");
        return;
    }
    if (switch_fips_on() == 0) {
        REPORT(LVL_INFO, "Successfully switched openssl to FIPS mode\n");
        return;
    }
    REPORT_ERROR("Failed to switch openssl to FIPS mode %lx\n", ERR_get_error());
}

// The names a certificate answers to: its subject's common name and its DNS and IP
// alternative names, as far as they fit.
static void certificate_names(X509 *cert, char *list, size_t size)
{
    list[0] = '\0';
    // The names are the peer's own text, sent before anything is verified: escaped.
    char item[report_escape_size(CERT_NAME_SZ) + 8], shown[report_escape_size(CERT_NAME_SZ)];
    char cn[CERT_NAME_SZ];
    int cn_len =
        X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, cn, sizeof(cn));
    if (cn_len > 0) {
        size_t len =
            static_cast<size_t>(cn_len) < sizeof(cn) ? static_cast<size_t>(cn_len) : sizeof(cn) - 1;
        snprintf(item, sizeof(item), "CN=%s", report_escape(cn, len, shown, sizeof(shown)));
        append_item(list, size, item);
    }
    auto *alt = static_cast<GENERAL_NAMES *>(
        X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; i < sk_GENERAL_NAME_num(alt); i++) {
        const GENERAL_NAME *g = sk_GENERAL_NAME_value(alt, i);
        if (g->type == GEN_DNS) {
            const ASN1_STRING *dns = g->d.dNSName;
            auto len = static_cast<size_t>(ASN1_STRING_length(dns));
            snprintf(item, sizeof(item), "DNS:%s",
                     report_escape(reinterpret_cast<const char *>(ASN1_STRING_get0_data(dns)),
                                   len < CERT_NAME_SZ ? len : CERT_NAME_SZ, shown, sizeof(shown)));
        } else if (g->type == GEN_IPADD) {
            const ASN1_OCTET_STRING *ip = g->d.iPAddress;
            int len = ASN1_STRING_length(ip);
            char text[INET6_ADDRSTRLEN] = "?";
            if (len == 4 || len == 16)
                inet_ntop(len == 4 ? AF_INET : AF_INET6, ASN1_STRING_get0_data(ip), text,
                          sizeof(text));
            snprintf(item, sizeof(item), "IP:%s", text);
        } else {
            continue;
        }
        if (!append_item(list, size, item))
            break;
    }
    GENERAL_NAMES_free(alt);
    if (list[0] == '\0')
        snprintf(list, size, "none");
}

// After a failed verification the session holds no verified peer, but the chain the server
// sent is kept, the server's own certificate first.
static X509 *server_certificate(SSL *ssl)
{
    X509 *cert = SSL_get0_peer_certificate(ssl);
    if (cert != nullptr)
        return cert;
    STACK_OF(X509) *chain = SSL_get_peer_cert_chain(ssl);
    return sk_X509_num(chain) > 0 ? sk_X509_value(chain, 0) : nullptr;
}

void ssl_describe_refusal(SSL *ssl, char *text, size_t size)
{
    long verdict = SSL_get_verify_result(ssl);
    static const trust_record none = {};
    const trust_record *t = trust_of(SSL_get_SSL_CTX(ssl));
    if (t == nullptr)
        t = &none;
    char more[32] = "";
    if (t->expected_more > 0)
        snprintf(more, sizeof(more), " and %d more", t->expected_more);
    X509 *cert = server_certificate(ssl);
    if (cert == nullptr) {
        snprintf(text, size, "%s; expected %s%s; no certificate received; CA bundle %s",
                 X509_verify_cert_error_string(verdict), t->expected_names, more, t->ca_bundle);
        return;
    }
    char names[NAMES_TEXT_SZ], from[ASN1TIME_TEXT_SZ], until[ASN1TIME_TEXT_SZ];
    certificate_names(cert, names, sizeof(names));
    convert_ASN1TIME(X509_get0_notBefore(cert), from);
    convert_ASN1TIME(X509_get0_notAfter(cert), until);
    snprintf(text, size,
             "%s; expected %s%s; certificate names %s; CA bundle %s; valid from %s until %s",
             X509_verify_cert_error_string(verdict), t->expected_names, more, names, t->ca_bundle,
             from, until);
}

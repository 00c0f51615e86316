// The TLS context against real handshakes: a throw-away CA and its server certificates are
// made here, every case runs a full handshake between a client session of ssl_ctx and a
// server session of the test's own context over a BIO pair, and the verification log lines
// are checked exactly. ssl_ctx is process-wide, so every test leaves it freed.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <regex.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "log_capture.h"
#include "report.h"
#include "setup-ssl-context.h"
#include "ssl_ptr.h"
#include "temp_dir.h"

using logcap::capture_stdout;
using logcap::stdout_to_stderr;

namespace
{

using logcap::log_line;
using logcap::messages_at;
using logcap::parse_log;

const auto regex_quote = logcap::ere_quote;

constexpr long DAY = 86400;

struct cert_spec {
    const char *cn;
    const char *dns;  // subjectAltName DNS entry, or null for none
    long from, until; // validity relative to now, in seconds
    bool ca;
};

// Signs with issuer_key; a null issuer makes the certificate self-signed.
x509_ptr make_cert(const cert_spec &shape, EVP_PKEY *key, X509 *issuer, EVP_PKEY *issuer_key)
{
    static long serial = 100;
    x509_ptr cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), shape.from);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), shape.until);
    X509_set_pubkey(cert.get(), key);
    X509_NAME *name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>("Test"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>(shape.cn), -1, -1, 0);
    X509 *signer = issuer != nullptr ? issuer : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
    if (shape.ca) {
        add_ext(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        add_ext(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    }
    if (shape.dns != nullptr)
        add_ext(cert.get(), signer, NID_subject_alt_name,
                (std::string("DNS:") + shape.dns).c_str());
    EXPECT_GT(X509_sign(cert.get(), issuer_key != nullptr ? issuer_key : key, EVP_sha256()), 0);
    return cert;
}

// One throw-away PKI for the whole binary: RSA key generation dominates the run time.
struct pki {
    temp_dir dir;
    pkey_ptr ca_key{EVP_RSA_gen(2048)};
    pkey_ptr other_ca_key{EVP_RSA_gen(2048)};
    pkey_ptr leaf_key{EVP_RSA_gen(2048)};
    x509_ptr ca, other_ca;
    x509_ptr server, other_name, untrusted, expired, alpha, beta;
    std::string ca_file;

    pki()
    {
        ca = make_cert({"Test CA", nullptr, -DAY, 30 * DAY, true}, ca_key.get(), nullptr, nullptr);
        other_ca = make_cert({"Other CA", nullptr, -DAY, 30 * DAY, true}, other_ca_key.get(),
                             nullptr, nullptr);
        server = leaf({"server.test", "server.test", -DAY, 30 * DAY, false});
        other_name = leaf({"other.test", "other.test", -DAY, 30 * DAY, false});
        expired = leaf({"server.test", "server.test", -30 * DAY, -DAY, false});
        alpha = leaf({"alpha.test", "alpha.test", -DAY, 30 * DAY, false});
        beta = leaf({"beta.test", "beta.test", -DAY, 30 * DAY, false});
        untrusted = make_cert({"server.test", "server.test", -DAY, 30 * DAY, false}, leaf_key.get(),
                              other_ca.get(), other_ca_key.get());
        ca_file = dir.path("ca.pem");
        FILE *f = fopen(ca_file.c_str(), "w");
        PEM_write_X509(f, ca.get());
        fclose(f);
    }

    x509_ptr leaf(const cert_spec &shape)
    {
        return make_cert(shape, leaf_key.get(), ca.get(), ca_key.get());
    }
};

pki *the_pki;

// A server context of the test's own, serving one certificate and nothing of ssl_ctx.
ctx_ptr server_ctx(X509 *cert, EVP_PKEY *key, int max_version = 0, const char *ciphers = nullptr)
{
    ctx_ptr ctx(SSL_CTX_new(TLS_server_method()));
    EXPECT_EQ(SSL_CTX_use_certificate(ctx.get(), cert), 1);
    EXPECT_EQ(SSL_CTX_use_PrivateKey(ctx.get(), key), 1);
    if (max_version != 0)
        SSL_CTX_set_max_proto_version(ctx.get(), max_version);
    if (ciphers != nullptr)
        SSL_CTX_set_cipher_list(ctx.get(), ciphers);
    return ctx;
}

struct handshake_result {
    bool ok = false;
    long verify_result = -1;
    std::string version;
    std::string cipher;
    std::vector<log_line> log;
    bool reused = false; // as the server saw it
    int done = INT_MIN;  // what ssl_session_done said, when the handshake resumed
    session_ptr session; // the client's session after the handshake
    std::string refusal; // ssl_describe_refusal after a failed handshake
};

// How the client side takes part in resumption: not at all (as a plain client of ssl_ctx),
// through the slot as the loop does, or offering a session of the test's own.
struct resume_with {
    bool slot = false;
    SSL_SESSION *session = nullptr;
};

// Returns true once the handshake of s is done; sets *failed on anything but a retry.
bool step(SSL *s, bool *failed)
{
    int rc = SSL_do_handshake(s);
    if (rc == 1)
        return true;
    int err = SSL_get_error(s, rc);
    if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE)
        *failed = true;
    return false;
}

// Both sessions run in this thread over one BIO pair; each round lets each side move as far
// as it can, and a full handshake needs only a handful of rounds.
handshake_result handshake(SSL_CTX *client_ctx, SSL_CTX *srv_ctx, resume_with resume = {})
{
    handshake_result r;
    SSL *client = SSL_new(client_ctx);
    SSL *server = SSL_new(srv_ctx);
    BIO *client_bio = nullptr;
    BIO *server_bio = nullptr;
    EXPECT_EQ(BIO_new_bio_pair(&client_bio, 0, &server_bio, 0), 1);
    SSL_set_bio(client, client_bio, client_bio);
    SSL_set_bio(server, server_bio, server_bio);
    SSL_set_connect_state(client);
    SSL_set_accept_state(server);
    if (resume.slot)
        ssl_offer_session(client);
    if (resume.session != nullptr) {
        EXPECT_EQ(SSL_set_session(client, resume.session), 1);
    }
    std::string out = capture_stdout([&] {
        bool client_done = false;
        bool server_done = false;
        bool failed = false;
        for (int round = 0; round < 32 && !failed && !(client_done && server_done); round++) {
            client_done = client_done || step(client, &failed);
            server_done = server_done || step(server, &failed);
        }
        r.ok = client_done && server_done && !failed;
        // TLS 1.3 tickets come after the handshake; a read takes them in.
        char byte;
        if (r.ok && SSL_read(client, &byte, 1) <= 0)
            ERR_clear_error();
        if (resume.slot)
            r.done = ssl_session_done(client, r.ok);
    });
    r.log = parse_log(out);
    r.verify_result = SSL_get_verify_result(client);
    r.version = SSL_get_version(client);
    r.cipher = SSL_CIPHER_get_name(SSL_get_current_cipher(client));
    r.reused = SSL_session_reused(server);
    if (!r.ok) {
        char text[REFUSAL_TEXT_SZ];
        ssl_describe_refusal(client, text, sizeof(text));
        r.refusal = text;
    }
    // A copy: freeing a connection that was not shut down spoils its own session object.
    r.session.reset(SSL_SESSION_dup(SSL_get_session(client)));
    SSL_free(client);
    SSL_free(server);
    ERR_clear_error();
    return r;
}

handshake_result handshake_with(X509 *cert)
{
    ctx_ptr srv = server_ctx(cert, the_pki->leaf_key.get());
    return handshake(ssl_ctx, srv.get());
}

std::vector<log_line> setup(bool client_mode, const std::string &ca_file, const char *cn)
{
    return parse_log(capture_stdout([&] { setup_ssl_ctx(client_mode, ca_file.c_str(), cn); }));
}

std::string subject_of(X509 *cert)
{
    char name[256];
    return X509_NAME_oneline(X509_get_subject_name(cert), name, sizeof(name));
}

// The library's printed form of a certificate time, e.g. "Jan  2 03:04:05 2030 GMT". POSIX
// regex rather than std::regex: g++ 12 warns inside <regex> under the sanitizer builds.
bool full_match(const std::string &text, const std::string &pattern)
{
    regex_t re;
    if (regcomp(&re, ("^" + pattern + "$").c_str(), REG_EXTENDED | REG_NOSUB) != 0)
        return false;
    bool matched = regexec(&re, text.c_str(), 0, nullptr, 0) == 0;
    regfree(&re);
    return matched;
}

const std::string CERT_TIME = "[A-Z][a-z]{2} [ 1-3][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4} GMT";

// The four lines of one certificate, at the given level, as spew_cert_details writes them.
void expect_cert_lines(const std::vector<log_line> &log, size_t at, const std::string &level,
                       X509 *issuer, X509 *subject)
{
    ASSERT_LE(at + 4, log.size());
    for (size_t i = at; i < at + 4; i++) {
        EXPECT_EQ(log[i].level, level);
        EXPECT_EQ(log[i].function, "spew_cert_de");
        EXPECT_EQ(log[i].file, "src/setup-ssl-context");
    }
    EXPECT_EQ(log[at].message, "  issuer:     " + subject_of(issuer));
    EXPECT_EQ(log[at + 1].message, "  subject:    " + subject_of(subject));
    EXPECT_TRUE(full_match(log[at + 2].message, "  not before: " + CERT_TIME))
        << log[at + 2].message;
    EXPECT_TRUE(full_match(log[at + 3].message, "  not after:  " + CERT_TIME))
        << log[at + 3].message;
}

// A verified chain logs the CA first, then the server certificate, each at INFO.
void expect_verified(const handshake_result &r, X509 *leaf)
{
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.verify_result, X509_V_OK);
    ASSERT_EQ(r.log.size(), 10u);
    EXPECT_EQ(r.log[0].message, "Verified cert");
    EXPECT_EQ(r.log[0].function, "verify_callb");
    expect_cert_lines(r.log, 1, "INFO", the_pki->ca.get(), the_pki->ca.get());
    EXPECT_EQ(r.log[5].message, "Verified cert");
    expect_cert_lines(r.log, 6, "INFO", the_pki->ca.get(), leaf);
    EXPECT_TRUE(messages_at(r.log, "ERROR").empty());
}

// A refused certificate logs the failure, its four lines, its depth and the library's error.
void expect_refused(const handshake_result &r, X509 *leaf, int error, const char *error_text)
{
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.verify_result, error);
    std::vector<std::string> errors = messages_at(r.log, "ERROR");
    ASSERT_EQ(errors.size(), 7u);
    EXPECT_EQ(errors[0], "failed to verify the cert");
    X509 *issuer = leaf == the_pki->untrusted.get() ? the_pki->other_ca.get() : the_pki->ca.get();
    EXPECT_EQ(errors[1], "  issuer:     " + subject_of(issuer));
    EXPECT_EQ(errors[2], "  subject:    " + subject_of(leaf));
    EXPECT_EQ(errors[5], "  at depth: 0");
    EXPECT_EQ(errors[6], "  err " + std::to_string(error) + ":" + error_text);
}

class SslContextTest : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        if (the_pki == nullptr)
            the_pki = new pki;
    }
    static void TearDownTestSuite()
    {
        delete the_pki;
        the_pki = nullptr;
    }
    void SetUp() override
    {
        unsetenv("RANDFILE");
        unsetenv(TLS_RESUME_ENV);
        accepted_names_path = ACCEPTED_NAMES_FILE;
    }
    void TearDown() override
    {
        exit_ssl_setup();
        EXPECT_EQ(ssl_ctx, nullptr);
        accepted_names_path = ACCEPTED_NAMES_FILE;
    }
    temp_dir dir;
};

using SslContextDeathTest = SslContextTest;

} // namespace

TEST_F(SslContextTest, ClientModeStartUpLogsEachStepInOrder)
{
    std::vector<log_line> log = setup(true, the_pki->ca_file, "server.test");
    std::vector<std::string> expected = {
        std::string("openssl version ") + OpenSSL_version(OPENSSL_VERSION),
        "RAND_load_file /dev/urandom",
        "Verifying against openssl server cert name server.test",
        "Verifying openssl server certs using " + the_pki->ca_file,
    };
    EXPECT_EQ(messages_at(log, "INFO"), expected);
    EXPECT_EQ(log.size(), expected.size());
    ASSERT_NE(ssl_ctx, nullptr);
    EXPECT_EQ(log[0].function, "setup_ssl_ct");
    EXPECT_EQ(log[1].function, "init_ssl_ctx");
    EXPECT_EQ(log[2].function, "absorb_cert");
    EXPECT_EQ(log[3].function, "absorb_cert");
}

TEST_F(SslContextTest, CertificateTableWithACommonName)
{
    setup(true, the_pki->ca_file, "server.test");
    struct {
        const char *name;
        X509 *cert;
        int error; // X509_V_OK for a certificate that must pass
        const char *error_text;
    } cases[] = {
        {"valid, matching name", the_pki->server.get(), X509_V_OK, nullptr},
        {"wrong name", the_pki->other_name.get(), X509_V_ERR_HOSTNAME_MISMATCH,
         "hostname mismatch"},
        {"untrusted chain", the_pki->untrusted.get(), X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY,
         "unable to get local issuer certificate"},
        {"expired", the_pki->expired.get(), X509_V_ERR_CERT_HAS_EXPIRED, "certificate has expired"},
    };
    for (const auto &tc : cases) {
        SCOPED_TRACE(tc.name);
        handshake_result r = handshake_with(tc.cert);
        if (tc.error == X509_V_OK)
            expect_verified(r, tc.cert);
        else
            expect_refused(r, tc.cert, tc.error, tc.error_text);
    }
}

TEST_F(SslContextTest, ACommonNameLeavesTheNamesFileUnreadAndChecksOnlyThatName)
{
    // The file exists and would accept alpha.test; with a common name it must not count.
    std::string names = dir.write("names.json", "{\"wildcards\": [\"alpha.test\"]}");
    accepted_names_path = names.c_str();
    std::vector<log_line> log = setup(true, the_pki->ca_file, "beta.test");
    std::vector<std::string> info = messages_at(log, "INFO");
    EXPECT_EQ(std::count(info.begin(), info.end(),
                         "Verifying against openssl server cert name beta.test"),
              1);
    EXPECT_EQ(log.size(), 4u);
    expect_verified(handshake_with(the_pki->beta.get()), the_pki->beta.get());
    expect_refused(handshake_with(the_pki->alpha.get()), the_pki->alpha.get(),
                   X509_V_ERR_HOSTNAME_MISMATCH, "hostname mismatch");

    // Even a missing file goes unnoticed.
    exit_ssl_setup();
    accepted_names_path = "/nonexistent/zarn-dwel/config.json";
    log = setup(true, the_pki->ca_file, "server.test");
    EXPECT_TRUE(messages_at(log, "ERROR").empty());
    expect_verified(handshake_with(the_pki->server.get()), the_pki->server.get());
}

// The name a new client session sends: -O, or the first name of the file that is neither an
// address nor a wildcard; none when there is no such name.
TEST_F(SslContextTest, ServerNameIsTheFirstLiteralHostName)
{
    struct {
        const char *common_name;
        const char *names;
        const char *sent;
    } cases[] = {
        {"server.test", "", "server.test"},
        {"192.0.2.1", "", nullptr},
        {"*.example.test", "", nullptr},
        {"", "[\"*.example.test\", \"2001:db8::1\", \"beta.test\", \"alpha.test\"]", "beta.test"},
        {"", "[\"10.0.0.1\"]", nullptr},
    };
    for (const auto &tc : cases) {
        SCOPED_TRACE(std::string(tc.common_name) + tc.names);
        std::string names = dir.write("sni.json", std::string("{\"wildcards\": ") +
                                                      (tc.names[0] ? tc.names : "[]") + "}");
        accepted_names_path = names.c_str();
        std::vector<log_line> log = setup(true, the_pki->ca_file, tc.common_name);
        SSL *ssl = SSL_new(ssl_ctx);
        ASSERT_NE(ssl, nullptr);
        SSL_set_connect_state(ssl);
        ssl_offer_session(ssl);
        const char *sent = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
        EXPECT_STREQ(sent, tc.sent);
        SSL_free(ssl);
        // An address beside other names cannot be checked as one, and the log says so.
        bool mixed = std::string(tc.names).find("2001:db8::1") != std::string::npos;
        EXPECT_EQ(messages_at(log, "WARN").size(), mixed ? 1u : 0u);
        exit_ssl_setup();
    }
}

// A reload that fails changes nothing; one that works puts the new names in force for new
// sessions, while a session made before keeps the context it was made with.
TEST_F(SslContextTest, AReloadReplacesTheContextForNewSessionsOnly)
{
    setup(true, the_pki->ca_file, "server.test");
    SSL_CTX *first = ssl_ctx;
    SSL *before = ssl_new_session();
    ASSERT_NE(before, nullptr);
    char why[REFUSAL_TEXT_SZ];
    EXPECT_EQ(ssl_reload("junk.pem", "junk\n", 5, "server.test", nullptr, why, sizeof(why)), -1);
    EXPECT_EQ(std::string(why).rfind("CA bundle junk.pem: ", 0), 0u) << why;
    EXPECT_EQ(ssl_ctx, first);

    std::string ca_text;
    {
        FILE *f = fopen(the_pki->ca_file.c_str(), "rb");
        ASSERT_NE(f, nullptr);
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof(buf), f)) > 0;)
            ca_text.append(buf, n);
        fclose(f);
    }
    char **names = static_cast<char **>(calloc(3, sizeof(char *)));
    names[0] = strdup("beta.test");
    names[1] = strdup("alpha.test");
    std::string log = capture_stdout([&] {
        EXPECT_EQ(ssl_reload(the_pki->ca_file.c_str(), ca_text.data(), ca_text.size(), "", names,
                             why, sizeof(why)),
                  0);
    });
    free(names);
    EXPECT_NE(ssl_ctx, first);
    EXPECT_NE(log.find("absorb_cert :src/setup-ssl-context:"), std::string::npos) << log;
    char in_force[NAMES_TEXT_SZ];
    ssl_expected_names(in_force, sizeof(in_force));
    EXPECT_STREQ(in_force, "beta.test, alpha.test");
    expect_verified(handshake_with(the_pki->beta.get()), the_pki->beta.get());
    expect_refused(handshake_with(the_pki->server.get()), the_pki->server.get(),
                   X509_V_ERR_HOSTNAME_MISMATCH, "hostname mismatch");
    // The old context lives on in its session, with the name it sends.
    EXPECT_EQ(SSL_get_SSL_CTX(before), first);
    ssl_offer_session(before);
    EXPECT_STREQ(SSL_get_servername(before, TLSEXT_NAMETYPE_host_name), "server.test");
    SSL_free(before);
}

TEST_F(SslContextTest, WithoutACommonNameEveryNameOfTheFileIsAccepted)
{
    std::string names = dir.write("names.json", "{\"wildcards\": [\"beta.test\", \"alpha.test\"]}");
    accepted_names_path = names.c_str();
    std::vector<log_line> log = setup(true, the_pki->ca_file, "");
    std::vector<std::string> info = messages_at(log, "INFO");
    ASSERT_EQ(info.size(), 5u);
    EXPECT_EQ(info[2], "Verifying against openssl server cert name beta.test");
    EXPECT_EQ(info[3], "Verifying against openssl server cert name alpha.test");
    EXPECT_EQ(log[2].function, "absorb_cert");
    EXPECT_EQ(log[3].function, "absorb_cert");
    EXPECT_TRUE(messages_at(log, "WARN").empty());
    EXPECT_TRUE(ssl_checks_host_name());
    expect_verified(handshake_with(the_pki->alpha.get()), the_pki->alpha.get());
    expect_verified(handshake_with(the_pki->beta.get()), the_pki->beta.get());
    expect_refused(handshake_with(the_pki->server.get()), the_pki->server.get(),
                   X509_V_ERR_HOSTNAME_MISMATCH, "hostname mismatch");
}

TEST_F(SslContextTest, AnEmptyNamesListChecksNoNameButStillTheChain)
{
    std::string names = dir.write("names.json", "{\"wildcards\": []}");
    accepted_names_path = names.c_str();
    std::vector<log_line> log = setup(true, the_pki->ca_file, "");
    for (const auto &l : log)
        EXPECT_EQ(l.message.find("Verifying against"), std::string::npos) << l.message;
    // Valid, but said loudly, and shown in the status file.
    EXPECT_EQ(messages_at(log, "WARN"),
              std::vector<std::string>{"No accepted server names in " + names +
                                       ": no host name is checked, any certificate that chains "
                                       "to the CA bundle " +
                                       the_pki->ca_file + " is accepted"});
    EXPECT_FALSE(ssl_checks_host_name());
    expect_verified(handshake_with(the_pki->other_name.get()), the_pki->other_name.get());
    expect_refused(handshake_with(the_pki->untrusted.get()), the_pki->untrusted.get(),
                   X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY,
                   "unable to get local issuer certificate");
}

// A certificate's names are the peer's text, sent before anything is verified: a newline, a
// carriage return, a zero byte or a terminal escape in them must not make or hide a log line.
TEST_F(SslContextTest, PeerNamesInARefusalAreEscaped)
{
    setup(true, the_pki->ca_file, "server.test");
    const char cn[] = "evil\n<13>Dec  9 forged: line\x1b[2J";
    x509_ptr cert = make_cert({cn, nullptr, -DAY, 30 * DAY, false}, the_pki->leaf_key.get(),
                              the_pki->ca.get(), nullptr);
    const char dns[] = "a\r\0b\\.test";
    GENERAL_NAMES *alt = sk_GENERAL_NAME_new_null();
    GENERAL_NAME *g = GENERAL_NAME_new();
    ASN1_IA5STRING *text = ASN1_IA5STRING_new();
    ASN1_STRING_set(text, dns, sizeof(dns) - 1);
    GENERAL_NAME_set0_value(g, GEN_DNS, text);
    sk_GENERAL_NAME_push(alt, g);
    X509_add1_ext_i2d(cert.get(), NID_subject_alt_name, alt, 0, 0);
    GENERAL_NAMES_free(alt);
    ASSERT_GT(X509_sign(cert.get(), the_pki->ca_key.get(), EVP_sha256()), 0);

    handshake_result r = handshake_with(cert.get());
    EXPECT_FALSE(r.ok);
    for (unsigned char c : r.refusal)
        EXPECT_TRUE(c >= 0x20 && c < 0x7f) << "byte " << int(c) << " in " << r.refusal;
    EXPECT_NE(r.refusal.find("certificate names CN=evil\\x0a<13>Dec  9 forged: line\\x1b[2J, "
                             "DNS:a\\x0d\\x00b\\\\.test;"),
              std::string::npos)
        << r.refusal;
    for (const auto &l : r.log)
        for (unsigned char c : l.message)
            EXPECT_TRUE(c >= 0x20 && c < 0x7f) << l.message;
}

// Up to TLS 1.2 the one suite of CIPHER_LIST is all the client offers. TLS 1.3 is left at the
// library's defaults, so a server that speaks it negotiates it with a default suite.
TEST_F(SslContextTest, OnlyTheConfiguredSuiteUpToTls12)
{
    setup(true, the_pki->ca_file, "server.test");
    X509 *cert = the_pki->server.get();
    EVP_PKEY *key = the_pki->leaf_key.get();

    ctx_ptr tls12 = server_ctx(cert, key, TLS1_2_VERSION);
    handshake_result r = handshake(ssl_ctx, tls12.get());
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.version, "TLSv1.2");
    EXPECT_EQ(r.cipher, CIPHER_LIST);

    ctx_ptr other_suite = server_ctx(cert, key, TLS1_2_VERSION, "ECDHE-RSA-AES128-GCM-SHA256");
    EXPECT_FALSE(handshake(ssl_ctx, other_suite.get()).ok);

    ctx_ptr tls13 = server_ctx(cert, key);
    r = handshake(ssl_ctx, tls13.get());
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.version, "TLSv1.3");
}

// Through the slot, as the loop uses it: the second connection to a server that can resume
// resumes, unless the variable turns resumption off, which start-up then says.
TEST_F(SslContextTest, ResumptionIsOnUnlessTheVariableTurnsItOff)
{
    for (int version : {TLS1_2_VERSION, TLS1_3_VERSION})
        for (const char *setting : {static_cast<const char *>(nullptr), "1", "0"}) {
            SCOPED_TRACE(testing::Message() << version << " " << (setting ? setting : "unset"));
            if (setting != nullptr)
                setenv(TLS_RESUME_ENV, setting, 1);
            std::vector<std::string> info =
                messages_at(setup(true, the_pki->ca_file, "server.test"), "INFO");
            bool off = setting != nullptr && std::string(setting) == "0";
            EXPECT_EQ(info.size(), off ? 5u : 4u);
            if (off) {
                EXPECT_EQ(info.back(), "TLS session resumption off (ZARN_DWEL_TLS_RESUME=0)");
            }
            ctx_ptr srv = server_ctx(the_pki->server.get(), the_pki->leaf_key.get(), version);
            handshake_result first = handshake(ssl_ctx, srv.get(), {.slot = true});
            expect_verified(first, the_pki->server.get());
            EXPECT_FALSE(first.reused);
            EXPECT_EQ(first.done, 0);
            handshake_result second = handshake(ssl_ctx, srv.get(), {.slot = true});
            EXPECT_TRUE(second.ok);
            EXPECT_EQ(second.reused, !off);
            EXPECT_EQ(second.done, off ? 0 : 1);
            if (off) {
                expect_verified(second, the_pki->server.get());
            } else {
                EXPECT_TRUE(second.log.empty()) << "a resumed session is not verified again";
            }
            exit_ssl_setup();
            unsetenv(TLS_RESUME_ENV);
        }
}

// A session whose handshake did not verify (made here by a client that does not insist) can
// never be in the slot; should one ever be resumed, its stored verdict fails the connection.
TEST_F(SslContextTest, AResumedSessionWithABadVerdictIsRefused)
{
    setup(true, the_pki->ca_file, "server.test");
    ctx_ptr srv = server_ctx(the_pki->other_name.get(), the_pki->leaf_key.get(), TLS1_2_VERSION);
    ctx_ptr lax(SSL_CTX_new(TLS_client_method()));
    ASSERT_EQ(SSL_CTX_load_verify_locations(lax.get(), the_pki->ca_file.c_str(), nullptr), 1);
    ASSERT_EQ(X509_VERIFY_PARAM_set1_host(SSL_CTX_get0_param(lax.get()), "server.test", 0), 1);
    ASSERT_EQ(SSL_CTX_set_cipher_list(lax.get(), CIPHER_LIST), 1);
    handshake_result lax_one = handshake(lax.get(), srv.get());
    ASSERT_TRUE(lax_one.ok);
    ASSERT_EQ(lax_one.verify_result, X509_V_ERR_HOSTNAME_MISMATCH);

    handshake_result r =
        handshake(ssl_ctx, srv.get(), {.slot = true, .session = lax_one.session.get()});
    EXPECT_TRUE(r.reused);
    EXPECT_EQ(r.done, -1);
    std::vector<std::string> errors = messages_at(r.log, "ERROR");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "Resumed TLS session was not verified: err 62:hostname mismatch");
    // Nothing of it was kept: the next connection is a full handshake, and refused.
    handshake_result next = handshake(ssl_ctx, srv.get(), {.slot = true});
    expect_refused(next, the_pki->other_name.get(), X509_V_ERR_HOSTNAME_MISMATCH,
                   "hostname mismatch");
    EXPECT_FALSE(next.reused);
}

TEST_F(SslContextTest, RandfileNamesTheSeed)
{
    for (size_t size : {16u, 4096u}) {
        SCOPED_TRACE(size);
        std::string seed = dir.write("seed", std::string(size, 'x'));
        setenv("RANDFILE", seed.c_str(), 1);
        std::vector<std::string> info =
            messages_at(setup(true, the_pki->ca_file, "a.test"), "INFO");
        ASSERT_GE(info.size(), 2u);
        EXPECT_EQ(info[1], "RAND_load_file " + seed);
        EXPECT_NE(ssl_ctx, nullptr);
        exit_ssl_setup();
    }
}

TEST_F(SslContextTest, ServerModeMakesItsOwnLocalhostIdentity)
{
    time_t before = time(nullptr);
    std::vector<log_line> log = setup(false, "/nonexistent/ca.pem", "");
    ASSERT_NE(ssl_ctx, nullptr);
    // Nothing of the client side: no names, no CA bundle, no verification.
    EXPECT_EQ(log.size(), 2u);
    EXPECT_EQ(SSL_CTX_get_verify_mode(ssl_ctx), SSL_VERIFY_NONE);

    X509 *cert = SSL_CTX_get0_certificate(ssl_ctx);
    ASSERT_NE(cert, nullptr);
    EXPECT_EQ(subject_of(cert), "/C=US/O=ZARN/CN=localhost");
    EXPECT_EQ(X509_NAME_cmp(X509_get_subject_name(cert), X509_get_issuer_name(cert)), 0);
    EXPECT_EQ(ASN1_INTEGER_get(X509_get0_serialNumber(cert)), 1);
    EXPECT_EQ(X509_get_version(cert), X509_VERSION_1);
    EXPECT_EQ(X509_get_ext_count(cert), 0);
    EXPECT_EQ(X509_get_signature_nid(cert), NID_sha512WithRSAEncryption);

    int days = 0;
    int secs = 0;
    ASSERT_EQ(ASN1_TIME_diff(&days, &secs, X509_get0_notBefore(cert), X509_get0_notAfter(cert)), 1);
    EXPECT_EQ(days, 3650);
    EXPECT_EQ(secs, 0);
    // Not before is the moment of generation: later than just before, not later than now.
    time_t just_before = before - 1;
    EXPECT_EQ(X509_cmp_time(X509_get0_notBefore(cert), &just_before), 1);
    time_t now = time(nullptr) + 1;
    EXPECT_EQ(X509_cmp_time(X509_get0_notBefore(cert), &now), -1);

    EVP_PKEY *key = X509_get0_pubkey(cert);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(EVP_PKEY_get_base_id(key), EVP_PKEY_RSA);
    EXPECT_EQ(EVP_PKEY_get_bits(key), 2048);
    BIGNUM *e = nullptr;
    ASSERT_EQ(EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &e), 1);
    EXPECT_EQ(BN_get_word(e), 65537u);
    BN_free(e);
    EXPECT_EQ(X509_verify(cert, key), 1);
    EXPECT_EQ(SSL_CTX_check_private_key(ssl_ctx), 1);

    // The identity serves a real handshake to a client that does not verify it.
    ctx_ptr client(SSL_CTX_new(TLS_client_method()));
    EXPECT_TRUE(handshake(client.get(), ssl_ctx).ok);
}

TEST_F(SslContextTest, CertificateDetailsAreCutToTheirBuffers)
{
    // Five 60-character units make a one-line subject of well over 255 characters.
    cert_spec shape = {"long.test", nullptr, -DAY, DAY, false};
    x509_ptr cert = make_cert(shape, the_pki->leaf_key.get(), nullptr, nullptr);
    X509_NAME *name = X509_get_subject_name(cert.get());
    for (char c = 'a'; c < 'f'; c++)
        X509_NAME_add_entry_by_txt(
            name, "OU", MBSTRING_ASC,
            reinterpret_cast<const unsigned char *>(std::string(60, c).c_str()), -1, -1, 0);
    char *full = X509_NAME_oneline(name, nullptr, 0);
    ASSERT_NE(full, nullptr);
    std::string whole = full;
    OPENSSL_free(full);
    ASSERT_GT(whole.size(), 300u);
    std::vector<log_line> log =
        parse_log(capture_stdout([&] { spew_cert_details(LVL_WARN, cert.get()); }));
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[1].level, "WARN");
    // The library's printer stops before the first entry that would not fit.
    const std::string label = "  subject:    ";
    ASSERT_EQ(log[1].message.substr(0, label.size()), label);
    std::string shown = log[1].message.substr(label.size());
    EXPECT_LE(shown.size(), 255u);
    EXPECT_GE(shown.size(), 255u - 64u);
    EXPECT_EQ(whole.substr(0, shown.size()), shown);

    char buffer[ASN1TIME_TEXT_SZ];
    ASN1_TIME *t = ASN1_TIME_new();
    ASSERT_EQ(ASN1_TIME_set_string(t, "20300102030405Z"), 1);
    EXPECT_EQ(convert_ASN1TIME(t, buffer), 0);
    EXPECT_STREQ(buffer, "Jan  2 03:04:05 2030 GMT");
    // A time the printer cannot read leaves an empty text and -1.
    ASSERT_EQ(ASN1_STRING_set(t, "not a time", -1), 1);
    strcpy(buffer, "stale");
    EXPECT_EQ(convert_ASN1TIME(t, buffer), -1);
    EXPECT_STREQ(buffer, "");
    ASN1_TIME_free(t);
}

TEST_F(SslContextDeathTest, FatalStartUpErrors)
{
    // A seed file shorter than 16 bytes, or none at all.
    std::string short_seed = dir.write("short-seed", "0123456789");
    for (const std::string &seed : {short_seed, dir.path("no-seed")}) {
        SCOPED_TRACE(seed);
        EXPECT_EXIT(
            {
                stdout_to_stderr();
                setenv("RANDFILE", seed.c_str(), 1);
                setup_ssl_ctx(true, the_pki->ca_file.c_str(), "server.test");
            },
            testing::KilledBySignal(SIGABRT),
            "RAND_load_file " + regex_quote(seed) +
                "\n.*Failed assertion: RAND_load_file\\(random_src, 16\\) == 16\n");
    }

    // Faults of the configuration: the line operators know, then the cause.
    std::string missing_ca = dir.path("missing-ca.pem");
    EXPECT_EXIT(
        {
            stdout_to_stderr();
            setup_ssl_ctx(true, missing_ca.c_str(), "server.test");
        },
        testing::ExitedWithCode(EXIT_CONFIGURATION),
        "absorb_cert :src/setup-ssl-context:[0-9]+:Failed to load root CA bundle " +
            regex_quote(missing_ca) + ", aborting\\.\\.\\.\n  " + regex_quote(missing_ca) +
            ": No such file or directory; ");

    // Anything but a regular file ends the start-up at once, saying what it is; a FIFO would
    // block the library's open for good. The alarm turns such a hang into a failed match.
    std::string fifo = dir.path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const auto &[path, kind] : {std::pair{fifo, "FIFO"}, std::pair{dir.path(""), "directory"},
                                     std::pair{std::string("/dev/null"), "character device"}}) {
        SCOPED_TRACE(path);
        EXPECT_EXIT(
            {
                stdout_to_stderr();
                alarm(10);
                setup_ssl_ctx(true, path.c_str(), "server.test");
            },
            testing::ExitedWithCode(EXIT_CONFIGURATION),
            "CA bundle " + regex_quote(path) + " is a " + kind + ", not a regular file\n");
    }
    accepted_names_path = fifo.c_str();
    EXPECT_EXIT(
        {
            stdout_to_stderr();
            alarm(10);
            setup_ssl_ctx(true, the_pki->ca_file.c_str(), "");
        },
        testing::ExitedWithCode(EXIT_CONFIGURATION),
        "Unable to read json file " + regex_quote(fifo) +
            ": it is a FIFO, not a regular file\\.\n.*No accepted server names \\(cnames\\)");

    std::string missing_names = dir.path("missing.json");
    accepted_names_path = missing_names.c_str();
    EXPECT_EXIT(
        {
            stdout_to_stderr();
            setup_ssl_ctx(true, the_pki->ca_file.c_str(), "");
        },
        testing::ExitedWithCode(EXIT_CONFIGURATION),
        "Unable to open config file " + regex_quote(missing_names) +
            "\\.\n.*No accepted server names \\(cnames\\).*\n  " + regex_quote(missing_names) +
            ": No such file or directory; give the server name with -O");

    EXPECT_EXIT(
        {
            stdout_to_stderr();
            setup_ssl_ctx(false, "", "");
            setup_ssl_ctx(false, "", "");
        },
        testing::KilledBySignal(SIGABRT), "Failed assertion: ssl_ctx == NULL\n");
}

// This platform ships no FIPS provider, so the switch is always refused.
TEST(FipsDeathTest, ARefusedSwitchEndsWithStatus255)
{
    EXPECT_EXIT(set_fips_mode(), testing::ExitedWithCode(255),
                "Failed to switch openssl to FIPS mode [0-9a-f]+\n");
}

// A configuration that makes FIPS the default property counts as FIPS mode already; the
// switch, which would fail here, is then not attempted.
TEST(FipsDeathTest, AlreadyInFipsModeOnlySaysSo)
{
    // The configuration is read once per process, so the child must start afresh.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    temp_dir dir;
    std::string conf = dir.write("openssl.cnf", "openssl_conf = init\n"
                                                "[init]\n"
                                                "alg_section = algs\n"
                                                "[algs]\n"
                                                "default_properties = fips=yes\n");
    EXPECT_EXIT(
        {
            stdout_to_stderr();
            setenv("OPENSSL_CONF", conf.c_str(), 1);
            set_fips_mode();
            // The re-run child made its own copy of the directory; exit() skips its destructor.
            std::filesystem::remove_all(std::filesystem::path(conf).parent_path());
            exit(7);
        },
        testing::ExitedWithCode(7),
        logcap::text_that("only the by-default line", [](const std::string &err) {
            std::vector<log_line> log = parse_log(err);
            return log.size() == 1 && log[0].level == "INFO" && log[0].function == "set_fips_mod" &&
                   log[0].message == "openssl operating in FIPS mode by default";
        }));
}

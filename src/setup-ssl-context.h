// The process-wide TLS context, peer verification, client session resumption and FIPS mode.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>

inline constexpr char CIPHER_LIST[] = "ECDHE-RSA-AES256-GCM-SHA384";
inline constexpr char ACCEPTED_NAMES_FILE[] = "/etc/zarn-dwel-utils.d/config.json";
// convert_ASN1TIME writes at most this many bytes, the terminating zero included.
inline constexpr size_t ASN1TIME_TEXT_SZ = 64;
// Room for the lists of names and the CA bundle's path in a refusal's description.
inline constexpr size_t NAMES_TEXT_SZ = 256;
// ssl_describe_refusal never writes more than this, the terminating zero included.
inline constexpr size_t REFUSAL_TEXT_SZ = 3 * NAMES_TEXT_SZ + 2 * ASN1TIME_TEXT_SZ + 192;

extern SSL_CTX *ssl_ctx;
// The accepted-names file that client mode reads when no common name is given. It is
// ACCEPTED_NAMES_FILE in the daemon; tests point it at a file of their own before calling
// setup_ssl_ctx.
extern const char *accepted_names_path;

// Client mode resumes TLS sessions unless this variable is "0" (read by setup_ssl_ctx).
inline constexpr char TLS_RESUME_ENV[] = "ZARN_DWEL_TLS_RESUME";

void setup_ssl_ctx(bool client_mode, const char *ca_file, const char *common_name);
void exit_ssl_setup();

// A new session of the context in force; any thread. The loop makes every session here, since
// a reload may replace the context at any time (the session holds a reference to its own).
SSL *ssl_new_session();
// For the status file, any thread: the names the context in force accepts, as a refusal line
// shows them; and the not-after date (Unix seconds) of the mount target's certificate as last
// verified, 0 before the first.
void ssl_expected_names(char *text, size_t size);
int64_t ssl_last_not_after();
// Puts a new client context in force, built from the CA bundle's text (read as `ca_file`) and
// the expected names (`common_name`, or else the list, whose strings are freed): sessions made
// after it use it, live ones keep theirs, and the kept session is dropped. 0 on success; -1
// with the reason in `why` (one line), the context in force unchanged. Main thread, after
// setup_ssl_ctx in client mode.
[[nodiscard]] int ssl_reload(const char *ca_file, const char *ca_text, size_t ca_len,
                             const char *common_name, char **names, char *why, size_t why_size);

// Session resumption towards the mount target. One process-wide slot holds the last session
// of a handshake that verified the chain and the name; the CA bundle and the names are fixed
// for the process, so it is good for every later connection. The owner thread sets the slot
// up (setup_ssl_ctx) and empties it (exit_ssl_setup); the worker offers, replaces and drops
// it. Its lock is innermost: the calls may be made with the loop and socket locks held.
//
// ssl_offer_session: on a new client session, before its handshake; sends the expected server
// name (SNI: -O, or the first host name of the names file that is no address and no wildcard)
// and offers the kept session.
// ssl_session_done: once its handshake ended, ok when it finished. A failed handshake drops the
// session it offered. A finished one gives -1 when it resumed a session whose stored verify
// result is not X509_V_OK (the connection must be failed), 1 when it resumed a good one (a
// renewed ticket replaces the kept session), 0 otherwise; server sessions always give 0.
void ssl_offer_session(SSL *ssl);
int ssl_session_done(SSL *ssl, bool ok);
// False when no host name is checked (an empty accepted-names list): any certificate that
// chains to the CA bundle is then accepted. Any thread.
bool ssl_checks_host_name();
void set_fips_mode();
int verify_callback(int preverify_ok, X509_STORE_CTX *store_ctx);
void spew_cert_details(int level, X509 *cert);
int convert_ASN1TIME(const ASN1_TIME *time, char *buffer);
// Why the session's server certificate was refused, in one line: the library's verdict, the
// names expected and those the certificate carries, the CA bundle and the validity dates.
void ssl_describe_refusal(SSL *ssl, char *text, size_t size);

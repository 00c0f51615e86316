// A hostile server's raw material for the TLS pump target: deterministic randomness, a
// throw-away CA with server certificates, and recorded server transcripts.
//
// A transcript is only a valid answer to one ClientHello. The randomness is therefore made
// deterministic and split into streams, one for the client, one for the server and one for
// the set-up: every client session starts its stream afresh, so a client made later by the
// pump sends exactly the ClientHello (and key share) that the recording answered.
#pragma once

#include <openssl/ssl.h>

#include <string>

namespace fz
{

enum rand_stream {
    RAND_SETUP,
    RAND_CLIENT,
    RAND_SERVER,
};

void rand_install();
void rand_use(rand_stream s);
void rand_restart(rand_stream s);

inline constexpr char SERVER_NAME[] = "fuzz.zd.test";
inline constexpr char WRONG_NAME[] = "wrong.zd.test";
// The client's request in every recorded transcript, and the server's usual answer.
inline constexpr char REQUEST[] = "NULL call from the client";
inline constexpr char REPLY[] = "reply from the hostile server";

struct tls_peer {
    std::string dir;
    std::string ca_file;
    SSL_CTX *tls13 = nullptr;      // the library's defaults: TLS 1.3 is chosen
    SSL_CTX *tls12 = nullptr;      // TLS 1.2 with the daemon's one cipher suite
    SSL_CTX *wrong_name = nullptr; // a certificate of the same CA for another name
};

// Builds the CA, writes its bundle into a new temporary directory and makes the server
// contexts. Returns false after a message on standard error.
bool tls_peer_create(tls_peer *peer);
void tls_peer_destroy(tls_peer *peer);

// Runs one handshake between a client session of ssl_ctx and a server session of `server`
// over memory buffers, the request and `reply`, and optionally the server's close_notify;
// returns every byte the server sent. A client that refuses the server ends the recording
// early, so the transcript then holds the server's flight up to the refusal.
std::string record_transcript(SSL_CTX *server, const std::string &reply, bool close_notify);

} // namespace fz

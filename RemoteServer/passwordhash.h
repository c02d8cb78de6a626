#pragma once

#include <QString>

#include <cstddef>

// Password digests at rest. A workstation logs in with a digest text; the account
// table keeps, in column pwd, libsodium's Argon2id string of that text
// ("$argon2id$v=19$m=65536,t=2,p=1$<salt>$<hash>": salted, slow, parameters
// included), so that a copy of the table logs nobody in.
//
// Rows written by earlier versions, or by other tools, hold the digest itself (a
// "plain" row: any text that does not start with '$'); they keep working and are
// replaced by their hash at the first successful login. Any other text starting
// with '$' is unreadable: no digest matches it.
//
// Everything here is slow on purpose (tens of milliseconds and the cost's memory
// per call) and thread-safe: the server calls it from a thread of its own.
class PasswordHash
{
public:
    // Argon2id work per hash: passes over the memory and the memory in bytes.
    struct Cost
    {
        unsigned long long opslimit = 0;
        std::size_t memlimit = 0;
    };
    // libsodium's interactive level (2 passes, 64 MiB): what the server uses.
    static Cost interactive();

    enum class Form {
        Plain,     // the digest itself
        Hashed,    // an Argon2 string libsodium reads
        Unreadable // a '$' text of another scheme, or damaged
    };
    static Form formOf(const QString& stored);

    enum class Verdict {
        Match,
        Mismatch,
        Unreadable, // the stored text is no hash this server can check
        Failure     // the library failed (out of memory); error says why
    };
    // Checks a digest text, as a workstation sends it, against a stored value:
    // plain rows compare exactly (in constant time), hashes through libsodium.
    static Verdict verify(const QString& stored, const QString& digest, QString* error = nullptr);

    // The Argon2id string of a digest text, with a fresh random salt. False when
    // the library fails (error says why).
    static bool hash(const QString& digest, const Cost& cost, QString* out,
                     QString* error = nullptr);

    // Whether a stored value should be written again at this cost: a plain row, or
    // a hash made with other parameters (an Argon2i hash, or a lower cost).
    static bool needsRehash(const QString& stored, const Cost& cost);

    // Initialises libsodium once (any thread; safe to call again). False when the
    // library cannot be used.
    static bool initialise();
};

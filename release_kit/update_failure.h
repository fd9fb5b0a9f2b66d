#pragma once

// Why an update check (or a fetch) did not end with a verified answer. Whatever the kind, the
// client has learnt nothing about the repository: a failure never means "up to date".
enum class UpdateFailure {
    None,
    // The manifest or its signature could not be fetched whole: no connection, an HTTP error,
    // the time limit, more bytes than the cap allows.
    Network,
    // Not signed by a key the client trusts, or changed since it was signed (the manifest, the
    // signature or its trusted comment).
    Untrusted,
    // Signed, but past its expiry: a feed that is no longer kept fresh, or one replayed.
    Expired,
    // Signed, but older than what this installation has already seen: a sequence number below
    // the highest verified one, or a release older than the installed version.
    Rollback,
    // Signed, but not a manifest by the rules of its format: a bad line, a file path that could
    // leave the folder or clash with another one on Windows.
    Malformed,
    // Signed, in a format version this kit does not read: a newer kit is needed.
    UnsupportedFormat,
    // The installed version cannot be read from the installation's components.xml.
    Installation,
    // The kit's own state could not be read or written (its per-user directory).
    Storage,
};

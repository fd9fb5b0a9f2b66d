#pragma once

#include <QString>

// How the client's side of the start-up handoff ended.
enum class HandoffOutcome {
    Pending, // no "ready" yet (only from answerOnce)
    Confirmed, // "continue" written after the helper's "ready"
    HelperFailed, // the helper left an "error" record; its message is in errorMessage
    TimedOut, // no "ready" within the time limit
    WriteFailed, // "ready" seen, but "continue" could not be written
};

struct HandoffResult
{
    HandoffOutcome outcome = HandoffOutcome::Pending;
    QString errorMessage;
};

// The client's side of the handoff file that it shares with updater_helper: the helper writes
// "ready", the client answers "continue"; a failed update leaves "error", a line feed and the
// message there for the client's next start. Every record is the whole content of the file.
namespace UpdateHandoff {

constexpr int DefaultTimeout = 15000;
constexpr int PollInterval = 50;

// One look at the file, for a client that polls from its own timer: answers "continue" when the
// file holds exactly "ready", reports an "error" record, otherwise returns Pending.
HandoffResult answerOnce(const QString &filePath);

// Blocks, polling every PollInterval ms, until answerOnce settles or `timeoutMs` has passed.
// Meant for a client that exits right after handing the update over.
HandoffResult answer(const QString &filePath, int timeoutMs = DefaultTimeout);

// True when the file holds an "error" record; `message` is the UTF-8 text after its line feed.
bool readError(const QString &filePath, QString &message);

// Empties the file (the helper never removes it). True also when there is no file.
bool clear(const QString &filePath);

// A per-user, per-installation handoff file: in `directory`, or when that is empty in the
// application's local data directory under "update". A directory that has to be made is made
// for the owner only (0700), and a new file is created for the owner only (0600); an existing
// file keeps its content, so a failure record survives until the client reads it. Returns an
// empty string when the directory or the file cannot be made.
QString privateFilePath(const QString &applicationPath, const QString &directory = QString());

} // namespace UpdateHandoff

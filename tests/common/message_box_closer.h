#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

// Answers the modal message boxes the code under test opens, as a user would press their
// button, and records what each box said. Poll-based, so it also catches boxes opened inside
// nested event loops.
class MessageBoxCloser : public QObject
{
public:
    struct Box
    {
        QString title;
        QString text;
        QString icon; // "critical", "warning", "information", "question" or "none"
    };

    explicit MessageBoxCloser(QObject *parent = nullptr);

    // When false, boxes stay open (so a test can look at the state while one is shown).
    void setAnswering(bool answering) { this->answering = answering; }

    QList<Box> boxes() const { return seen; }
    bool isBoxOpen() const;

private:
    void poll();

    QTimer timer;
    QList<Box> seen;
    bool answering = true;
    QObject *lastBox = nullptr;
};

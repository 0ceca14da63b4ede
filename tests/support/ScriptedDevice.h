#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>

// An in-process device behind the panel's library table: a reply per command,
// a log of every exchange, and silence on demand. One instance at a time.
class ScriptedDevice {
public:
    ScriptedDevice();   // installs itself into the library table
    ~ScriptedDevice();  // puts the no-device table back

    // Enumeration.
    int32_t countStatus = 1;
    QList<QByteArray> products;  // product strings by library index (selector 0)
    // Serials by library index (selector 1); none, as from a library that
    // gives no serial, while empty.
    QList<QByteArray> serials;
    // What fnTollanComOpen returns; the panel opens off its GUI thread, so a
    // test may change it while an open runs.
    std::atomic<int32_t> openStatus{1};
    std::atomic<int> openCalls{0};  // fnTollanComOpen calls so far, readable while one runs
    int32_t openedHandle = 77;
    int openDelayMs = 0;         // how long fnTollanComOpen takes, as a library waiting for its time-out

    // Replies: a fixed reply per command; a queue per command is used first
    // (its last entry then sticks). Commands without a reply get `fallback`.
    QHash<QString, QString> replies;
    QHash<QString, QStringList> queued;
    QString fallback = QStringLiteral("OK");
    // Overrides everything above when set; return the reply text.
    std::function<QString(const QString &)> responder;
    bool silent = false;            // every command answers nothing
    QStringList silentCommands;     // these commands answer nothing
    QByteArray rawReply;            // when set, the exact 64 bytes of every reply

    // Observations.
    QStringList log;                // commands as sent, one per exchange
    QList<QByteArray> frames;       // the raw 64-byte frames sent
    QList<int32_t> exchangeHandles;
    QList<int32_t> openedIndexes;
    QList<int32_t> closedHandles;
    QList<QPair<int32_t, int32_t>> timeouts;

    void setReply(const QString &command, const QString &reply) { replies[command] = reply; }
    void clearLog() { log.clear(); frames.clear(); }

    static ScriptedDevice *current();

    QString replyFor(const QString &command);
};

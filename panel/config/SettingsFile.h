#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <variant>

// The driver settings file: a header line naming the format and its version,
// then one key=value line per setting (docs/settings-file.md). Values are kept
// exactly as written; nothing is trimmed or converted.
namespace SettingsFile {

inline constexpr int kVersion = 1;
QString headerLine(int version = kVersion);

// What one key accepts: an empty optional when the value is fine, else why not.
struct Rule {
    QString key;
    std::function<std::optional<QString>(const QString &value)> check;
};

struct Entry {
    QString key;
    QString value;
};

// Why a file was refused; `key` is empty when the fault is not about a key.
struct Refusal {
    int line = 0;
    QString key;
    QString reason;
    QString message() const;
};

// The file's bytes for these entries, in this order: Latin-1, CR LF. A value
// the file cannot hold as it stands (a line break, a character outside
// Latin-1) gives a refusal instead, naming its key.
std::variant<QByteArray, Refusal> format(const QList<Entry> &entries);

// Reads a whole file against the rules: every rule's key exactly once, no
// other key, every value accepted. Entries come back in the rules' order.
std::variant<QList<Entry>, Refusal> parse(const QByteArray &bytes, const QList<Rule> &rules);

// Rule helpers shared by the settings' controls.
std::optional<QString> checkOneOf(const QString &value, const QStringList &allowed);
std::optional<QString> checkFlag(const QString &value);

}  // namespace SettingsFile

#include "SettingsFile.h"

#include "common/TextFile.h"

#include <QHash>

namespace SettingsFile {

namespace {

const QString headerStart = QStringLiteral("[ZENTA-KDR-V3 driver settings, format ");

bool isComment(const QString &line)
{
    return line.startsWith(u';') || line.startsWith(u'#') || line.trimmed().isEmpty();
}

// A list too long to quote whole is named by its ends.
QString describe(const QStringList &allowed)
{
    if (allowed.size() > 6)
        return allowed.first() + QStringLiteral(" to ") + allowed.last();
    return allowed.join(QStringLiteral(", "));
}

}  // namespace

QString headerLine(int version)
{
    return headerStart + QString::number(version) + u']';
}

QString Refusal::message() const
{
    const QString where = line > 0 ? QStringLiteral("line %1").arg(line) : QString();
    const QString what = key.isEmpty() ? QString() : QStringLiteral("key \"%1\"").arg(key);
    QStringList parts;
    for (const QString &p : {where, what})
        if (!p.isEmpty())
            parts << p;
    return parts.join(QStringLiteral(", ")) + QStringLiteral(": ") + reason + u'.';
}

std::variant<QByteArray, Refusal> format(const QList<Entry> &entries)
{
    QByteArray out = headerLine().toLatin1() + "\r\n";
    for (const Entry &e : entries) {
        // Line 1 of the value ends at its first line break: whichever comes first is named.
        const auto bad = TextFile::findNonLatin1(e.value);
        if (bad && bad->line == 1)
            return Refusal{0, e.key,
                           QStringLiteral("the value holds \"%1\", which the file's Latin-1 text cannot keep")
                               .arg(QString::fromUcs4(&bad->code, 1))};
        if (e.value.contains(u'\r') || e.value.contains(u'\n'))
            return Refusal{0, e.key, QStringLiteral("the value holds a line break, which the file cannot keep")};
        out += e.key.toLatin1() + '=' + e.value.toLatin1() + "\r\n";
    }
    return out;
}

std::variant<QList<Entry>, Refusal> parse(const QByteArray &bytes, const QList<Rule> &rules)
{
    const QStringList lines = TextFile::splitLines(bytes);
    if (lines.isEmpty() || !lines.first().startsWith(headerStart) || !lines.first().endsWith(u']'))
        return Refusal{1, {}, QStringLiteral("this is not a driver settings file (its first line must be \"%1\")")
                                  .arg(headerLine())};
    if (lines.first() != headerLine()) {
        const QString version = lines.first().mid(headerStart.size()).chopped(1);
        return Refusal{1, {}, QStringLiteral("format %1 is not one this panel reads (it reads format %2)")
                                  .arg(version)
                                  .arg(kVersion)};
    }

    QHash<QString, int> ruleIndex;
    for (int i = 0; i < rules.size(); ++i)
        ruleIndex.insert(rules[i].key, i);
    QList<std::optional<QString>> values(rules.size());
    QList<int> seenOn(rules.size(), 0);

    for (int n = 1; n < lines.size(); ++n) {
        const QString &line = lines[n];
        const int lineNumber = n + 1;
        if (isComment(line))
            continue;
        const qsizetype eq = line.indexOf(u'=');
        if (eq < 0)
            return Refusal{lineNumber, {}, QStringLiteral("\"%1\" is not a key=value line").arg(line)};
        const QString key = line.left(eq);
        const QString value = line.mid(eq + 1);
        const auto it = ruleIndex.constFind(key);
        if (it == ruleIndex.constEnd())
            return Refusal{lineNumber, key, QStringLiteral("no such setting")};
        if (seenOn[*it])
            return Refusal{lineNumber, key, QStringLiteral("given a second time (first on line %1)").arg(seenOn[*it])};
        if (const auto why = rules[*it].check(value))
            return Refusal{lineNumber, key, *why};
        seenOn[*it] = lineNumber;
        values[*it] = value;
    }

    QList<Entry> entries;
    for (int i = 0; i < rules.size(); ++i) {
        if (!values[i])
            return Refusal{int(lines.size()), rules[i].key,
                           QStringLiteral("missing (the file ends at line %1 without it)").arg(lines.size())};
        entries << Entry{rules[i].key, *values[i]};
    }
    return entries;
}

std::optional<QString> checkOneOf(const QString &value, const QStringList &allowed)
{
    if (allowed.contains(value))
        return std::nullopt;
    return QStringLiteral("\"%1\" is not one of the values offered (%2)").arg(value, describe(allowed));
}

std::optional<QString> checkFlag(const QString &value)
{
    return checkOneOf(value, {QStringLiteral("0"), QStringLiteral("1")});
}

}  // namespace SettingsFile

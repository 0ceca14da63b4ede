#include "ProgramHighlighter.h"

#include <QSet>

namespace {

const QSet<QString> &keywords()
{
    static const QSet<QString> words{
        "PRG", "PRG0", "PRG1", "IF", "ELSEIF", "ELSE", "ENDIF", "WHILE", "ENDWHILE", "GOTO",
        "GOSUB", "RETURN", "DELAY", "WAITX", "END", "AND", "OR"};
    return words;
}

// Every command and status word of the device that a program may use.
const QSet<QString> &commands()
{
    static const QSet<QString> words{
        "X", "ABORT", "STOP", "ABS", "INC", "STORE", "HSPD", "ACC", "EO", "DO", "DO1", "DO2", "PX",
        "P1", "P2", "P3", "P4", "P5", "P6", "P7", "P8", "P9", "PA", "PB", "POL", "DOBOOT", "SLOAD",
        "SR", "SR0", "SR1", "MST", "DI", "DI1", "DI2", "DI3", "DI4", "DI5", "DI6", "AI", "MM"};
    return words;
}

bool isIdentStart(QChar c)
{
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c == u'_';
}

bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

bool allDigits(QStringView s)
{
    if (s.isEmpty())
        return false;
    for (QChar c : s)
        if (!isDigit(c))
            return false;
    return true;
}

qsizetype skipBlanks(const QString &text, qsizetype i)
{
    while (i < text.size() && (text[i] == u' ' || text[i] == u'\t'))
        ++i;
    return i;
}

}  // namespace

ProgramHighlighter::ProgramHighlighter(QTextDocument *document) : QSyntaxHighlighter(document)
{
}

QTextCharFormat ProgramHighlighter::format(Role role)
{
    QTextCharFormat f;
    switch (role) {
    case Role::Keyword:
        f.setForeground(QColor(0x00, 0x00, 0xa0));
        f.setFontWeight(QFont::Bold);
        break;
    case Role::Command: f.setForeground(QColor(0x8b, 0x00, 0x8b)); break;
    case Role::Variable: f.setForeground(QColor(0x00, 0x70, 0x70)); break;
    case Role::Number: f.setForeground(QColor(0xb0, 0x40, 0x00)); break;
    case Role::Label:
        f.setForeground(QColor(0x70, 0x40, 0x10));
        f.setFontItalic(true);
        break;
    case Role::Comment: f.setForeground(QColor(0x30, 0x80, 0x30)); break;
    }
    return f;
}

std::optional<ProgramHighlighter::Role> ProgramHighlighter::wordRole(const QString &w)
{
    if (keywords().contains(w))
        return Role::Keyword;
    if (commands().contains(w))
        return Role::Command;
    if (w.size() > 1 && w[0] == u'V' && allDigits(QStringView(w).mid(1)))
        return Role::Variable;
    return std::nullopt;
}

void ProgramHighlighter::highlightBlock(const QString &text)
{
    qsizetype i = 0;
    bool first = true;  // the first word of the line may be a label
    QString previous;   // the word before, for GOTO/GOSUB targets
    while (i < text.size()) {
        const QChar c = text[i];
        if (c == u';') {
            setFormat(int(i), int(text.size() - i), format(Role::Comment));
            return;
        }
        if (isIdentStart(c)) {
            const qsizetype start = i;
            while (i < text.size() && (isIdentStart(text[i]) || isDigit(text[i])))
                ++i;
            const QString word = text.mid(start, i - start).toUpper();
            const int at = int(start), len = int(i - start);
            const qsizetype next = skipBlanks(text, i);
            if (first && next < text.size() && text[next] == u':') {
                setFormat(at, int(next + 1 - start), format(Role::Label));
                i = next + 1;
            } else if (previous == u"GOTO" || previous == u"GOSUB") {
                setFormat(at, len, format(Role::Label));
            } else if (word.size() > 1 && word[0] == u'X' && allDigits(QStringView(word).mid(1))) {
                // A move written as one word, X4000.
                setFormat(at, 1, format(Role::Command));
                setFormat(at + 1, len - 1, format(Role::Number));
            } else if (word == u"J" && next < text.size() && (text[next] == u'+' || text[next] == u'-')) {
                setFormat(at, int(next + 1 - start), format(Role::Command));
                i = next + 1;
            } else if (const auto role = wordRole(word)) {
                setFormat(at, len, format(*role));
            }
            previous = word;
            first = false;
            continue;
        }
        if (isDigit(c)) {
            const qsizetype start = i;
            while (i < text.size() && isDigit(text[i]))
                ++i;
            setFormat(int(start), int(i - start), format(Role::Number));
            first = false;
            continue;
        }
        if (c != u' ' && c != u'\t')
            first = false;
        ++i;
    }
}

#include "TextFile.h"

#include "zenta/lang/regularfile.hpp"
#include "zenta/lang/text.hpp"

#include <QFile>
#include <QPlainTextEdit>
#include <QTextDocument>

namespace TextFile {

QString NonLatin1::character() const
{
    const QString hex = QString::number(uint(code), 16).toUpper().rightJustified(4, u'0');
    // A blank, an invisible character or a line break is named by its code alone.
    const QString shown = QChar::isPrint(code) && !QChar::isSpace(code) ? QStringLiteral("\"%1\" (U+%2)").arg(QString::fromUcs4(&code, 1), hex)
                                               : QStringLiteral("U+") + hex;
    return QStringLiteral("the character ") + shown + QStringLiteral(", which is not a Latin-1 character");
}

QString NonLatin1::inLine() const
{
    return QStringLiteral("line %1 holds ").arg(line) + character();
}

std::optional<NonLatin1> findNonLatin1(const QString &text)
{
    int line = 1;
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = text.at(i);
        if (c == u'\n' || (c == u'\r' && !(i + 1 < n && text.at(i + 1) == u'\n'))) {
            ++line;
            continue;
        }
        if (c.unicode() <= 0xFF)
            continue;
        char32_t code = c.unicode();
        if (c.isHighSurrogate() && i + 1 < n && text.at(i + 1).isLowSurrogate())
            code = QChar::surrogateToUcs4(c, text.at(i + 1));
        return NonLatin1{line, code};
    }
    return std::nullopt;
}

QString commandRefusal(const QString &command)
{
    const auto bad = findNonLatin1(command);
    if (!bad)
        return {};
    return QStringLiteral("Not sent: the command \"%1\" holds %2.").arg(command, bad->character());
}

QString documentText(const QPlainTextEdit &editor)
{
    QString text = editor.document()->toRawText();
    for (QChar &c : text)
        if (c == QChar::ParagraphSeparator || c == QChar::LineSeparator)
            c = u'\n';
    return text;
}

std::optional<QByteArray> toLatin1(const QString &text)
{
    if (findNonLatin1(text))
        return std::nullopt;
    return text.toLatin1();
}

QStringList splitLines(const QByteArray &bytes)
{
    QStringList lines;
    qsizetype start = 0;
    const qsizetype n = bytes.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char c = bytes[i];
        if (c != '\r' && c != '\n')
            continue;
        lines << QString::fromLatin1(bytes.constData() + start, i - start);
        if (c == '\r' && i + 1 < n && bytes[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    if (start < n)
        lines << QString::fromLatin1(bytes.constData() + start, n - start);
    return lines;
}

std::optional<QStringList> readLines(const QString &path)
{
    const zenta::lang::FileRead file =
        zenta::lang::readRegularFile(QFile::encodeName(path).toStdString(), zenta::lang::kMaxTextFile);
    if (file.status != zenta::lang::FileStatus::Ok)
        return std::nullopt;
    return splitLines(QByteArray::fromRawData(file.bytes.data(), qsizetype(file.bytes.size())));
}

std::optional<QByteArray> editorTextToBytes(const QString &text)
{
    const std::optional<QByteArray> latin1 = toLatin1(text);
    if (!latin1)
        return std::nullopt;
    QByteArray out;
    for (const QString &line : splitLines(*latin1)) {
        out += line.toLatin1();
        out += "\r\n";
    }
    return out;
}

QString joinLines(const QStringList &lines)
{
    QString text;
    for (const QString &line : lines)
        text += line + QStringLiteral("\r\n");
    return text;
}

bool writeReplacing(const QString &path, const QByteArray &bytes, QString *error)
{
    std::string warning;
    const std::string problem = zenta::lang::replaceFile(QFile::encodeName(path).toStdString(),
                                                         std::string_view(bytes.constData(), size_t(bytes.size())),
                                                         &warning);
    if (!warning.empty())
        qWarning("%s", warning.c_str());
    if (error)
        *error = QString::fromLocal8Bit(problem);
    return problem.empty();
}

}  // namespace TextFile

#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

class QPlainTextEdit;

// Text files the panel reads and writes are Latin-1 with CR LF line ends, and
// commands travel as Latin-1. Text with a character Latin-1 has no code for
// is refused, never changed: the rule lives here for every window.
namespace TextFile {

// The first character of a text that Latin-1 cannot hold.
struct NonLatin1 {
    int line = 0;         // 1-based; lines end at CR LF, CR, LF
    char32_t code = 0;    // the character's code point
    // `the character "€" (U+20AC), which is not a Latin-1 character`
    QString character() const;
    // `line 3 holds the character "€" (U+20AC), which is not a Latin-1 character`
    QString inLine() const;
};
std::optional<NonLatin1> findNonLatin1(const QString &text);

// Why a typed command cannot be sent as typed, naming the command and the
// character; empty when it can.
QString commandRefusal(const QString &command);

// An editor's text as it holds it: every line break an ordinary one, and a
// no-break space kept (the editor's own toPlainText() turns it into a blank).
QString documentText(const QPlainTextEdit &editor);

// The text's Latin-1 bytes; no value when a character has none.
std::optional<QByteArray> toLatin1(const QString &text);

// Splits at CR LF, CR or a lone LF. A final line end does not start another
// line, so "a\r\nb" and "a\r\nb\r\n" both give {"a", "b"}; "" gives {}.
QStringList splitLines(const QByteArray &bytes);

// Reads a file as lines; no value if it cannot be read, is not a regular
// file (never waiting on a FIFO) or is larger than any text file we read.
std::optional<QStringList> readLines(const QString &path);

// Editor text to file bytes: every line, the last one included, written once
// with CR LF. Line ends in the text may be CR LF, CR or LF; an empty text
// gives an empty file. No value when the text is not Latin-1.
std::optional<QByteArray> editorTextToBytes(const QString &text);

// Lines joined with CR LF after each one, as the panel shows file contents.
QString joinLines(const QStringList &lines);

// Writes the whole file beside the old one, flushes it to the disk and then
// renames it over the old one (and flushes the folder), so that neither a
// failed write nor a crash of the host leaves a half-written or lost file.
// False on any failure, with the reason in `error`; the old file is then
// untouched and nothing new is left behind.
bool writeReplacing(const QString &path, const QByteArray &bytes, QString *error = nullptr);

}  // namespace TextFile

#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

// Text files the panel reads and writes are Latin-1 with CR LF line ends.
namespace TextFile {

// Splits at CR LF, CR or a lone LF. A final line end does not start another
// line, so "a\r\nb" and "a\r\nb\r\n" both give {"a", "b"}; "" gives {}.
QStringList splitLines(const QByteArray &bytes);

// Reads a file as lines; no value if it cannot be read.
std::optional<QStringList> readLines(const QString &path);

// Editor text to file bytes: every line, the last one included, written once
// with CR LF. Line ends in the text may be CR LF, CR or LF; an empty text
// gives an empty file.
QByteArray editorTextToBytes(const QString &text);

// Lines joined with CR LF after each one, as the panel shows file contents.
QString joinLines(const QStringList &lines);

// Writes the whole file beside the old one, syncs it, replaces the old one
// and syncs the folder, so a failed write or a power loss never leaves a
// half-written or lost file. False on any failure.
bool writeReplacing(const QString &path, const QByteArray &bytes);

}  // namespace TextFile

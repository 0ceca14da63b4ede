#pragma once

#include <QSyntaxHighlighter>
#include <optional>

// Colours program text as the compiler reads it: keywords of the flow,
// device commands (spelt as the device knows them), variables, numbers,
// labels and comments. Words are case-insensitive, as in the language.
class ProgramHighlighter : public QSyntaxHighlighter {
    Q_OBJECT
public:
    enum class Role { Keyword, Command, Variable, Number, Label, Comment };

    explicit ProgramHighlighter(QTextDocument *document);

    static QTextCharFormat format(Role role);
    // The role of one upper-case word, if it has one of its own.
    static std::optional<Role> wordRole(const QString &upperWord);

protected:
    void highlightBlock(const QString &text) override;
};
